// The sign-in's pure pieces: the JSON reader, base64url, forms, the
// provider argument and the kept grant, as tables.
#include <gtest/gtest.h>

#include <string>

#include "signin/form.h"
#include "signin/grant.h"
#include "signin/json.h"
#include "signin/providers.h"

namespace vtl::signin {
namespace {

// A parsed object as one line: name=kind:value, in order.
std::string Describe(const JsonObject& o) {
  std::string s;
  for (const auto& m : o.members) {
    s += s.empty() ? "" : " ";
    s += m.name + "=";
    switch (m.kind) {
      case JsonObject::Member::Kind::String:
        s += "s:" + m.text;
        break;
      case JsonObject::Member::Kind::Number:
        s += "n:" + m.text;
        break;
      case JsonObject::Member::Kind::Array:
        s += "a:";
        for (const int64_t n : m.numbers) s += std::to_string(n) + ",";
        break;
      case JsonObject::Member::Kind::Other:
        s += "other";
        break;
    }
  }
  return s;
}

TEST(SigninJson, ReadsObjectsStrictly) {
  const std::string deep = "{\"a\":" + std::string(31, '[') + std::string(31, ']') + "}";
  const std::string tooDeep = "{\"a\":" + std::string(32, '[') + std::string(32, ']') + "}";
  const std::string bomb = "{\"a\":" + std::string(100000, '[');
  const struct {
    std::string text;
    const char* expected;  // "!words": refused, the why holds the words
  } cases[] = {
      {"{}", ""},
      {" \t\r\n{ } \n", ""},
      {R"({"a":"b","n":-12.5e+3,"t":true,"f":false,"z":null})",
       "a=s:b n=n:-12.5e+3 t=other f=other z=other"},
      {R"({"e":"\"\\\/\b\f\n\r\t"})", "e=s:\"\\/\b\f\n\r\t"},
      {R"({"u":"\u0041\u00e9\u20AC\ud83d\ude00"})", "u=s:A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"{\"raw\":\"\xE6\x97\xA5\xF0\x9F\x98\x80\"}", "raw=s:\xE6\x97\xA5\xF0\x9F\x98\x80"},
      {R"({"c":[1,-2,9223372036854775807,-9223372036854775808]})",
       "c=a:1,-2,9223372036854775807,-9223372036854775808,"},
      {R"({"c":[]})", "c=a:"},
      {R"({"c":[1,2.5]})", "c=other"},
      {R"({"c":[1,"2"]})", "c=other"},
      {R"({"c":[9223372036854775808]})", "c=other"},
      {R"({"o":{"x":[{"y":"\u0000"}],"z":{}},"after":1})", "o=other after=n:1"},
      {R"({"k":"first","j":2,"k":"last"})", "k=s:last j=n:2"},
      {deep, "a=other"},
      // Refused.
      {"", "!does not start with '{'"},
      {"[]", "!does not start with '{'"},
      {"{} x", "!follows the object"},
      {"{}{}", "!follows the object"},
      {tooDeep, "!nest too deep"},
      {bomb, "!nest too deep"},
      {R"({"a":1,})", "!a string was expected"},
      {R"({"a" 1})", "!not followed by ':'"},
      {R"({"a":1 "b":2})", "!not followed by ','"},
      {R"({a:1})", "!a string was expected"},
      {R"({"a":'x'})", "!none of JSON's"},
      {R"({"a":tru})", "!none of JSON's"},
      {R"({"a":01})", "!not followed by ','"},
      {R"({"a":-})", "!no digits"},
      {R"({"a":1.})", "!fraction has no digits"},
      {R"({"a":1e})", "!exponent has no digits"},
      {R"({"a":+1})", "!none of JSON's"},
      {R"({"a":"x)", "!not closed"},
      {"{\"a\":\"x\ty\"}", "!control character"},
      {R"({"a":"\x"})", "!unknown escape"},
      {R"({"a":"\u12G4"})", "!four hex digits"},
      {R"({"a":"\ud83d"})", "!lone high surrogate"},
      {R"({"a":"\ud83d\u0041"})", "!lone high surrogate"},
      {R"({"a":"\ude00"})", "!lone low surrogate"},
      {"{\"a\":\"\xC3\"}", "!not UTF-8"},
      {"{\"a\":\"\xC0\xAF\"}", "!not UTF-8"},          // overlong '/'
      {"{\"a\":\"\xED\xA0\x80\"}", "!not UTF-8"},      // an encoded surrogate
      {"{\"a\":\"\xF4\x90\x80\x80\"}", "!not UTF-8"},  // past U+10FFFF
      {"{\"o\":{\"a\":1,}}", "!a string was expected"},
      {"{\"o\":[1 2]}", "!not followed by ','"},
      {std::string("{\"a\":\"x\"}\0", 10), "!follows the object"},
  };
  for (const auto& c : cases) {
    JsonObject o;
    o.members.push_back({"stale", JsonObject::Member::Kind::String, "old", {}});
    std::string why;
    const bool ok = ParseJsonObject(c.text, o, &why);
    const std::string expected = c.expected;
    if (expected.starts_with("!")) {
      EXPECT_FALSE(ok) << c.text.substr(0, 80);
      EXPECT_TRUE(o.members.empty()) << c.text.substr(0, 80);
      EXPECT_NE(why.find(expected.substr(1)), std::string::npos)
          << c.text.substr(0, 80) << " -> " << why;
    } else {
      EXPECT_TRUE(ok) << c.text.substr(0, 80) << " -> " << why;
      EXPECT_EQ(Describe(o), expected) << c.text.substr(0, 80);
    }
  }
}

TEST(SigninJson, RefusesTextsOverOneMebibyte) {
  std::string big = "{\"a\":\"" + std::string((1 << 20) - 8, 'x') + "\"}";
  JsonObject o;
  EXPECT_TRUE(ParseJsonObject(big, o));
  big.insert(6, "y");
  std::string why;
  EXPECT_FALSE(ParseJsonObject(big, o, &why));
  EXPECT_NE(why.find("1 MiB"), std::string::npos);
}

TEST(SigninJson, MembersAsStringsAndIntegers) {
  JsonObject o;
  ASSERT_TRUE(ParseJsonObject(
      R"({"s":"text","n":3599,"q":"3599","neg":-5,"f":1.5,"e":1e3,"big":99999999999999999999,
          "qs":"12a","codes":[7000218,50011],"t":true})",
      o));
  EXPECT_EQ(o.String("s"), "text");
  EXPECT_EQ(o.String("n"), std::nullopt);
  EXPECT_EQ(o.String("missing"), std::nullopt);
  EXPECT_EQ(o.Integer("n"), 3599);
  EXPECT_EQ(o.Integer("q"), 3599);  // as some providers quote expires_in
  EXPECT_EQ(o.Integer("neg"), -5);
  EXPECT_EQ(o.Integer("f"), std::nullopt);
  EXPECT_EQ(o.Integer("e"), std::nullopt);
  EXPECT_EQ(o.Integer("big"), std::nullopt);
  EXPECT_EQ(o.Integer("qs"), std::nullopt);
  EXPECT_EQ(o.Integer("t"), std::nullopt);
  EXPECT_EQ(o.Integer("codes"), std::nullopt);
  EXPECT_EQ(o.Integers("codes"), (std::vector<int64_t>{7000218, 50011}));
  EXPECT_TRUE(o.Integers("n").empty());
  o.Wipe();
  EXPECT_EQ(o.String("s"), std::string(4, '\0'));
}

