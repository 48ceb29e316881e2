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
#include <new>
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
// How much longer the intermediate is given to report.
constexpr int kReportGraceMs = 5'000;

// What the intermediate reports: a kind, then a number that goes with it
// (the exit status, the signal, the error number), in native byte order.
constexpr char kOpened = '1';
constexpr char kExited = 'x';
constexpr char kKilled = 'k';
constexpr char kStillRunning = 'r';
constexpr char kNotStarted = 'e';
constexpr char kNotWaited = 'w';
constexpr size_t kReportSize = 1 + sizeof(int);

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

  char outcome = kNotStarted;
  pid_t opener = -1;
  int value = posix_spawn(&opener, program, actions, attributes, argv, environ);
  if (value == 0) {
    const long long deadline = NowMs() + kOpenerWaitMs;
    outcome = kStillRunning;
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(opener, &status, WNOHANG);
      if (done == opener) {
        if (WIFEXITED(status)) {
          value = WEXITSTATUS(status);
          outcome = value == 0 ? kOpened : kExited;
        } else {
          value = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
          outcome = kKilled;
        }
        break;
      }
      if (done < 0 && errno != EINTR) {
        value = errno;
        outcome = kNotWaited;
        break;
      }
      if (NowMs() >= deadline) break;
      const timespec pause{0, 10'000'000};
      nanosleep(&pause, nullptr);
    }
  }
  // One write of less than PIPE_BUF bytes: it arrives whole or not at all.
  char message[kReportSize];
  message[0] = outcome;
  std::memcpy(message + 1, &value, sizeof value);
  while (write(report, message, sizeof message) < 0 && errno == EINTR) {
  }
  _exit(0);
}

// Our own words for the few errors that starting a program meets: strerror's
// follow the host's locale, and the detail is stable English ASCII.
std::string ErrorWords(int error) {
  switch (error) {
    case ENOENT:
      return "no such file";
    case EACCES:
      return "permission denied";
    case ENOEXEC:
      return "not an executable";
    case ENOMEM:
      return "out of memory";
    case EAGAIN:
      return "too many processes";
    case EMFILE:
      return "too many open files";
    case ENFILE:
      return "too many open files in the system";
    default:
      return "error " + std::to_string(error);
  }
}

// What xdg-open's exit status means, as its manual gives it.
std::string ExitWords(int status) {
  std::string words = "xdg-open exited with status " + std::to_string(status);
  switch (status) {
    case 1:
      return words + ": error in command line syntax";
    case 2:
      return words + ": one of the files passed on the command line did not exist";
    case 3:
      // What the generic mode exits with when nothing can open the target.
      return words + ": a required tool could not be found (no application for this type?)";
    case 4:
      return words + ": the action failed (typically no application is associated)";
    default:
      return words;
  }
}

// What the intermediate's report says, for the detail.
std::string ReportWords(char kind, int value) {
  switch (kind) {
    case kOpened:
      return "opened with xdg-open";
    case kExited:
      return ExitWords(value);
    case kKilled:
      return "xdg-open was ended by signal " + std::to_string(value);
    case kStillRunning:
      return "xdg-open still running after " + std::to_string(kOpenerWaitMs / 1000) +
             " s: the handler is taken to be running";
    case kNotStarted:
      return "xdg-open could not be started: " + ErrorWords(value);
    case kNotWaited:
      return "xdg-open could not be waited for: " + ErrorWords(value);
    default:
      return "the process that starts xdg-open ended without saying how it went";
  }
}

}  // namespace

bool OpenWithDefaultHandler(void* /*window*/, const char* target, std::string& detail) {
  const std::string program = FindProgram("xdg-open");
  if (program.empty()) {
    detail = "xdg-open is not installed (xdg-utils)";
    return false;
  }
  const std::string notStarted = "xdg-open could not be started: ";
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
  if (!actions.ok() || !attributes.ok() ||
      posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), 1, 2) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(actions.get(), 3) != 0) {
    detail = notStarted + "its descriptors could not be arranged";
    return false;
  }
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  if (posix_spawnattr_setsigmask(attributes.get(), &none) != 0 ||
      posix_spawnattr_setsigdefault(attributes.get(), &all) != 0 ||
      posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                     POSIX_SPAWN_SETSID) != 0) {
    detail = notStarted + "its signals could not be arranged";
    return false;
  }

  Pipe report;
  if (!report.ok()) {
    detail = notStarted + "no pipe: " + ErrorWords(errno);
    return false;
  }
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
  if (intermediate < 0) {
    detail = notStarted + "no process: " + ErrorWords(errno);
    return false;
  }
  report.CloseWriteEnd();

  char message[kReportSize] = {};
  size_t got = 0;
  bool ended = false;  // reported, or gone: either way it is exiting
  const long long deadline = NowMs() + kOpenerWaitMs + kReportGraceMs;
  while (!ended) {
    const long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{report.readEnd(), POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) continue;  // the deadline is checked above
    const ssize_t r = read(report.readEnd(), message + got, sizeof message - got);
    if (r < 0 && errno == EINTR) continue;
    if (r > 0) got += static_cast<size_t>(r);
    if (r <= 0 || got == sizeof message) ended = true;
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
  const char outcome = got == sizeof message ? message[0] : 0;
  int value = 0;
  std::memcpy(&value, message + 1, sizeof value);
  // The request has been handed over or not by now: no memory for its words
  // must not change which.
  try {
    if (ended)
      detail = ReportWords(outcome, value);
    else
      detail = "the process that starts xdg-open did not report within " +
               std::to_string((kOpenerWaitMs + kReportGraceMs) / 1000) + " s";
  } catch (const std::bad_alloc&) {
    detail.clear();
  }
  return outcome == kOpened || outcome == kStillRunning;
}

}  // namespace vtl::platform
