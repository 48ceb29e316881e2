// Runs part of a test in a child process, so that it can change what only
// a process can change (limits, namespaces, signal dispositions) without
// touching the test runner.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace vtl::test {

// The child's exit status, or -1 when it did not exit (a signal killed it).
template <class F>
int InChild(F body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vtl::test
