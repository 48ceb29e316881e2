// VTLInternet through the import library, under Wine: the shell's "open"
// on associations the test registers, a file extension (.vtltest) and a URL
// protocol (vtltest:), whose command is vtl_handler.exe. The handler writes
// the target it was given to the file named by VTL_HANDLER_OUT, which the
// child inherits from this process.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "platform/win/winsock.h"  // windows.h, after winsock2.h
#include "vtl.h"
// (after windows.h)
#include <objbase.h>

namespace {

std::string ProgramDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  return dir.substr(0, dir.find_last_of("\\/"));
}

bool SetDefault(const std::string& key, const char* name, const std::string& value) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG r = RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1));
  RegCloseKey(h);
  return r == ERROR_SUCCESS;
}

// The target as the handler receives it: the ANSI bytes in UTF-8.
std::string AnsiToUtf8(const std::string& ansi) {
  std::wstring wide(ansi.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  std::string utf8(static_cast<size_t>(n) * 4 + 1, '\0');
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(static_cast<size_t>(m));
  return utf8;
}

// What VTLLastError says about this thread's last call.
std::string LastError() {
  char buffer[1024];
  const int32_t n = VTLLastError(buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}

const char* const kOpened = "opened by the shell (ShellExecute open)";

class ShellOpen : public ::testing::Test {
 protected:
  static constexpr const char* kClasses = "Software\\Classes\\";

  void SetUp() override {
    const std::string command = "\"" + ProgramDirectory() + "\\vtl_handler.exe\" \"%1\"";
    ASSERT_TRUE(SetDefault(std::string(kClasses) + ".vtltest", nullptr, "VtlTest.Document"));
    ASSERT_TRUE(SetDefault(std::string(kClasses) + "VtlTest.Document\\shell\\open\\command",
                           nullptr, command));
    ASSERT_TRUE(SetDefault(std::string(kClasses) + "vtltest", nullptr, "URL:vtl test"));
    ASSERT_TRUE(SetDefault(std::string(kClasses) + "vtltest", "URL Protocol", ""));
    ASSERT_TRUE(
        SetDefault(std::string(kClasses) + "vtltest\\shell\\open\\command", nullptr, command));
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    dir_ = std::string(temp) + "vtl-shell-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(dir_.c_str(), nullptr);
    output_ = dir_ + "\\received.txt";
    DeleteFileA(output_.c_str());
    SetEnvironmentVariableA("VTL_HANDLER_OUT", output_.c_str());
  }

  void TearDown() override {
    for (const char* key : {".vtltest", "VtlTest.Document", "vtltest"})
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kClasses) + key).c_str());
    SetEnvironmentVariableA("VTL_HANDLER_OUT", nullptr);
  }

  std::string MakeFile(const std::string& name) {
    const std::string path = dir_ + "\\" + name;
    const HANDLE f =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, f) << path;
    CloseHandle(f);
    return path;
  }

  // What the handler received; it runs on its own, so it is waited for.
  // The file appears by a rename, but under Wine it may for a moment be
  // there and not yet open to a reader: until the patience runs out, a
  // read that gives nothing is tried again (the handler never writes
  // nothing).
  std::string Received(std::chrono::milliseconds patience = std::chrono::milliseconds(15000)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    bool seen = false;
    for (;;) {
      if (GetFileAttributesA(output_.c_str()) != INVALID_FILE_ATTRIBUTES) {
        seen = true;
        std::ifstream in(output_, std::ios::binary);
        std::string text(std::istreambuf_iterator<char>(in), {});
        if (!text.empty()) return text;
      }
      if (std::chrono::steady_clock::now() > deadline) return seen ? "" : "<not run>";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::string dir_;
  std::string output_;
};

// Spaces, ';', '$()', '&', a quote and Shift_JIS "nihon" (in the ANSI code
// page, whatever it is): the handler gets them all as they were.
const std::string kAwkward = "a b;$(x)&'\x93\xfa\x96\x7b";

TEST_F(ShellOpen, UrlReachesTheHandlerUnchanged) {
  const std::string url = "vtltest:" + kAwkward + "\"q";
  EXPECT_EQ(1, VTLInternet(nullptr, url.c_str()));
  EXPECT_EQ(kOpened, LastError());
  EXPECT_EQ(AnsiToUtf8(url), Received());
}

TEST_F(ShellOpen, DocumentReachesTheHandlerUnchanged) {
  const std::string path = MakeFile(kAwkward + ".vtltest");
  EXPECT_EQ(1, VTLInternet(nullptr, path.c_str()));
  EXPECT_EQ(kOpened, LastError());
  EXPECT_EQ(AnsiToUtf8(path), Received());
}

TEST_F(ShellOpen, MissingDocumentOrNoAssociationGives0) {
  EXPECT_EQ(0, VTLInternet(nullptr, (dir_ + "\\missing.vtltest").c_str()));
  EXPECT_EQ("ShellExecute open failed with 2: no such file", LastError());
  EXPECT_EQ(0, VTLInternet(nullptr, (dir_ + "\\none\\missing.vtltest").c_str()));
  // Windows tells a missing folder from a missing file; Wine does not.
  const std::string noFolder = LastError();
  EXPECT_TRUE(noFolder == "ShellExecute open failed with 3: no such path" ||
              noFolder == "ShellExecute open failed with 2: no such file")
      << noFolder;
  EXPECT_EQ(0, VTLInternet(nullptr, MakeFile("plain.vtlnone").c_str()));
  EXPECT_EQ("ShellExecute open failed with 31: no application is associated with this file type",
            LastError());
  EXPECT_EQ(0, VTLInternet(nullptr, nullptr));
  EXPECT_EQ("target is null", LastError());
  EXPECT_EQ(0, VTLInternet(nullptr, ""));
  EXPECT_EQ("target is empty", LastError());
  EXPECT_EQ("<not run>", Received(std::chrono::milliseconds(1000)));
}

TEST_F(ShellOpen, AWindowOfTheHostIsAccepted) {
  // A window of this thread's own, to own whatever the shell may show.
  const HWND window = CreateWindowExA(0, "STATIC", "vtl", 0, 0, 0, 1, 1, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
  EXPECT_EQ(1, VTLInternet(window, "vtltest:window"));
  EXPECT_EQ("vtltest:window", Received());
  if (window != nullptr) DestroyWindow(window);
}

enum class Before { NoCom, Multithreaded, SingleThreaded };

// The apartment of a new thread after it entered `before` and made one call.
HRESULT ApartmentAfterCall(Before before, APTTYPE* type, int* result,
                           const std::function<void()>& wait) {
  HRESULT after = E_FAIL;
  std::thread([&] {
    const DWORD model =
        before == Before::Multithreaded ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED;
    const bool entered = before != Before::NoCom && SUCCEEDED(CoInitializeEx(nullptr, model));
    *result = VTLInternet(nullptr, "vtltest:apartment");
    wait();
    APTTYPEQUALIFIER qualifier;
    after = CoGetApartmentType(type, &qualifier);
    if (entered) {
      CoUninitialize();
      // Balanced: the thread is out of COM again.
      APTTYPE ignored;
      if (CoGetApartmentType(&ignored, &qualifier) != CO_E_NOTINITIALIZED) after = E_UNEXPECTED;
    }
  }).join();
  return after;
}

TEST_F(ShellOpen, HostThreadKeepsItsApartment) {
  APTTYPE type;
  int result = -1;
  // Each handler is waited for, so that none writes after the test.
  const auto handled = [this] {
    EXPECT_EQ("vtltest:apartment", Received());
    DeleteFileA(output_.c_str());
  };
  // No COM before: none after.
  EXPECT_EQ(CO_E_NOTINITIALIZED, ApartmentAfterCall(Before::NoCom, &type, &result, handled));
  EXPECT_EQ(1, result);
  // A multithreaded apartment stays one.
  EXPECT_EQ(S_OK, ApartmentAfterCall(Before::Multithreaded, &type, &result, handled));
  EXPECT_EQ(APTTYPE_MTA, type);
  EXPECT_EQ(1, result);
  // So does a single-threaded one.
  EXPECT_EQ(S_OK, ApartmentAfterCall(Before::SingleThreaded, &type, &result, handled));
  EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
  EXPECT_EQ(1, result);
}

}  // namespace
