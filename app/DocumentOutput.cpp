#include "app/DocumentOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

DocumentOutput::DocumentOutput() {
  fflush(stdout);
  document_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (document_fd >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
}

DocumentOutput::~DocumentOutput() {
  if (document_fd < 0) return;
  fflush(stdout);
  dup2(document_fd, STDOUT_FILENO);
  close(document_fd);
}

bool DocumentOutput::Write(const std::string& document) {
  fflush(stdout);
  const int fd = document_fd >= 0 ? document_fd : STDOUT_FILENO;
  size_t done = 0;
  while (done < document.size()) {
    ssize_t written = write(fd, document.data() + done, document.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}
