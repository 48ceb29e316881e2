// The words of a file that cannot be opened or read, shared by the POSIX
// and the Windows layer so that a detail reads alike whichever system sent
// the mail. strerror's and FormatMessage's follow the user's language; these
// are stable English ASCII. No OS header here.
#pragma once

#include <string_view>

namespace vtl::platform::file_words {

inline constexpr std::string_view kNoSuchFile = "no such file or directory";
inline constexpr std::string_view kNotADirectory = "a part of the path is not a directory";
inline constexpr std::string_view kIsADirectory = "is a directory";
inline constexpr std::string_view kNotRegular = "not a regular file";
inline constexpr std::string_view kPermissionDenied = "permission denied";
inline constexpr std::string_view kNameTooLong = "file name too long";
inline constexpr std::string_view kTooManyOpen = "too many open files";
inline constexpr std::string_view kOutOfMemory = "out of memory";
inline constexpr std::string_view kIoError = "input/output error";
inline constexpr std::string_view kDiskFull = "no space left on the disk";
inline constexpr std::string_view kReadOnly = "read-only file system";
// A path from a string_view may hold a zero byte, and the system would
// open the file named by the bytes before it: another file.
inline constexpr std::string_view kZeroByte = "the path holds a zero byte";

}  // namespace vtl::platform::file_words
