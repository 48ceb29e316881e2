// The requests to a provider's token and device endpoints (RFC 6749,
// RFC 7636, RFC 8628), and what their answers mean. No I/O here: the
// forms are made and the answers read; http.h carries them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/secret.h"
#include "signin/http.h"

namespace vtl::signin {

// The client as the vendor registered it. The secret is empty for a
// public client (Microsoft refuses one from it); Google's desktop secret
// is not secret, but is handled as one all the same.
struct Client {
  std::string id;
  mail::Secret secret;
};

// PKCE (RFC 7636 4.1, 4.2): a verifier of 43 characters from 32 random
// bytes, and its S256 challenge.
std::string CodeVerifier(const unsigned char (&random)[32]);
std::string CodeChallenge(std::string_view verifier);

// The forms POSTed to the token endpoint.
void CodeForm(const Client& client, std::string_view code, std::string_view verifier,
              std::string_view redirectUri, mail::Secret& form);
void RefreshForm(const Client& client, std::string_view refreshToken, std::string_view scope,
                 mail::Secret& form);
// RFC 8628 3.1 and 3.4.
void DeviceStartForm(const Client& client, std::string_view scope, mail::Secret& form);
void DevicePollForm(const Client& client, std::string_view deviceCode, mail::Secret& form);

// A successful token answer (RFC 6749 5.1). Any member may be empty; the
// caller decides which it needs.
struct Tokens {
  mail::Secret accessToken;
  mail::Secret refreshToken;  // empty: the provider keeps the old one valid
  mail::Secret idToken;
  int64_t expiresIn = 0;  // seconds; 0 when not said
};

// What the provider said when it refused (RFC 6749 5.2), for a detail.
struct Refusal {
  std::string error;        // "invalid_grant", "access_denied", ...; printable, bounded
  std::string description;  // its error_description, printable, bounded
  int64_t aadsts = 0;       // Microsoft's AADSTS number (error_codes or the description)
};

// The number of "AADSTS7000218: The request body ...", as Microsoft starts
// its descriptions (of a token answer's error and of a redirect's); 0 when
// the description does not start so.
int64_t AadstsOfDescription(std::string_view description);

// The hint for a refusal a user can act on: Microsoft's frequent AADSTS
// numbers (65001, 90094, 50011, 700016, 7000218, 700025, 50194), and
// access_denied; empty when there is none.
std::string HintFor(const Refusal& refusal);

// The whole detail of a refusal: "the provider refused: invalid_client
// (AADSTS7000218): <hint>".
std::string RefusalDetail(std::string_view step, const Refusal& refusal);

enum class AnswerKind {
  Tokens,    // 2xx with an access token
  Refused,   // an OAuth error answer (JSON with "error"), any status
  Pending,   // RFC 8628 3.5: authorization_pending
  SlowDown,  // RFC 8628 3.5: slow_down
  Broken,    // not JSON, no access token, or a 5xx without an error: `why` says which
};
// Reads a token endpoint's answer. The answer's body is left as it was;
// every copy made of a token is a Secret.
AnswerKind ReadTokenAnswer(const HttpAnswer& answer, Tokens& tokens, Refusal& refusal,
                           std::string& why);

// RFC 8628 3.2.
struct DevicePrompt {
  mail::Secret deviceCode;
  std::string userCode;
  std::string verificationUri;  // verification_uri (Microsoft and Google both name it so)
  int64_t interval = 5;         // seconds between polls
  int64_t expiresIn = 900;
};
AnswerKind ReadDeviceAnswer(const HttpAnswer& answer, DevicePrompt& prompt, Refusal& refusal,
                            std::string& why);

// The account an ID token names: its "email" claim, else
// "preferred_username"; empty when the token cannot be read. The token is
// not verified: it came from the token endpoint over TLS, which is what
// OpenID Connect Core 3.1.3.7 allows for this check.
std::string AccountOfIdToken(std::string_view idToken);

}  // namespace vtl::signin
