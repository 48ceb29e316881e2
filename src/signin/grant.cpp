#include "signin/grant.h"

#include "mail/detail.h"
#include "mail/server_url.h"
#include "signin/form.h"

namespace vtl::signin {
namespace {

constexpr std::string_view kFirstLine = "vtl-grant 1";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void Line(mail::Secret& out, std::string_view name, std::string_view value) {
  out.Append(name).Append('=');
  AppendPercentEncoded(out, value);
  out.Append('\n');
}

// Where each kept field goes: a plain string or a Secret.
struct Field {
  std::string_view name;
  std::string Grant::*text = nullptr;
  mail::Secret Grant::*secret = nullptr;
};
constexpr Field kFields[] = {
    {"account", &Grant::account},
    {"provider", &Grant::provider},
    {"token_url", &Grant::tokenUrl},
    {"scope", &Grant::scope},
    {"client_id", &Grant::clientId},
    {"client_secret", nullptr, &Grant::clientSecret},
    {"refresh_token", nullptr, &Grant::refreshToken},
    {"access_token", nullptr, &Grant::accessToken},
};

bool ReadCount(std::string_view s, int64_t& value) {
  if (s.empty() || s.size() > 18) return false;
  value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

void ClearGrant(Grant& g) {
  g.account.clear();
  g.provider.clear();
  g.tokenUrl.clear();
  g.scope.clear();
  g.clientId.clear();
  g.clientSecret.Clear();
  g.refreshToken.Clear();
  g.accessToken.Clear();
  g.expiresAt = 0;
}

class SystemStore : public GrantStore {
 public:
  StoreStatus Load(std::string_view account, Grant& grant, std::string& why) override {
    const std::string name = GrantName(account);
    std::string raw;
    const StoreOutcome got = platform::ReadKept(name, raw);
    bool read = false;
    if (got.status == StoreStatus::Ok) read = ReadGrant(raw, grant);
    platform::Wipe(raw.data(), raw.capacity());
    if (got.status != StoreStatus::Ok) {
      why = got.why;
      return got.status;
    }
    if (!read) {
      why = Where(name) + " cannot be read";
      return StoreStatus::Damaged;
    }
    if (!mail::EqualNoCase(grant.account, account)) {
      ClearGrant(grant);
      why = Where(name) + " is for another account";
      return StoreStatus::Damaged;
    }
    return StoreStatus::Ok;
  }

  StoreStatus Save(const Grant& grant, std::string& why) override {
    mail::Secret text;
    WriteGrant(grant, text);
    StoreOutcome put = platform::WriteKept(GrantName(grant.account), text.view());
    why = std::move(put.why);
    return put.status;
  }

  StoreStatus Remove(std::string_view account, std::string& why) override {
    StoreOutcome gone = platform::RemoveKept(GrantName(account));
    why = std::move(gone.why);
    return gone.status;
  }

 private:
  static std::string Where(const std::string& name) {
    std::string where = "the grant kept as ";
    mail::AppendPrintable(where, name, mail::kMaxQuotedInput);
    where += " in ";
    mail::AppendPrintable(where, platform::KeptFolder(), 300);
    return where;
  }
};

}  // namespace

void WriteGrant(const Grant& grant, mail::Secret& out) {
  out.Clear();
  out.Append(kFirstLine).Append('\n');
  for (const Field& f : kFields)
    Line(out, f.name, f.text ? std::string_view(grant.*f.text) : (grant.*f.secret).view());
  Line(out, "expires_at", std::to_string(grant.expiresAt > 0 ? grant.expiresAt : 0));
}

bool ReadGrant(std::string_view text, Grant& out) {
  ClearGrant(out);
  const auto fail = [&] {
    ClearGrant(out);
    return false;
  };
  const auto line = [&](std::string_view& l) {
    if (text.empty()) return false;
    const size_t lf = text.find('\n');
    l = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (l.ends_with('\r')) l.remove_suffix(1);
    return true;
  };
  std::string_view l;
  if (!line(l) || l != kFirstLine) return fail();
  uint32_t seen = 0;  // a bit a field, so that none is given twice
  while (line(l)) {
    if (l.empty()) continue;
    const size_t eq = l.find('=');
    if (eq == std::string_view::npos) return fail();
    const std::string_view name = l.substr(0, eq), value = l.substr(eq + 1);
    uint32_t bit = 1;
    bool known = false;
    for (const Field& f : kFields) {
      if (f.name == name) {
        known = true;
        if (seen & bit) return fail();
        mail::Secret decoded;
        if (!AppendPercentDecoded(decoded, value, false)) return fail();
        if (f.text)
          (out.*f.text).assign(decoded.view());
        else
          (out.*f.secret).Append(decoded.view());
        seen |= bit;
        break;
      }
      bit <<= 1;
    }
    if (known || name != "expires_at") continue;  // a later version's field is passed over
    if ((seen & bit) || !ReadCount(value, out.expiresAt)) return fail();
    seen |= bit;
  }
  if (out.account.empty() || out.tokenUrl.empty() || out.clientId.empty() ||
      out.refreshToken.empty())
    return fail();
  return true;
}

std::string GrantName(std::string_view account) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Windows takes these for devices whatever follows their first '.'.
  static constexpr std::string_view kDevices[] = {"con", "prn", "aux", "nul", "com", "lpt"};
  std::string_view stem = account.substr(0, account.find('.'));
  if (stem.size() == 4 && stem[3] >= '0' && stem[3] <= '9') stem.remove_suffix(1);
  bool device = false;
  for (const std::string_view d : kDevices) device = device || mail::EqualNoCase(stem, d);
  std::string name;
  for (size_t i = 0; i < account.size(); ++i) {
    const char c = Lower(account[i]);
    // A '.' first would make "." and ".." or a hidden file, and one last
    // is dropped by Windows; a device name's first letter is escaped too.
    const bool edge = c == '.' && (i == 0 || i + 1 == account.size());
    if (!edge && !(device && i == 0) &&
        ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' ||
         c == '@')) {
      name.push_back(c);
    } else {
      const auto b = static_cast<uint8_t>(c);
      name.push_back('%');
      name.push_back(kHex[b >> 4]);
      name.push_back(kHex[b & 15]);
    }
  }
  return name;
}

std::unique_ptr<GrantStore> SystemGrantStore() {
  return std::make_unique<SystemStore>();
}

}  // namespace vtl::signin
