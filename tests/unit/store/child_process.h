// Runs a check in a forked child, so that it can drop root privileges or
// lower resource limits without touching the test process.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace teststore {

constexpr uid_t kNobody = 65534;

// The child's exit code (0 = the check held), or -1 when it died.
inline int RunInChild(const std::function<int()>& check, bool unprivileged) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (unprivileged && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(90);
    }
    _exit(check());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace teststore
