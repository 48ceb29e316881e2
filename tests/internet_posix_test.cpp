// VTLInternet through the exported symbol on Linux: the real xdg-open, in a
// desktop of the test's own (a temporary XDG home) where a handler is the
// default for a URL scheme and for plain text. The handler writes the
// target it was given to a file, which the test reads.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <string>

#include "vtl.h"

namespace {

namespace fs = std::filesystem;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value != nullptr)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What VTLLastError says about this thread's last call.
std::string LastError() {
  char buffer[1024];
  const int32_t n = VTLLastError(buffer, sizeof buffer);
  return n > 0 ? std::string(buffer) : std::string();
}

class ExportedInternet : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/xdg-open", X_OK) != 0) GTEST_SKIP() << "xdg-open is not installed";
    char pattern[] = "/tmp/vtl-xdg.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
    fs::create_directories(root_ / "home");
    fs::create_directories(root_ / "config");
    fs::create_directories(root_ / "data/applications");
    const fs::path handler = root_ / "handler.sh";
    WriteFile(handler, "#!/bin/sh\nprintf '%s' \"$1\" > \"$VTL_HANDLER_OUT\"\n");
    fs::permissions(handler, fs::perms::owner_all);
    // Stays until the test lets it go (or a minute has passed).
    const fs::path stay = root_ / "stay.sh";
    WriteFile(stay,
              "#!/bin/sh\ni=0\nwhile [ ! -e \"$VTL_RELEASE\" ] && [ $i -lt 600 ]; do\n"
              "  sleep 0.1; i=$((i+1))\ndone\nprintf '%s' \"$1\" > \"$VTL_HANDLER_OUT\"\n");
    fs::permissions(stay, fs::perms::owner_all);
    WriteFile(root_ / "data/applications/vtl-stay-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=vtl staying handler\nExec=" + stay.string() +
                  " %u\nMimeType=x-scheme-handler/vtlstay;\n");
    const fs::path slow = root_ / "slow.sh";
    WriteFile(slow, "#!/bin/sh\nsleep 1\nprintf '%s' \"$1\" > \"$VTL_HANDLER_OUT\"\n");
    fs::permissions(slow, fs::perms::owner_all);
    WriteFile(root_ / "data/applications/vtl-slow-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=vtl slow handler\nExec=" + slow.string() +
                  " %u\nMimeType=x-scheme-handler/vtlslow;\n");
    WriteFile(root_ / "data/applications/vtl-test-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=vtl test handler\nExec=" + handler.string() +
                  " %u\nMimeType=x-scheme-handler/vtltest;text/plain;\n");
    WriteFile(root_ / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/vtltest=vtl-test-handler.desktop\n"
              "text/plain=vtl-test-handler.desktop\n"
              "x-scheme-handler/vtlslow=vtl-slow-handler.desktop\n"
              "x-scheme-handler/vtlstay=vtl-stay-handler.desktop\n");
    // Hiding the system's data dirs hides its MIME database too, and without
    // one xdg-mime cannot tell that a .txt file is text/plain when it asks
    // mimetype (File::MimeInfo, which reads mime/globs) rather than file
    // (libmagic). So this desktop has a database of its own with just that
    // (globs2, which newer readers prefer, says the same), and no type or
    // handler of the machine's is ever seen.
    fs::create_directories(root_ / "data/mime");
    WriteFile(root_ / "data/mime/globs", "text/plain:*.txt\n");
    WriteFile(root_ / "data/mime/globs2", "50:text/plain:*.txt\n");
    output_ = root_ / "received";
    // xdg-open's generic mode, whatever desktop the machine has: it runs the
    // handler itself and waits for it. A display to open on; a browser that
    // always fails, so that nothing without an association is ever opened
    // for real; no session bus to ask.
    for (const char* name :
         {"DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
          "MATE_DESKTOP_SESSION_ID", "LXQT_SESSION_CONFIG", "DESKTOP", "WAYLAND_DISPLAY"})
      env_.emplace_back(name, nullptr);
    env_.emplace_back("XDG_CURRENT_DESKTOP", "X-Generic");
    env_.emplace_back("XDG_RUNTIME_DIR", root_.c_str());
    env_.emplace_back("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    env_.emplace_back("HOME", (root_ / "home").c_str());
    env_.emplace_back("XDG_CONFIG_HOME", (root_ / "config").c_str());
    env_.emplace_back("XDG_DATA_HOME", (root_ / "data").c_str());
    env_.emplace_back("XDG_CONFIG_DIRS", (root_ / "none").c_str());
    env_.emplace_back("XDG_DATA_DIRS", (root_ / "none").c_str());
    env_.emplace_back("DISPLAY", ":99");
    env_.emplace_back("BROWSER", "/bin/false");
    // xdg-open's last resort, run-mailcap, would read /etc/mailcap.
    env_.emplace_back("MAILCAPS", (root_ / "none").c_str());
    env_.emplace_back("VTL_HANDLER_OUT", output_.c_str());
    env_.emplace_back("VTL_RELEASE", (root_ / "release").c_str());
    // xdg-open is a shell script whose sed and grep, in a UTF-8 locale, do
    // not match the Shift_JIS bytes of a target, and it then finds no
    // handler; in the C locale bytes are bytes. The library passes them on
    // as they are either way.
    env_.emplace_back("LC_ALL", "C");
  }
  void TearDown() override {
    env_.clear();
    if (!root_.empty()) fs::remove_all(root_);
  }

  // The target the handler received, or "<not run>".
  std::string Received() {
    return fs::exists(output_) ? ReadFile(output_) : std::string("<not run>");
  }

  fs::path root_;
  fs::path output_;
  std::list<ScopedEnv> env_;  // a list: its elements never move
};

