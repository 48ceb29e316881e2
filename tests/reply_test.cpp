#include "mail/reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vtl::mail {
namespace {

using Status = ReplyReader::Status;

// Feeds `bytes` in pieces of the given sizes (the last piece takes the
// rest) and collects every reply code, or -1 for a failure.
std::vector<int> Codes(const std::string& bytes, const std::vector<size_t>& cuts,
                       size_t maxLine = ReplyReader::kDefaultMaxLine) {
  ReplyReader reader(maxLine);
  std::vector<int> codes;
  size_t pos = 0;
  auto drain = [&] {
    for (;;) {
      int code = 0;
      const Status s = reader.Next(code);
      if (s == Status::NeedMore) return true;
      if (s != Status::Complete) {
        codes.push_back(-1);
        return false;
      }
      codes.push_back(code);
    }
  };
  for (size_t cut : cuts) {
    const size_t n = std::min(cut, bytes.size() - pos);
    reader.Feed(bytes.data() + pos, n);
    pos += n;
    if (!drain()) return codes;
  }
  reader.Feed(bytes.data() + pos, bytes.size() - pos);
  drain();
  return codes;
}

std::vector<int> Codes(const std::string& bytes) {
  return Codes(bytes, {});
}

const std::string kStream =
    "220-mx.example ESMTP\r\n220 ready\r\n250 hi\n250-SIZE 1000\r\n250 OK\r\n354\r\n"
    "250 queued as 1\r\n221 bye\r\n";
const std::vector<int> kStreamCodes = {220, 250, 250, 354, 250, 221};

TEST(ReplyReader, TakesWholeRepliesInOrder) {
  EXPECT_EQ(kStreamCodes, Codes(kStream));
}

TEST(ReplyReader, PairingSurvivesACutAtEveryByte) {
  for (size_t cut = 0; cut <= kStream.size(); ++cut)
    EXPECT_EQ(kStreamCodes, Codes(kStream, {cut})) << "cut at " << cut;
}

TEST(ReplyReader, PairingSurvivesOneByteAtATime) {
  EXPECT_EQ(kStreamCodes, Codes(kStream, std::vector<size_t>(kStream.size(), 1)));
}

TEST(ReplyReader, WaitsForTheLastLineOfAMultiLineReply) {
  ReplyReader reader;
  int code = 0;
  reader.Feed("250-one\r\n250-two\r\n", 18);
  EXPECT_EQ(Status::NeedMore, reader.Next(code));
  reader.Feed("250 three", 9);
  EXPECT_EQ(Status::NeedMore, reader.Next(code));
  reader.Feed("\r\n", 2);
  EXPECT_EQ(Status::Complete, reader.Next(code));
  EXPECT_EQ(250, code);
  EXPECT_EQ(Status::NeedMore, reader.Next(code));
}

TEST(ReplyReader, TheFinalLineGivesTheCode) {
  EXPECT_EQ(std::vector<int>{550}, Codes("250-odd server\r\n550 refused after all\r\n"));
}

TEST(ReplyReader, RejectsWhatIsNotAReplyLine) {
  for (const char* bad : {"hello\r\n", "25\r\n", "2500 x\r\n", "250x\r\n", "\r\n", "abc ok\r\n",
                          "250-fine\r\nnot fine\r\n", "082 ok\r\n", "620 x\r\n"})
    EXPECT_EQ(std::vector<int>{-1}, Codes(bad)) << bad;
}

TEST(ReplyReader, StaysFailedAfterAFailure) {
  ReplyReader reader;
  int code = 0;
  reader.Feed("junk\r\n250 ok\r\n", 14);
  EXPECT_EQ(Status::Malformed, reader.Next(code));
  EXPECT_EQ(Status::Malformed, reader.Next(code));
}

TEST(ReplyReader, BoundsTheLineLength) {
  const size_t limit = 100;
  const std::string fits = "250 " + std::string(limit - 4, 'x') + "\r\n";
  const std::string over = "250 " + std::string(limit - 3, 'x') + "\r\n";
  // However the bytes arrive: a CR waiting for its LF does not count.
  for (size_t cut = 0; cut <= fits.size(); ++cut) {
    EXPECT_EQ(std::vector<int>{250}, Codes(fits, {cut}, limit)) << "cut at " << cut;
    EXPECT_EQ(std::vector<int>{-1}, Codes(over, {cut}, limit)) << "cut at " << cut;
  }
  // Without a line end in sight, the reader gives up as soon as the limit is passed.
  ReplyReader reader(limit);
  int code = 0;
  const std::string endless(limit + 1, 'x');
  reader.Feed(endless.data(), endless.size());
  EXPECT_EQ(Status::TooLong, reader.Next(code));
}

TEST(ReplyReader, BoundsAReplyOfEndlessContinuationLines) {
  ReplyReader reader(100);
  const std::string line = "250-" + std::string(90, 'x') + "\r\n";
  int code = 0;
  Status s = Status::NeedMore;
  for (int i = 0; i < 1000 && s == Status::NeedMore; ++i) {
    reader.Feed(line.data(), line.size());
    s = reader.Next(code);
  }
  EXPECT_EQ(Status::TooLong, s);
}

}  // namespace
}  // namespace vtl::mail
