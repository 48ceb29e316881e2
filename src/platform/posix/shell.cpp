// Opening a target on a Linux desktop: xdg-open, run directly (no shell
// sees the target), its exit status read back.
//
// The opener is not started by the host's process itself but by a short-
// lived intermediate child. That child drops the host's signal handlers and
// descriptors, sets its own SIGCHLD to the default, so it can wait for
// xdg-open whatever the host did with SIGCHLD, and sends the outcome back
// through a pipe. Should xdg-open still be running when the wait ends (it
// may wait for the handler it started), the intermediate exits and xdg-open
// is left to init (or the nearest subreaper), which reaps it: no zombie
// stays with the host, and the host's signal handlers and dispositions are
// never touched. (A host that is a subreaper itself adopts it, and must
// reap it as it reaps every orphan it adopts; see the README.) xdg-open runs
// in a session of its own, so signals meant for the host's terminal or
// process group do not reach what it opens.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
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

// The program's path, looked up in PATH; empty when none. Only absolute
// directories count: an empty or relative entry would run whatever program
// of that name lies in the host's current directory.
std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    const std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
    const std::string candidate = dir + "/" + name;
    if (dir.empty() || dir[0] != '/') {
      if (end == std::string::npos) return {};
      start = end + 1;
      continue;
    }
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

// Every signal blocked, for as long as the object lives: the child made
// in between must not run the host's handlers before it has dropped them.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  sigset_t old_;
};

// The intermediate child. Only async-signal-safe calls from here on: the
// host may have had other threads when it forked. All signals are blocked
// on entry.
[[noreturn]] void RunIntermediate(const char* program, char* const argv[],
                                  posix_spawn_file_actions_t* actions,
                                  posix_spawnattr_t* attributes, int report) {
  // None of the host's handlers runs here, and SIGCHLD is the default so
  // that xdg-open can be waited for.
  struct sigaction deflt {};
  deflt.sa_handler = SIG_DFL;
  sigemptyset(&deflt.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current {};
    if (sig == SIGKILL || sig == SIGSTOP || sigaction(sig, nullptr, &current) != 0) continue;
    if (sig == SIGCHLD || current.sa_handler != SIG_IGN) sigaction(sig, &deflt, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  // Nothing of the host's stays open here but the report pipe, as 3.
  if (report != 3) {
    if (dup2(report, 3) < 0) _exit(1);
    report = 3;
  }
  if (close_range(4, ~0U, 0) != 0) {
    rlimit limit{};
    const rlim_t top =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? limit.rlim_cur : 65536;
    for (rlim_t fd = 4; fd < top; ++fd) close(static_cast<int>(fd));
  }

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

bool OpenWithDefaultHandler(void* /*window*/, const char* target, std::string& /*detail*/) {
  const std::string program = FindProgram("xdg-open");
  if (program.empty()) return false;
  // A target that begins with '-' would be taken for an option; as a
  // relative path it means the same file.
  std::string argument;
  if (target[0] == '-') argument = "./";
  argument += target;
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
      posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETSID) != 0)
    return false;

  Pipe report;
  if (!report.ok()) return false;
  pid_t intermediate = -1;
  {
    const AllSignalsBlocked blocked;
    // _Fork runs none of the host's fork handlers, which might wait for a
    // lock the host's caller holds.
    intermediate = _Fork();
    if (intermediate == 0)
      RunIntermediate(program.c_str(), argv.data(), actions.get(), attributes.get(),
                      report.writeEnd());
  }
  if (intermediate < 0) return false;
  report.CloseWriteEnd();

  char outcome = 0;
  bool ended = false;  // reported, or gone: either way it is exiting
  const long long deadline = NowMs() + kOpenerWaitMs + 5'000;
  while (!ended) {
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{report.readEnd(), POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) continue;  // the deadline is checked above
    const ssize_t got = read(report.readEnd(), &outcome, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got != 1) outcome = 0;
    ended = true;
  }
  // Only one that never reported nor ended can still be running; it must
  // not linger. (Once it has ended, a host that reaps its children may
  // already have let its process id go to another.)
  if (!ended) kill(intermediate, SIGKILL);
  // The intermediate exits right after it reports. If the host ignores
  // SIGCHLD, or its handler reaped it first, there is nothing to wait for;
  // and the wait is bounded, in case its process id has gone to another
  // child of the host by then.
  const long long reapBy = NowMs() + 2'000;
  for (;;) {
    const pid_t done = waitpid(intermediate, nullptr, ended ? WNOHANG : 0);
    if (done == intermediate || (done < 0 && errno != EINTR) || NowMs() >= reapBy) break;
    if (done == 0) {
      const timespec pause{0, 1'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  return outcome == kOpened || outcome == kStillRunning;
}

}  // namespace vtl::platform
