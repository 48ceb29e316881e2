// The mail the send benchmarks send, and the two ways of sending it: our
// VTLSendMail and libcurl, with the same message bytes on the wire.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vtl::bench {

// How the mail travels: in clear to smtp-sink on port 25, or over smtps to
// bench/tls_sink.cpp with a PLAIN login.
enum class Transport { Plain, Smtps };

// The SMTP server in clear: smtp-sink on port 25 of this loopback address,
// unless VTL_BENCH_SERVER names another.
std::string BenchServer();

// The TLS server, host:port, from VTL_BENCH_TLS_SERVER (which vtl_tls_sink
// sets for the command it runs); empty when there is none. Its certificate
// is trusted through SSL_CERT_FILE, by both senders.
std::string TlsBenchServer();

// The server argument of VTLSendMail for a transport.
std::string VtlServer(Transport transport);

// Makes this process a Japanese Shift_JIS system for VTLSendMail.
void UseJapaneseLocale();

// Makes this process an English UTF-8 system: ASCII text goes out as it is,
// with nothing to convert.
void UseEnglishLocale();

// VTLSendMail's result for the benchmark mail with this Shift_JIS body.
int SendWithVtl(const std::string& server, const std::string& body);

// A send as VTLSendMail makes it on a Japanese UTF-8 system (ja_JP.UTF-8,
// fixed here rather than read from a locale this machine may lack), with
// names and subject in UTF-8, over `network` (the system's when null).
int SendFromUtf8(const std::string& server, const std::string& utf8Body,
                 Network* network = nullptr);

// What SendFromUtf8 puts between DATA and the final ".", as an in-process
// server that takes every command receives it.
std::string Utf8WireMessage(const std::string& utf8Body);

// What VTLSendMail puts between DATA and the final ".": the header block and
// the converted body, with a Date and Message-ID of the usual lengths.
std::string WireMessage(const std::string& body);

// The same mail in ASCII (names and subject too) from an English system
// (UseEnglishLocale): VTLSendMail's result, and what it puts between DATA
// and the final ".", as an in-process server that takes every command
// receives it.
int SendAsciiWithVtl(const std::string& server, const std::string& body);
std::string AsciiWireMessage(const std::string& body);

// A file of `bytes` random bytes (always the same for a size), written a
// MiB at a time, so that making it adds little to the process's memory.
bool WriteRandomFile(const std::string& path, uint64_t bytes);

// A short ASCII text with the file at `path` attached, from an English
// system: through VTLSendMailEx (its result), and through libcurl's MIME
// API as curl -F makes it (a text part, the file's part in base64; true
// when the server accepted it). Both send the same header fields, to the
// server of the plain sends.
int SendFileWithVtl(const std::string& server, const std::string& path);
bool SendFileWithCurl(const std::string& path);

// Sends `message` (as WireMessage makes it) through libcurl; true when the
// server accepted it. One easy handle per send, as one call of ours is.
// Over smtps libcurl logs in as VTLSendMail does: PLAIN, the credentials
// with the command.
bool SendWithCurl(Transport transport, const std::string& message);

}  // namespace vtl::bench