// Spaces, quotes, ';', '$()', '&', a backquote and Shift_JIS "nihon": no
// shell may see any of it.
const std::string kShellAwkward = "a b\"c'd;$(touch x)&`e`";
const std::string kAwkward = kShellAwkward + "\x93\xfa\x96\x7b";

TEST_F(ExportedInternet, UrlReachesTheHandlerUnchanged) {
  const std::string url = "vtltest:" + kAwkward;
  EXPECT_EQ(1, VTLInternet(nullptr, url.c_str()));
  EXPECT_EQ("opened with xdg-open", LastError());
  EXPECT_EQ(url, Received());
}

TEST_F(ExportedInternet, DocumentReachesTheHandlerUnchanged) {
  // A document's type is found from its name, and mimetype gives up on a
  // name that the locale's encoding cannot decode, as Shift_JIS is not
  // UTF-8 nor ASCII: here "nihon" is UTF-8, in a UTF-8 locale.
  const ScopedEnv locale("LC_ALL", "C.UTF-8");
  const fs::path document = root_ / (kShellAwkward + "\xe6\x97\xa5\xe6\x9c\xac.txt");
  WriteFile(document, "plain text\n");
  EXPECT_EQ(1, VTLInternet(nullptr, document.c_str()));
  EXPECT_EQ("opened with xdg-open", LastError());
  EXPECT_EQ(document.string(), Received());
  EXPECT_FALSE(fs::exists("x")) << "something ran the $(...)";
}

const std::string kNoSuchFile =
    "xdg-open exited with status 2: one of the files passed on the command line did not exist";

TEST_F(ExportedInternet, TargetIsNeverTakenForAnOption) {
  // "--help" would make xdg-open print its usage and succeed; as a file it
  // does not exist.
  EXPECT_EQ(0, VTLInternet(nullptr, "--help"));
  EXPECT_EQ(kNoSuchFile, LastError());
  // A document whose name begins with '-' opens as that document.
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  WriteFile(root_ / "-v.txt", "plain text\n");
  const int result = VTLInternet(nullptr, "-v.txt");
  fs::current_path(cwd);
  EXPECT_EQ(1, result);
  EXPECT_EQ("./-v.txt", Received());
}

TEST_F(ExportedInternet, NoAssociationGives0) {
  EXPECT_EQ(0, VTLInternet(nullptr, "vtlnothing:whatever"));
  // The generic mode finds no way to open it (3); a desktop's own opener
  // would fail at it (4).
  const std::string noHandler = LastError();
  EXPECT_TRUE(noHandler ==
                  "xdg-open exited with status 3: a required tool could not be found (no "
                  "application for this type?)" ||
              noHandler ==
                  "xdg-open exited with status 4: the action failed (typically no application "
                  "is associated)")
      << noHandler;
  EXPECT_EQ(0, VTLInternet(nullptr, (root_ / "missing.txt").c_str()));
  EXPECT_EQ(kNoSuchFile, LastError());
  EXPECT_EQ("<not run>", Received());
}

TEST_F(ExportedInternet, NullOrEmptyTargetGives0) {
  EXPECT_EQ(0, VTLInternet(nullptr, nullptr));
  EXPECT_EQ(0, VTLInternet(nullptr, ""));
  EXPECT_EQ("<not run>", Received());
}

TEST_F(ExportedInternet, MissingXdgOpenGives0) {
  const ScopedEnv path("PATH", (root_ / "empty").c_str());
  EXPECT_EQ(0, VTLInternet(nullptr, "vtltest:x"));
  EXPECT_EQ("xdg-open is not installed (xdg-utils)", LastError());
  // One that is there but is no program the system can run.
  fs::create_directories(root_ / "broken");
  WriteFile(root_ / "broken/xdg-open", "not a program\n");
  fs::permissions(root_ / "broken/xdg-open", fs::perms::owner_all);
  const ScopedEnv broken("PATH", (root_ / "broken").c_str());
  EXPECT_EQ(0, VTLInternet(nullptr, "vtltest:x"));
  EXPECT_EQ("xdg-open could not be started: not an executable", LastError());
  EXPECT_EQ("<not run>", Received());
}