TEST(SigninBase64Url, DecodesCanonicalTextsOnly) {
  const struct {
    const char* text;
    const char* bytes;  // nullptr: refused
  } cases[] = {
      {"", ""},           {"Zg", "f"},          {"Zm8", "fo"},          {"Zm9v", "foo"},
      {"Zm9vYg", "foob"}, {"Zm9vYmE", "fooba"}, {"Zm9vYmFy", "foobar"}, {"-_8", "\xFB\xFF"},
      {"Z", nullptr},      // an impossible length
      {"Zm9vY", nullptr},  // the same
      {"Zm8=", nullptr},   // padding is not base64url as JWTs write it
      {"Zm+v", nullptr},   // base64's alphabet, not the URL's
      {"Zm/v", nullptr},  {"Zm 9", nullptr},    {"Zh", nullptr},  // bits set past the last byte
      {"Zm9", nullptr},
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    const bool ok = DecodeBase64Url(c.text, out);
    EXPECT_EQ(ok, c.bytes != nullptr) << c.text;
    if (ok && c.bytes) {
      EXPECT_EQ(out, c.bytes) << c.text;
      EXPECT_EQ(EncodeBase64Url(out), c.text);
    }
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t n = 0; n < 8; ++n) {
    std::string back;
    const std::string text = EncodeBase64Url(all.substr(n));
    EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
    ASSERT_TRUE(DecodeBase64Url(text, back));
    EXPECT_EQ(back, all.substr(n));
  }
}

