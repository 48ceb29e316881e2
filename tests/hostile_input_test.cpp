// Hostile and extreme arguments: line breaks in every argument, the ways an
// end of data can hide in a body, and sizes from 1 byte to 50 MiB. The
// server must never see an extra command, an extra header line, or an end
// of data before the real one.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/dialogue_runner.h"
#include "support/hex.h"
#include "support/script_server.h"
#include "vtl.h"

namespace vtl::test {
namespace {

const std::vector<std::string> kDelivered = {"HELO 127.0.0.1",
                                             "MAIL FROM:<a@example.com>",
                                             "RCPT TO:<b@example.com>",
                                             "DATA",
                                             "<data>",
                                             "QUIT"};
const char* const kBreaks[] = {"\r", "\n", "\r\n", "\n\r", "\r\r\n", "\n\n"};

// The header block's lines, each "Name: value"; a folded line starts with
// white space. Nothing else may appear before the empty line.
std::vector<std::string> HeaderNames(const std::string& data) {
  std::vector<std::string> names;
  const std::string head = data.substr(0, data.find("\r\n\r\n") + 2);
  for (size_t pos = 0; pos < head.size();) {
    const size_t end = head.find("\r\n", pos);
    const std::string line = head.substr(pos, end - pos);
    if (!line.empty() && line[0] != ' ' && line[0] != '\t')
      names.push_back(line.substr(0, line.find(':')));
    pos = end + 2;
  }
  return names;
}

const std::vector<std::string> kHeaderNames = {"From",       "To",           "Subject", "Date",
                                               "Message-ID", "MIME-Version", "X-Mailer"};

TEST(HostileInput, LineBreaksInTheServerOrAnAddressGive5WithoutConnecting) {
  for (const char* br : kBreaks) {
    for (int field = 0; field < 2; ++field) {
      DialogueSetup setup;
      setup.server = kAcceptingScript;
      std::string& target = field == 0 ? setup.from : setup.to;
      target = "a@example.com" + std::string(br) + "RCPT TO:<evil@example.com>";
      const DialogueOutcome out = RunDialogue(setup);
      EXPECT_EQ(VTL_SEND_BAD_ARGUMENT, out.result) << Escape(target);
      EXPECT_TRUE(out.transcript.empty()) << Escape(target);
    }
  }
}

TEST(HostileInput, LineBreaksInNamesAndSubjectAddNoHeader) {
  for (const bool japanese : {false, true}) {
    for (const char* br : kBreaks) {
      const std::string evil = std::string("x") + br + "Bcc: evil@example.com" + br + br + "body";
      for (int field = 0; field < 3; ++field) {
        DialogueSetup setup;
        setup.server = kAcceptingScript;
        setup.japanese = japanese;
        (field == 0 ? setup.fromName : field == 1 ? setup.toName : setup.subject) = evil;
        const DialogueOutcome out = RunDialogue(setup);
        EXPECT_EQ(VTL_SEND_OK, out.result) << Escape(evil);
        EXPECT_EQ(kDelivered, out.transcript) << Escape(evil);
        std::vector<std::string> names = HeaderNames(out.data);
        // The two MIME labels of Japanese mode are the only other fields.
        std::erase(names, "Content-Transfer-Encoding");
        std::erase(names, "Content-Type");
        EXPECT_EQ(kHeaderNames, names) << Escape(out.data.substr(0, 400));
      }
    }
  }
}

TEST(HostileInput, AnEndOfDataHiddenInTheBodyStaysText) {
  const std::vector<std::string> smuggled = {"\n.\n", "\r\n.\r\n", "\n.\r\n",
                                             "\r.\r", "\r\n.\n",   "\r\n.\r\r\n",
                                             ".\r\n", "\r\n.",     "\n.\nQUIT\r\n"};
  for (const bool japanese : {false, true}) {
    for (const std::string& s : smuggled) {
      for (const bool faulty : {false, true}) {
        DialogueSetup setup;
        setup.server = kAcceptingScript;
        setup.japanese = japanese;
        setup.faulty = faulty;
        setup.body =
            "first" + s + "MAIL FROM:<evil@example.com>" + s + "RCPT TO:<evil@example.com>";
        const DialogueOutcome out = RunDialogue(setup);
        EXPECT_EQ(VTL_SEND_OK, out.result) << Escape(s);
        // One data block, and the only command after it is QUIT.
        EXPECT_EQ(kDelivered, out.transcript) << Escape(s);
        const std::string body = out.data.substr(out.data.find("\r\n\r\n") + 4);
        EXPECT_EQ(std::string::npos, ("\r\n" + body).find("\r\n.\r\n")) << Escape(body);
        EXPECT_NE(std::string::npos, body.find("MAIL FROM:<evil@example.com>")) << Escape(body);
      }
    }
  }
}

TEST(HostileInput, ArgumentsOfEverySize) {
  for (const size_t size : {1u, 125u, 126u, 10000u}) {
    const std::string text(size, 'n');
    for (int field = 0; field < 5; ++field) {
      DialogueSetup setup;
      setup.server = kAcceptingScript;
      std::string* target[] = {&setup.fromName, &setup.toName, &setup.subject, &setup.body,
                               &setup.from};
      *target[field] = field == 4 ? std::string(size, 'a') + "@example.com" : text;
      const DialogueOutcome out = RunDialogue(setup);
      // An address over 254 octets cannot be sent (RFC 5321 4.5.3.1.3).
      const bool tooLong = field == 4 && target[field]->size() > 254;
      EXPECT_EQ(tooLong ? VTL_SEND_BAD_ARGUMENT : VTL_SEND_OK, out.result)
          << "field " << field << ", " << size << " bytes";
      if (!tooLong) {
        EXPECT_EQ(6u, out.transcript.size()) << "field " << field << ", " << size;
      }
    }
  }
}

TEST(HostileInput, FiftyMebibytesOfUtf8GoOutAsTheirShiftJisDo) {
  // The same lines in UTF-8 and in code page 932, a bad sequence among
  // them: the same data, a GETA MARK for it.
  const std::string utf8Line = "日本語の本文、ｶﾞ①～ plain \xE3\x81 text.\r\n";
  const std::string shiftJisLine =
      "\x93\xFA\x96\x7B\x8C\xEA\x82\xCC\x96\x7B\x95\xB6\x81\x41\xB6\xDE\x87\x40\x81\x60"
      " plain \x81\xAC text.\r\n";
  std::string bodies[2];
  for (std::string& body : bodies) body.reserve((50u << 20) + 100);
  while (bodies[0].size() < (50u << 20)) {
    bodies[0] += utf8Line;
    bodies[1] += shiftJisLine;
  }
  std::string data[2];
  for (int i = 0; i < 2; ++i) {
    DialogueSetup setup;
    setup.server = kAcceptingScript;
    setup.japanese = true;
    setup.utf8 = i == 0;
    setup.body = std::move(bodies[i]);
    const DialogueOutcome out = RunDialogue(setup);
    EXPECT_EQ(VTL_SEND_OK, out.result) << (i == 0 ? "UTF-8" : "Shift_JIS");
    std::printf("%s: %lld ms\n", i == 0 ? "UTF-8" : "Shift_JIS",
                static_cast<long long>(out.elapsed.count()));
    data[i] = out.data;
  }
  EXPECT_GT(data[1].size(), 50u << 20);
  // Compared as a whole: a printed difference of 50 MiB would not fit.
  EXPECT_TRUE(data[0] == data[1]) << data[0].size() << " and " << data[1].size() << " bytes";
}

TEST(HostileInput, BodiesFromOneLineToFiftyMebibytes) {
  for (const size_t size : {1u, 1u << 20, 50u << 20}) {
    std::string body;
    body.reserve(size);
    while (body.size() + 80 <= size) body += std::string(78, 'b') + "\r\n";
    body.append(size - body.size(), 'c');
    DialogueSetup setup;
    setup.server = kAcceptingScript;
    setup.body = body;
    const DialogueOutcome out = RunDialogue(setup);
    EXPECT_EQ(VTL_SEND_OK, out.result) << size;
    const std::string received = out.data.substr(out.data.find("\r\n\r\n") + 4);
    const std::string expected = body.ends_with("\r\n") ? body : body + "\r\n";
    // Compared as a whole: a printed difference of 50 MiB would not fit.
    EXPECT_TRUE(received == expected)
        << size << " bytes: " << received.size() << " arrived, " << expected.size() << " meant";
  }
}

}  // namespace
}  // namespace vtl::test