TEST_F(ExportedInternet, OpenersExitStatusInWords) {
  // An xdg-open of the test's own, which ends as it is told.
  fs::create_directories(root_ / "fake");
  WriteFile(root_ / "fake/xdg-open",
            "#!/bin/sh\n[ \"$VTL_FAKE\" = signal ] && kill -TERM $$\nexit \"$VTL_FAKE\"\n");
  fs::permissions(root_ / "fake/xdg-open", fs::perms::owner_all);
  const ScopedEnv path("PATH", (root_ / "fake").c_str());
  const struct {
    const char* fake;
    int result;
    std::string words;
  } cases[] = {
      {"0", 1, "opened with xdg-open"},
      {"1", 0, "xdg-open exited with status 1: error in command line syntax"},
      {"2", 0, kNoSuchFile},
      {"3", 0,
       "xdg-open exited with status 3: a required tool could not be found (no application for "
       "this type?)"},
      {"4", 0,
       "xdg-open exited with status 4: the action failed (typically no application is "
       "associated)"},
      {"5", 0, "xdg-open exited with status 5"},
      {"signal", 0, "xdg-open was ended by signal 15"},
  };
  for (const auto& c : cases) {
    const ScopedEnv fake("VTL_FAKE", c.fake);
    EXPECT_EQ(c.result, VTLInternet(nullptr, "vtltest:x")) << c.fake;
    EXPECT_EQ(c.words, LastError()) << c.fake;
  }
}

TEST_F(ExportedInternet, OpenerStillRunningCountsAsTaken) {
  // xdg-open waits for this handler, which stays until the call is over.
  EXPECT_EQ(1, VTLInternet(nullptr, "vtlstay:x"));
  EXPECT_EQ("xdg-open still running after 10 s: the handler is taken to be running", LastError());
  WriteFile(root_ / "release", "");
  const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(output_) && std::chrono::steady_clock::now() < patience) usleep(50'000);
  EXPECT_EQ("vtlstay:x", Received());
}

int g_sigchld = 0;
void CountSigchld(int) {
  ++g_sigchld;
}

TEST_F(ExportedInternet, HostSignalsAreLeftAloneAndNoChildRemains) {
  struct sigaction counting {};
  counting.sa_handler = CountSigchld;
  sigemptyset(&counting.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(0, sigaction(SIGCHLD, &counting, &saved));
  EXPECT_EQ(1, VTLInternet(nullptr, "vtltest:one"));
  struct sigaction now {};
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(reinterpret_cast<void*>(CountSigchld), reinterpret_cast<void*>(now.sa_handler));

  // A host that ignores SIGCHLD: children are reaped by the kernel, yet the
  // opener's exit status still comes back.
  struct sigaction ignoring {};
  ignoring.sa_handler = SIG_IGN;
  sigemptyset(&ignoring.sa_mask);
  sigaction(SIGCHLD, &ignoring, nullptr);
  EXPECT_EQ(1, VTLInternet(nullptr, "vtltest:two"));
  EXPECT_EQ("vtltest:two", Received());
  EXPECT_EQ(0, VTLInternet(nullptr, "vtlnothing:two"));
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(reinterpret_cast<void*>(SIG_IGN), reinterpret_cast<void*>(now.sa_handler));
  sigaction(SIGCHLD, &saved, nullptr);

  // A host that blocks SIGCHLD.
  sigset_t chld;
  sigset_t oldMask;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &chld, &oldMask);
  EXPECT_EQ(1, VTLInternet(nullptr, "vtltest:three"));
  EXPECT_EQ(0, VTLInternet(nullptr, "vtlnothing:three"));
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, &oldMask, &mask);
  EXPECT_TRUE(sigismember(&mask, SIGCHLD));

  // Nothing is left to reap: no child of this process, zombie or not.
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
}

size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(ExportedInternet, NoDescriptorIsLeftOpen) {
  const size_t before = OpenDescriptors();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(1, VTLInternet(nullptr, "vtltest:fd"));
    EXPECT_EQ(0, VTLInternet(nullptr, "vtlnothing:fd"));
  }
  EXPECT_EQ(before, OpenDescriptors());
}

std::atomic<int> g_result{-1};

TEST_F(ExportedInternet, CancellingTheCallerWaitsUntilTheCallIsOver) {
  // The handler takes a second; the thread is cancelled while the call
  // waits for it. The call still returns its result, and the cancellation
  // takes effect afterwards, at the thread's own next cancellation point.
  g_result = -1;
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(
                   &thread, nullptr,
                   [](void*) -> void* {
                     g_result = VTLInternet(nullptr, "vtlslow:cancel");
                     pthread_testcancel();
                     return nullptr;
                   },
                   nullptr));
  usleep(300'000);
  pthread_cancel(thread);
  void* exit = nullptr;
  pthread_join(thread, &exit);
  EXPECT_EQ(PTHREAD_CANCELED, exit);
  EXPECT_EQ(1, g_result.load());
  EXPECT_EQ("vtlslow:cancel", Received());
}

}  // namespace
