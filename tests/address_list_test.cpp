// Address lists as callers type them, the addresses in them, and the
// caller's own header lines: pure functions, as data.
#include "mail/address_list.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "mail/header_lines.h"
#include "support/hex.h"

namespace vtl::mail {
namespace {

using test::Escape;

bool IsPrintableLine(std::string_view s) {
  for (const char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// What `parse` made of a text: "!" and its why, which must be one line of
// printable ASCII that begins with `where`, with nothing added; else each
// item it added as `describe` writes it, joined by `joint`.
template <typename Item, typename Parse, typename Describe>
std::string Outcome(std::string_view where, Parse parse, Describe describe,
                    std::string_view joint) {
  std::vector<Item> out(1);
  std::string why;
  if (!parse(out, why)) {
    EXPECT_EQ(1u, out.size()) << "a refusal adds nothing";
    EXPECT_TRUE(IsPrintableLine(why) && why.starts_with(where)) << why;
    return "!" + why;
  }
  std::string s;
  for (size_t i = 1; i < out.size(); ++i) s.append(i > 1 ? joint : "").append(describe(out[i]));
  return s;
}

// "name|address" for each mailbox, joined by " ; ".
std::string Parsed(std::string_view text) {
  return Outcome<Mailbox>(
      "to: ",
      [&](std::vector<Mailbox>& out, std::string& why) {
        return ParseAddressList(text, "to", out, why);
      },
      [](const Mailbox& box) { return box.name + "|" + box.address; }, " ; ");
}

// "Name=value" for each header ("+" after an address field), joined by
// " | ".
std::string ParsedHeaders(std::string_view text) {
  return Outcome<ExtraHeader>(
      "headers: line ",
      [&](std::vector<ExtraHeader>& out, std::string& why) {
        return ParseHeaderLines(text, out, why);
      },
      [](const ExtraHeader& h) { return h.name + "=" + h.value + (h.addresses ? "+" : ""); },
      " | ");
}

// A row's expectation: what the parser made of `text`, or "!" and words
// its why holds.
void ExpectRow(std::string_view text, std::string_view expected, const std::string& actual) {
  if (expected.starts_with('!'))
    EXPECT_NE(std::string::npos, actual.find(expected.substr(1))) << Escape(text) << "\n" << actual;
  else
    EXPECT_EQ(expected, actual) << Escape(text);
}

void ExpectParsed(std::string_view text, std::string_view expected) {
  ExpectRow(text, expected, Parsed(text));
}

void ExpectHeaders(std::string_view text, std::string_view expected) {
  ExpectRow(text, expected, ParsedHeaders(text));
}

TEST(AddressList, ReadsEveryFormAndRefusesMalformedEntries) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"taro@example.jp", "|taro@example.jp"},
      {"<taro@example.jp>", "|taro@example.jp"},
      {"< taro@example.jp >", "|taro@example.jp"},
      {"Taro Yamada <taro@example.jp>", "Taro Yamada|taro@example.jp"},
      {"  Taro\t Yamada   <t@x.jp>  ", "Taro\t Yamada|t@x.jp"},
      {"\"Yamada, Taro\" <y@example.jp>", "Yamada, Taro|y@example.jp"},
      {"山田 太郎 <yamada@example.jp>", "山田 太郎|yamada@example.jp"},
      // The ideographic space of a Japanese input method, around entries
      // and names; inside a name it is kept.
      {"山田\u3000太郎\u3000<y@x.jp>,\u3000b@x.jp\u3000", "山田\u3000太郎|y@x.jp ; |b@x.jp"},
      {"\"Yamada; Taro\" <y@x.jp>; hanako@x.jp", "Yamada; Taro|y@x.jp ; |hanako@x.jp"},
      {"a@x.jp; b@x.jp, c@x.jp", "|a@x.jp ; |b@x.jp ; |c@x.jp"},
      {"a@x.jp, , b@x.jp,", "|a@x.jp ; |b@x.jp"},
      {" , ;", ""},
      {"\"Ta\\\"ro \\\\ Y\" <t@x.jp>", "Ta\"ro \\ Y|t@x.jp"},
      {"\"Taro\"  \"Yamada\" <t@x.jp>", "Taro  Yamada|t@x.jp"},
      {"\" Taro \" <t@x.jp>", "Taro|t@x.jp"},
      {"\"\" <t@x.jp>", "|t@x.jp"},
      {"\"Re: lunch\" <a@x.jp>", "Re: lunch|a@x.jp"},
      {"a@x.jp <a@x.jp>", "a@x.jp|a@x.jp"},
      {"Sales (Tokyo, Osaka) <s@x.jp>", "Sales (Tokyo, Osaka)|s@x.jp"},
      {"Sales (the \"best) <s@x.jp>", "Sales (the \"best)|s@x.jp"},
      {"taro@x.jp (Taro, \\(home\\))", "Taro, (home)|taro@x.jp"},
      {"<\"a,b>c\"@x.jp>, d@x.jp", "|\"a,b>c\"@x.jp ; |d@x.jp"},
      {"\"john doe\"@x.jp, \"a;b\"@x.jp", "|\"john doe\"@x.jp ; |\"a;b\"@x.jp"},
      {"\"Yamada, Taro <y@x.jp>",
       "!the entry \"\"Yamada, Taro <y@x.jp>\" has a '\"' that is never"},
      {"a@x.jp, Taro <t@x.jp", "!the entry \"Taro <t@x.jp\" has a '<' without its '>'"},
      {"<\"t@x.jp>", "!has a '\"' that is never closed"},
      {"Taro t@x.jp>", "!has a '>' without its '<'"},
      {"Taro (Sales <t@x.jp>", "!has a '(' without its ')'"},
      {"Taro) <t@x.jp>", "!has a ')' without its '('"},
      {"<<t@x.jp>>", "!has a '<' inside angle brackets"},
      {"Taro <a@x.jp> <b@x.jp>", "!holds two addresses"},
      {"a@x.jp b@x.jp", "!holds two addresses"},
      {"Taro <t@x.jp> Yamada", "!has text after '>'"},
      {"<t@x.jp> (Taro)", "!has text after '>'"},
      {"Taro t@x.jp", "!holds more than an address: write a display name before"},
      {"t@x.jp (Taro) (home)", "!holds more than an address"},
      {"\"Taro\" t@x.jp", "!holds more than an address"},
      {"Team: a@x.jp, b@x.jp;", "!the entry \"Team: a@x.jp\" is a group"},
      {"undisclosed-recipients:;", "!is a group"},
      {"Re: lunch <a@x.jp>", "!is a group"},
      {"Taro <>", "!the address \"\" is empty"},
      {"a@x.jp, 山田@example.jp", "!holds characters outside ASCII; international addresses are"},
      {"Taro <taro@例え.jp>", "!international addresses are not supported yet"},
  };
  for (const auto& c : cases) ExpectParsed(c.text, c.expected);
}

TEST(AddressList, TakesRfc5321AddressesAndRefusesTheRest) {
  const std::string label(63, 'x');
  const std::string domain252 = label + "." + label + "." + label + "." + std::string(60, 'y');
  const struct {
    std::string address;
    const char* fault;  // empty: taken
  } cases[] = {
      {"a@b", ""},
      {"a.b.c+tag@sub.example.jp", ""},
      {"!#$%&'*+-/=?^_`{|}~@x.jp", ""},
      {"\"a b\"@x.jp", ""},
      {"\"a\\\"b@c\"@x.jp", ""},
      {"a@[192.0.2.1]", ""},
      {"a@[IPv6:2001:db8::1]", ""},
      {"a@[ipv6:::1]", ""},
      {"a@[x-tag:any=thing]", ""},
      {"a@[300.1.1.1]", "is not an address literal"},
      {"a@[example.jp]", "is not an address literal"},
      {"a@[IPv6:x]", "is not an address literal"},
      {"a@[tag-:x]", "is not an address literal"},
      {"ax.jp", "has no '@'"},
      {"\"a@x.jp\"", "has no '@'"},
      {"a@@x.jp", "holds more than one '@'"},
      {"a@b@x.jp", "holds more than one '@'"},
      {"@x.jp", "has nothing before '@'"},
      {"a@", "has nothing after '@'"},
      {".a@x.jp", "a dot at the start or end"},
      {"a.@x.jp", "a dot at the start or end"},
      {"a..b@x.jp", "two dots in a row"},
      {"a[b@x.jp", "holds '['"},
      {"\"\"@x.jp", "has nothing inside the quotes"},
      {"\"a\"b@x.jp", "has text between the closing '\"' and '@'"},
      {"\"a\tb\"@x.jp", "holds a TAB inside its quotes"},
      {"a@x..jp", "has an empty part in its domain"},
      {"a@.x.jp", "has an empty part in its domain"},
      {"a@x.jp.", "has an empty part in its domain"},
      {"a@x_y.jp", "has '_' in its domain"},
      {"a@-x.jp", "begins or ends with '-'"},
      {"a@x-.jp", "begins or ends with '-'"},
      {"a@" + label + ".jp", ""},
      {"a@" + label + "x.jp", "longer than 63 characters"},
      {"a@" + domain252, ""},
      {"ab@" + domain252, "...\" is longer than 254 octets (255)"},  // quoted in part
      {"山田@example.jp", "holds characters outside ASCII"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    ExpectParsed("<" + c.address + ">", *c.fault ? "!" + std::string(c.fault) : "|" + c.address);
    // A bare address without white space reads the same.
    if (c.address.find_first_of(" \t") == std::string::npos)
      ExpectParsed(c.address, *c.fault ? "!" + std::string(c.fault) : "|" + c.address);
  }
}

// CR or LF anywhere, in a name, an address, quotes or a comment, would end
// the header and start one of the sender's.
TEST(AddressList, NoControlCharacterGetsThroughAnywhere) {
  const std::string list = "\"Taro, Y\" <taro@x.jp>; hanako@x.jp (Hanako), 山田 <y@x.jp>";
  ASSERT_EQ("Taro, Y|taro@x.jp ; Hanako|hanako@x.jp ; 山田|y@x.jp", Parsed(list));
  const struct {
    std::string_view inserted;
    const char* fault;
  } cases[] = {
      {"\r\n", "holds a line break (CR or LF), which is not allowed"},
      {"\r", "holds a line break"},
      {"\n", "holds a line break"},
      {std::string_view("\0", 1), "holds a control character"},
      {"\x1b", "holds a control character"},
      {"\x7f", "holds a control character"},
  };
  for (const auto& c : cases)
    for (size_t at = 0; at <= list.size(); ++at)
      ExpectParsed(list.substr(0, at) + std::string(c.inserted) + list.substr(at),
                   "!" + std::string(c.fault));
}

TEST(AddressList, ParseMailboxTakesExactlyOne) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"Taro <taro@x.jp>", "Taro|taro@x.jp"},
      {" taro@x.jp, ", "|taro@x.jp"},
      {"", "!from: no address given"},
      {" ;, ", "!from: no address given"},
      {"a@x.jp; b@x.jp", "!from: \"a@x.jp; b@x.jp\" holds 2 addresses; it takes one"},
      {"Taro <t@x.jp", "!from: the entry \"Taro <t@x.jp\" has a '<' without its '>'"},
  };
  for (const auto& c : cases) {
    Mailbox box{"kept", "kept@x.jp"};
    std::string why;
    const bool parsed = ParseMailbox(c.text, "from", box, why);
    EXPECT_EQ(c.expected, parsed ? box.name + "|" + box.address : "!" + why) << c.text;
  }
}

