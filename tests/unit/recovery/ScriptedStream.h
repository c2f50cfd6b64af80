// An in-memory aStream for driving the ISP client without a chip: records
// every byte written, echoes it back when asked, and lets a test answer each
// write with bytes of its own.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "link/core/aStream.h"

struct ScriptedStream {
  std::string written;                // every byte the client wrote
  std::deque<unsigned char> input;    // bytes the client will read next
  bool echo = false;                  // echo each written byte back
  int writes = 0;                     // number of write calls
  // Called after each write with that write's bytes; may push replies.
  std::function<void(ScriptedStream&, const std::string&)> onWrite;

  void push(const std::string& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
  // A new stream over this script; the script must outlive the stream.
  aStream* open();
};
