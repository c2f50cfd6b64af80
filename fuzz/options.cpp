// The command line: argv words taken from the input (cut at zero bytes),
// through the option parser and the parameter readers and checks. Property:
// a serial number or number the readers accept reads back from its own text.
#include <stdio.h>
#include <string.h>

#include <memory>

#include "FuzzSupport.h"
#include "app/Parameters.h"

namespace {

// Messages are formatted (the fuzzed words reach the format) but not shown.
class SilentDisplay : public CLI_Display {
 public:
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

void checkReaders(const char* word) {
  char* end = nullptr;
  const uint32_t hex = _get_hex_arg(word, &end);
  if (hex != 0) {
    char text[16];
    snprintf(text, sizeof text, "%X", hex);
    FUZZ_CHECK(_get_hex_arg(text, &end) == hex);
  }
  const uint32_t number = _get_int_arg(word, &end);
  if (number != 0) {
    FUZZ_CHECK(_get_int_arg(std::to_string(number).c_str(), &end) == number);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::vector<std::string> pieces = fuzz::split(data, size, '\0');
  // Each word in its own allocation, so reading past one is seen.
  std::vector<std::unique_ptr<char[]>> words;
  std::vector<char*> argv;
  words.emplace_back(new char[8]);
  memcpy(words.back().get(), "Updater", 8);
  for (const std::string& piece : pieces) {
    words.emplace_back(new char[piece.size() + 1]);
    memcpy(words.back().get(), piece.c_str(), piece.size() + 1);
  }
  for (auto& word : words) argv.push_back(word.get());
  argv.push_back(nullptr);

  static SilentDisplay display;
  Parameters params;
  const int status = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
  FUZZ_CHECK(status == 0 || status == 1);
  for (size_t i = 1; i < words.size(); ++i) checkReaders(argv[i]);
  _release_params(&params);
  return 0;
}
