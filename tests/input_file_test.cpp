// Files opened for attaching, on the real file system of each system (on
// Linux, and under Wine): read in chunks to the end, refused with the
// reason in the same words on both, and sized anew while they change.
// Paths are given in UTF-8, code page 65001 on Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "support/hex.h"
#include "support/scratch_dir.h"

namespace vtl::platform {
namespace {

constexpr unsigned kUtf8 = 65001;

// What is left to read, in chunks of 4096 bytes, and how the reading ended.
std::pair<std::string, IoStatus> ReadToTheEnd(InputFile& file) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const IoResult r = file.Read(buffer, sizeof buffer);
    if (r.status != IoStatus::Ok || r.bytes == 0) return {bytes, r.status};
    bytes.append(buffer, r.bytes);
  }
}

// Bytes that show where a chunk was lost, doubled or taken out of order.
std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

TEST(InputFile, ReadsInChunksToTheEndOfTheFile) {
  const test::ScratchDir dir("vtl-files");
  const struct {
    const char* name;
    size_t size;
  } kRows[] = {
      {"empty.txt", 0},
      {"one.txt", 1},
      {"chunk.bin", 4096},
      {"chunks.bin", 25 * 4096 + 3},
      // 表, ソ (whose Shift_JIS trail bytes are backslashes) and é: no ANSI
      // code page holds all three.
      {"\xE8\xA1\xA8\xE3\x82\xBD\xC3\xA9.txt", 10},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    test::WriteFile(dir / row.name, Pattern(row.size));
    const FileOpened opened = OpenInputFile(test::Utf8(dir / row.name), kUtf8);
    ASSERT_NE(nullptr, opened.file) << opened.why;
    EXPECT_EQ(row.size, opened.size);
    const auto [bytes, end] = ReadToTheEnd(*opened.file);
    EXPECT_EQ(IoStatus::Closed, end);
    EXPECT_BYTES_EQ(Pattern(row.size), bytes);
    EXPECT_EQ(IoStatus::Closed, ReadToTheEnd(*opened.file).second) << "the end stays the end";
  }
}

TEST(InputFile, WhatCannotBeOpenedIsToldInWords) {
  const test::ScratchDir dir("vtl-files");
  std::filesystem::create_directory(dir / "folder");
  test::WriteFile(dir / "file.txt", "x");
  const struct {
    std::string path;
    const char* why;
  } kRows[] = {
      {test::Utf8(dir / "missing.txt"), "no such file or directory"},
      {test::Utf8(dir / "folder"), "is a directory"},
      // The bytes before the zero name a file that is there.
      {test::Utf8(dir / "file.txt") + std::string(1, '\0') + "x", "the path holds a zero byte"},
  };
  for (const auto& row : kRows) {
    const FileOpened opened = OpenInputFile(row.path, kUtf8);
    EXPECT_EQ(nullptr, opened.file) << row.why;
    EXPECT_EQ(row.why, opened.why);
  }
}

// The size when opened stays; CurrentSize is the system's now, a write
// shows in ChangedSinceOpened, and a read gives what the file holds now.
TEST(InputFile, CurrentSizeFollowsAFileThatChanges) {
  const test::ScratchDir dir("vtl-files");
  const auto path = dir / "changing.txt";
  test::WriteFile(path, Pattern(1000));
  const FileOpened opened = OpenInputFile(test::Utf8(path), kUtf8);
  ASSERT_NE(nullptr, opened.file) << opened.why;
  // The file system's clock moves in ticks: a write within the tick of the
  // open would not show, so the test waits for the next one.
  const auto openedAt = std::filesystem::last_write_time(path);
  do test::WriteFile(dir / "tick", "x");
  while (std::filesystem::last_write_time(dir / "tick") <= openedAt);
  EXPECT_FALSE(opened.file->ChangedSinceOpened());
  test::WriteFile(path, "more", std::ios::app);
  EXPECT_TRUE(opened.file->ChangedSinceOpened());
  EXPECT_EQ(1004, opened.file->CurrentSize());
  std::filesystem::resize_file(path, 10);
  EXPECT_EQ(10, opened.file->CurrentSize());
  EXPECT_EQ(1000u, opened.size);
  EXPECT_BYTES_EQ(Pattern(10), ReadToTheEnd(*opened.file).first);
  // An editor may delete the file and write it anew while it is sent (on
  // Windows, allowed by sharing deletion).
  std::error_code error;
  EXPECT_TRUE(std::filesystem::remove(path, error)) << error.message();
}

}  // namespace
}  // namespace vtl::platform
