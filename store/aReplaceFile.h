// Replaces a file's whole contents so that a crash or a failed write never
// leaves it torn: write a temporary file beside it, flush it to disk, rename
// it over. On any failure the old file stays as it was.
#pragma once

#include <stddef.h>

#include <string>

struct aReplaceResult {
  enum Stage { OK, OPEN, WRITE, COMMIT } stage = OK;  // the step that failed
  int error = 0;                                      // its errno
  bool ok() const { return stage == OK; }
};

aReplaceResult aReplaceFile(const std::string& path, const void* data, size_t length);
