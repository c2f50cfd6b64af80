// Test side of the Bird files: every file is produced by the independent
// writer in sim/birdfile.py, never by the code under test.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

namespace testbird {

// A fresh directory for this test process.
std::string TempDir();
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);

// Runs "birdfile.py build" on a JSON description and returns the output path.
// raw: write the decompressed payload alone.
std::string WriteBird(const std::string& descriptionJson, const std::string& name, bool raw = false);
// Runs the writer with the given arguments, returning its standard output.
std::string RunWriter(const std::string& arguments);

// An exact-size heap copy, so that AddressSanitizer sees any read past it.
struct ExactBuffer {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t size = 0;
};
ExactBuffer RawPayload(const std::string& descriptionJson, const std::string& name);

// Captures the debug log lines of the given categories while alive.
class LogCapture {
 public:
  explicit LogCapture(unsigned mask);
  ~LogCapture();
  std::string Text();

 private:
  FILE* stream = nullptr;
  char* buffer = nullptr;
  size_t size = 0;
  unsigned mask;
};

}  // namespace testbird
