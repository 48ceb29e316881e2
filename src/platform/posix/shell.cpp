// Opening a target on a Linux desktop: xdg-open, run directly (no shell
// sees the target), its exit status read back.
//
// The opener is not started by the host's process itself but by a short-
// lived intermediate child. That child sets its own SIGCHLD to the default,
// so it can wait for xdg-open whatever the host did with SIGCHLD, and sends
// the outcome back through a pipe. Should xdg-open still be running when the
// wait ends (it may wait for the handler it started), the intermediate exits
// and xdg-open is left to init, which reaps it: no zombie stays behind, and
// the host's signal handlers and dispositions are never touched.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

extern char** environ;

namespace vtl::platform {
namespace {

// How long xdg-open is waited for. It returns at once on most desktops; in
// its generic mode it waits for the handler, which is then taken to be
// running, so the request counts as taken.
constexpr int kOpenerWaitMs = 10'000;

// What the intermediate reports.
constexpr char kOpened = '1';
constexpr char kRefused = '0';
constexpr char kStillRunning = 'r';

class FileActions {
 public:
  FileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~FileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  bool ok_ = false;
};

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    CloseWriteEnd();
    if (fds_[0] >= 0) close(fds_[0]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return fds_[0] >= 0; }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void CloseWriteEnd() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
};

long long NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

// The program's path, looked up in PATH as a shell would; empty when none.
std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

// The intermediate child. Only async-signal-safe calls from here on: the
// host may have had other threads when it forked.
[[noreturn]] void RunIntermediate(const char* program, char* const argv[],
                                  posix_spawn_file_actions_t* actions,
                                  posix_spawnattr_t* attributes, int report) {
  struct sigaction deflt {};
  deflt.sa_handler = SIG_DFL;
  sigemptyset(&deflt.sa_mask);
  sigaction(SIGCHLD, &deflt, nullptr);

  char outcome = kRefused;
  pid_t opener = -1;
  if (posix_spawn(&opener, program, actions, attributes, argv, environ) == 0) {
    const long long deadline = NowMs() + kOpenerWaitMs;
    outcome = kStillRunning;
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(opener, &status, WNOHANG);
      if (done == opener) {
        outcome = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kOpened : kRefused;
        break;
      }
      if (done < 0 && errno != EINTR) {
        outcome = kRefused;
        break;
      }
      if (NowMs() >= deadline) break;
      const timespec pause{0, 10'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  while (write(report, &outcome, 1) < 0 && errno == EINTR) {
  }
  _exit(0);
}

}  // namespace

bool OpenWithDefaultHandler(void* /*window*/, const char* target) {
  const std::string program = FindProgram("xdg-open");
  if (program.empty()) return false;
  // A target that begins with '-' would be taken for an option; as a
  // relative path it means the same file.
  std::string argument = target[0] == '-' ? std::string("./") + target : std::string(target);
  std::vector<char*> argv = {const_cast<char*>("xdg-open"), argument.data(), nullptr};

  // The opener reads nothing, writes nowhere the host can see, and gets
  // none of the host's descriptors, signal mask or handlers.
  FileActions actions;
  SpawnAttributes attributes;
  if (!actions.ok() || !attributes.ok()) return false;
  if (posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), 1, 2) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(actions.get(), 3) != 0)
    return false;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  if (posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
      posix_spawnattr_setsigdefault(attributes.get(), &all) != 0 ||
      posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) !=
          0)
    return false;

  Pipe report;
  if (!report.ok()) return false;
  const pid_t intermediate = fork();
  if (intermediate < 0) return false;
  if (intermediate == 0)
    RunIntermediate(program.c_str(), argv.data(), actions.get(), attributes.get(),
                    report.writeEnd());
  report.CloseWriteEnd();

  char outcome = 0;
  const long long deadline = NowMs() + kOpenerWaitMs + 5'000;
  for (;;) {
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{report.readEnd(), POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const ssize_t got = read(report.readEnd(), &outcome, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) outcome = 0;
    break;
  }
  if (outcome == 0) kill(intermediate, SIGKILL);  // it never reported: it must not linger
  // The intermediate exits right after it reports. If the host ignores
  // SIGCHLD, or its handler reaped it first, there is nothing to wait for.
  while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }
  return outcome == kOpened || outcome == kStillRunning;
}

}  // namespace vtl::platform
