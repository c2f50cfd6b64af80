// Replaces a file's whole contents so that a crash or a failed write never
// leaves it torn: write a temporary file beside it, flush it to disk, rename
// it over. On any failure the old file stays as it was.
//
// A writer holds an exclusive flock on its temporary file from creation
// until the rename, so the lock outlives only a live writer: every
// replacement first removes the temporary files beside it whose lock it can
// take (left by a process that was killed), and never one still being written.
#pragma once

#include <stddef.h>

#include <string>

struct aReplaceResult {
  enum Stage { OK, OPEN, WRITE, COMMIT } stage = OK;  // the step that failed
  int error = 0;                                      // its errno
  bool ok() const { return stage == OK; }
};

aReplaceResult aReplaceFile(const std::string& path, const void* data, size_t length);

// Removes the abandoned temporary files in a directory; best effort, silent.
void aReplaceFile_Sweep(const std::string& directory);

// Whether a directory entry's name is that of a temporary file.
bool aReplaceFile_IsTemporary(const char* name);
