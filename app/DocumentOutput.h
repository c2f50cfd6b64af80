// Standard output kept for the --json document alone: while one lives, what
// anything else writes to standard output (a library's own printf) goes to
// standard error instead, so the document is all a script reads there.
#pragma once

#include <string>

class DocumentOutput {
 public:
  DocumentOutput();
  ~DocumentOutput();
  DocumentOutput(const DocumentOutput&) = delete;
  DocumentOutput& operator=(const DocumentOutput&) = delete;

  // Writes the whole document to the real standard output; false when it
  // could not (a closed pipe, a full disk).
  bool Write(const std::string& document);

 private:
  int document_fd = -1;
};