TEST(SigninForm, EncodesAndReadsFields) {
  EXPECT_EQ(PercentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(PercentEncode("a b+c&d=e/f:g?h#i%j"), "a%20b%2Bc%26d%3De%2Ff%3Ag%3Fh%23i%25j");
  EXPECT_EQ(PercentEncode(std::string("\0\x7F\xFF\xC3\xA9", 5)), "%00%7F%FF%C3%A9");
  EXPECT_EQ(PercentEncode("https://outlook.office.com/SMTP.Send offline_access"),
            "https%3A%2F%2Foutlook.office.com%2FSMTP.Send%20offline_access");

  mail::Secret form;
  AppendFormField(form, "code", "0.AX&y=z");
  AppendFormField(form, "redirect uri", "http://localhost:5000/");
  AppendFormField(form, "empty", "");
  EXPECT_EQ(form.view(),
            "code=0.AX%26y%3Dz&redirect%20uri=http%3A%2F%2Flocalhost%3A5000%2F&empty=");

  const struct {
    const char* query;
    const char* name;
    const char* value;  // nullptr: false
  } cases[] = {
      {"code=abc&state=xyz", "code", "abc"},
      {"code=abc&state=xyz", "state", "xyz"},
      {"state=x&code=a%2Bb+c%20d", "code", "a+b c d"},
      {"co%64e=1", "code", "1"},
      {"code", "code", ""},
      {"code=", "code", ""},
      {"&&code=1&&", "code", "1"},
      {"code=1&code=2", "code", nullptr},
      {"code=1&co%64e=2", "code", nullptr},
      {"codes=1&xcode=2", "code", nullptr},
      {"", "code", nullptr},
      {"code=%4", "code", nullptr},
      {"code=%G1", "code", nullptr},
      {"code=%", "code", nullptr},
      {"bad=%zz&code=1", "code", "1"},
      {"error=access_denied&error_description=The+user+declined", "error_description",
       "The user declined"},
  };
  for (const auto& c : cases) {
    std::string value = "stale";
    const bool ok = FormValue(c.query, c.name, value);
    EXPECT_EQ(ok, c.value != nullptr) << c.query;
    if (ok && c.value) {
      EXPECT_EQ(value, c.value) << c.query;
    }
  }
}

std::string Describe(const Provider& p) {
  const char* kinds[] = {"microsoft", "google", "custom"};
  return std::string(kinds[static_cast<int>(p.kind)]) + " " + p.authorizeUrl + " " + p.tokenUrl +
         " [" + p.deviceUrl + "] " + p.redirectHost + " | " + p.scope;
}

TEST(SigninProviders, ReadsPresetsAndCustomProviders) {
  const std::string ms = "https://login.microsoftonline.com/";
  const std::string msScope =
      " localhost | https://outlook.office.com/SMTP.Send offline_access "
      "openid email";
  const auto microsoft = [&](const std::string& tenant) {
    const std::string base = ms + tenant + "/oauth2/v2.0/";
    return "microsoft " + base + "authorize " + base + "token [" + base + "devicecode]" + msScope;
  };
  const std::string google =
      "google https://accounts.google.com/o/oauth2/v2/auth https://oauth2.googleapis.com/token [] "
      "127.0.0.1 | https://mail.google.com/ openid email";
  const struct {
    std::string text;
    std::string expected;  // "!words": refused, the why holds the words
  } cases[] = {
      {"microsoft", microsoft("common")},
      {"MicroSoft", microsoft("common")},
      {"microsoft:organizations", microsoft("organizations")},
      {"microsoft:consumers", microsoft("consumers")},
      {"Microsoft:9188040d-6c67-4c5b-b112-36a304b66dad",
       microsoft("9188040d-6c67-4c5b-b112-36a304b66dad")},
      {"microsoft:contoso.onmicrosoft.com", microsoft("contoso.onmicrosoft.com")},
      {"google", google},
      {"GOOGLE", google},
      {"https://id.example/authorize https://id.example/token mail.send",
       "custom https://id.example/authorize https://id.example/token [] 127.0.0.1 | mail.send"},
      {"  HTTPS://id.example:8443/a?x=1   https://[2001:db8::1]/t  a  b:c  ",
       "custom HTTPS://id.example:8443/a?x=1 https://[2001:db8::1]/t [] 127.0.0.1 | a b:c"},
      {"", "!is none of microsoft"},
      {"microsoft:", "!the tenant"},
      {"microsoft:../common", "!the tenant"},
      {"microsoft:contoso/x", "!the tenant"},
      {"microsoft:contoso..com", "!the tenant"},
      {"microsoft:-contoso", "!the tenant"},
      {"microsoft:contoso.", "!the tenant"},
      {"microsoft:cont%6fso", "!the tenant"},
      {"microsoft:" + std::string(254, 'a'), "!the tenant"},
      {"microsoftx", "!is none of microsoft"},
      {"gmail", "!is none of microsoft"},
      {"https://id.example/a https://id.example/t", "!2 parts given"},
      {"http://id.example/a https://id.example/t s", "!the authorization URL"},
      {"https://id.example/a http://id.example/t s", "!the token URL"},
      {"https:// https://id.example/t s", "!the authorization URL"},
      {"https:///a https://id.example/t s", "!the authorization URL"},
      {"https://user:pw@id.example/a https://id.example/t s", "!the authorization URL"},
      {"https://id.example/a#f https://id.example/t s", "!the authorization URL"},
      {"https://id.example/a https://id.example/t\tx s", "!the token URL"},
      {"https://id.example/a https://id.example/t a\"b", "!the scope"},
  };
  for (const auto& c : cases) {
    Provider p;
    std::string why;
    const bool ok = ParseProvider(c.text, p, &why);
    if (c.expected.starts_with("!")) {
      EXPECT_FALSE(ok) << c.text;
      EXPECT_NE(why.find(c.expected.substr(1)), std::string::npos) << c.text << " -> " << why;
      for (const char ch : why) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << why;
    } else {
      EXPECT_TRUE(ok) << c.text << " -> " << why;
      EXPECT_EQ(Describe(p), c.expected) << c.text;
    }
  }
}

void Fill(Grant& g) {
  g.account = "Alice@Contoso.example";
  g.provider = "microsoft:contoso.example";
  g.tokenUrl = "https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token";
  g.scope = "https://outlook.office.com/SMTP.Send offline_access";
  g.clientId = "0a1b2c3d-0000-4e5f-8a9b-0c1d2e3f4a5b";
  g.refreshToken.Append("0.AXEA\nrefresh=token&%\r");
  g.accessToken.Append("eyJ0eXAi.access");
  g.expiresAt = 1796003600;
}

std::string Describe(const Grant& g) {
  return g.account + "|" + g.provider + "|" + g.tokenUrl + "|" + g.scope + "|" + g.clientId + "|" +
         std::string(g.clientSecret.view()) + "|" + std::string(g.refreshToken.view()) + "|" +
         std::string(g.accessToken.view()) + "|" + std::to_string(g.expiresAt);
}

TEST(SigninGrant, RoundTripsAndRefusesDamagedForms) {
  Grant sample;
  Fill(sample);
  mail::Secret text;
  WriteGrant(sample, text);
  const std::string kept(text.view());
  EXPECT_TRUE(kept.starts_with("vtl-grant 1\naccount=Alice%40Contoso.example\n")) << kept;
  EXPECT_NE(kept.find("refresh_token=0.AXEA%0Arefresh%3Dtoken%26%25%0D\n"), std::string::npos);
  Grant back;
  ASSERT_TRUE(ReadGrant(kept, back));
  EXPECT_EQ(Describe(back), Describe(sample));

  const auto without = [&](std::string_view name) {
    std::string t = kept;
    const size_t at = t.find("\n" + std::string(name) + "=");
    t.erase(at + 1, t.find('\n', at + 1) - at);
    return t;
  };
  const auto replaced = [&](std::string_view from, std::string_view to) {
    std::string t = kept;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const struct {
    std::string text;
    bool ok;
  } cases[] = {
      {replaced("\n", "\r\n") + "future_field=x%20y\n\n", true},
      {without("access_token"), true},
      {without("expires_at"), true},
      {without("scope") + "scope=x\n", true},
      {without("account"), false},
      {without("token_url"), false},
      {without("client_id"), false},
      {without("refresh_token"), false},
      {replaced("refresh_token=0", "refresh_token="), true},
      {replaced("refresh_token=", "refresh_token=%"), false},
      {replaced("vtl-grant 1", "vtl-grant 2"), false},
      {"\n" + kept, false},
      {kept + "account=bob\n", false},
      {kept + "expires_at=1\n", false},
      {kept + "no equals sign\n", false},
      {replaced("expires_at=1796003600", "expires_at=-1"), false},
      {replaced("expires_at=1796003600", "expires_at=99999999999999999999"), false},
      {"", false},
  };
  for (const auto& c : cases) {
    Grant g;
    Fill(g);
    EXPECT_EQ(ReadGrant(c.text, g), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_TRUE(g.account.empty() && g.refreshToken.empty()) << c.text;
    }
  }
  Grant cut;
  EXPECT_TRUE(ReadGrant(replaced("refresh_token=0", "refresh_token="), cut));
  EXPECT_EQ(cut.refreshToken.view(), ".AXEA\nrefresh=token&%\r");
}

TEST(SigninGrant, NamesAreOneSafeFileName) {
  const struct {
    const char* account;
    const char* name;
  } cases[] = {
      {"Alice@Contoso.Example", "alice@contoso.example"},
      {"a.b-c_d+tag@x.jp", "a.b-c_d%2Btag@x.jp"},
      {"../../etc/passwd", "%2E.%2F..%2Fetc%2Fpasswd"},
      {"a\\b:c*d?\"<>|", "a%5Cb%3Ac%2Ad%3F%22%3C%3E%7C"},
      {".", "%2E"},
      {"..", "%2E%2E"},
      {"a.", "a%2E"},
      {"con", "%63on"},
      {"NUL.txt", "%6Eul.txt"},
      {"com1", "%63om1"},
      {"com10", "com10"},
      {"console@x", "console@x"},
      {"\xC3\xA9@x", "%C3%A9@x"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GrantName(c.account), c.name) << c.account;
}

}  // namespace
}  // namespace vtl::signin