TEST(AddressList, SameMailboxIgnoresTheCaseOfTheDomainOnly) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"taro@example.jp", "taro@example.jp", true},
      {"taro@example.jp", "taro@EXAMPLE.JP", true},
      {"taro@example.jp", "Taro@example.jp", false},
      {"taro@example.jp", "taro@example.com", false},
      {"\"a@b\"@x.jp", "\"a@b\"@X.jp", true},
      {"\"a@b\"@x.jp", "\"a@B\"@x.jp", false},
      {"a@[x:b@c]", "a@[X:B@C]", true},
      {"a@x.jp", "a@x.jpx", false},
      {"ax.jp", "ax.jp", true},
      {"ax.jp", "AX.jp", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.same, SameMailbox(c.a, c.b)) << c.a << " " << c.b;
    EXPECT_EQ(c.same, SameMailbox(c.b, c.a)) << c.b << " " << c.a;
  }
}

TEST(HeaderLines, TakesNameValueLinesAndRefusesTheRest) {
  const struct {
    std::string_view text;
    const char* expected;
  } cases[] = {
      {"", ""},
      {"Reply-To: Taro <t@x.jp>", "Reply-To=Taro <t@x.jp>+"},
      {"X-Priority: 1\r\nIn-Reply-To: <id@x.jp>\n\n \r\nX-Note:   spaced \t value \t ",
       "X-Priority=1 | In-Reply-To=<id@x.jp> | X-Note=spaced \t value"},
      {"reply-to: a@x.jp, b@x.jp\nSENDER: Taro <t@x.jp>\nDisposition-Notification-To: t@x.jp",
       "reply-to=a@x.jp, b@x.jp+ | SENDER=Taro <t@x.jp>+ | Disposition-Notification-To=t@x.jp+"},
      {"X-Name: 山田 太郎\r\n", "X-Name=山田 太郎"},
      {"Content: x\nX-Content-Type: y\nX-Mailer: z", "Content=x | X-Content-Type=y | X-Mailer=z"},
      {"X-Empty:", "!headers: line 1: \"X-Empty\" has no value"},
      {"X-Empty: \t ", "!has no value"},
      {"X-A: b\n\nNoColon", "!headers: line 3: \"NoColon\" has no ':'"},
      {": value", "!\"\" is not a header name"},
      {"Bad Name: v", "!\"Bad Name\" is not a header name"},
      {"Reply-To : v", "!\"Reply-To \" is not a header name"},
      {"N\xC3\xA4me: v", "!\"N\\xC3\\xA4me\" is not a header name"},
      {" X-Folded: v", "!begins with white space"},
      {"X-A: b\n\tcontinued", "!headers: line 2: \"\\x09continued\" begins with white space"},
      {"X-A: b\rBcc: evil@x.jp", "!holds a line break (a CR alone)"},
      {std::string_view("X-A: b\0c", 8), "!holds a control character"},
      {"X-A: \x1b$B", "!holds a control character"},
      {"sUbJeCt: x", "!\"sUbJeCt\" is written by the library from the subject argument"},
      {"FROM: a@x.jp", "!from the from argument"},
      {"to: a@x.jp", "!from the to argument"},
      {"CC: a@x.jp", "!from the cc argument"},
      {"bcc: a@x.jp", "!is the bcc argument's"},
      {"date: x", "!\"date\" is written by the library itself"},
      {"message-id: <x@y>", "!written by the library itself"},
      {"Mime-Version: 1.0", "!written by the library itself"},
      {"content-type: text/html", "!the Content- headers describe the body"},
      {"Content-Foo: x", "!the Content- headers describe the body"},
      {"return-path: <a@x.jp>", "!added by the receiving server"},
      {"RECEIVED: from x", "!added by each server on the way"},
      {"Reply-To: Taro <t@x.jp",
       "!headers: line 1 (Reply-To): the entry \"Taro <t@x.jp\" has a '<'"},
      {"X-A: b\nreply-to: 山田@x.jp", "!line 2 (reply-to): the address \"\\xE5"},
      {"Reply-To: Team: a@x.jp;", "!is a group"},
      {"Sender: a@x.jp, b@x.jp", "!(Sender): \"a@x.jp, b@x.jp\" holds 2 addresses; it takes one"},
      {"Reply-To: ,", "!line 1 (Reply-To): \",\" holds no address"},
      {"Reply-To: a@x.jp\nREPLY-TO: b@x.jp", "!headers: line 2: \"REPLY-TO\" is there twice"},
  };
  for (const auto& c : cases) ExpectHeaders(c.text, c.expected);
}

TEST(HeaderLines, LimitsLinesAndTheirLength) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "X-N: " + std::to_string(i) + "\r\n";
  EXPECT_EQ(std::string::npos, ParsedHeaders(hundred + "\n\n").find('!'));
  ExpectHeaders(hundred + "\nX-N: 100", "!headers: line 102: \"X-N: 100\" is one too many; 100");
  const std::string longest = "X-Long: " + std::string(kMaxHeaderLine - 8, 'a');
  EXPECT_EQ("X-Long=" + std::string(kMaxHeaderLine - 8, 'a'), ParsedHeaders(longest + "\r\n"));
  ExpectHeaders(longest + "a", "!is longer than 998 octets (999)");
}

// A CR inside a line is a line break to some readers and not to others:
// wherever it stands, the line is refused.
TEST(HeaderLines, ACrAloneIsRefusedWhereverItStands) {
  const std::string line = "Reply-To: \"Taro\" <t@x.jp>";
  for (size_t at = 1; at < line.size(); ++at)
    ExpectHeaders(line.substr(0, at) + "\r" + line.substr(at), "!holds a line break (a CR alone)");
}

}  // namespace
}  // namespace vtl::mail
