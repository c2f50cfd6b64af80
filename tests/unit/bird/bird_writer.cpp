#include "tests/unit/bird/bird_writer.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "app/Log.h"

namespace testbird {

std::string TempDir() {
  static const std::string dir = [] {
    std::string pattern = std::string(::testing::TempDir()) + "/birdXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
  }();
  return dir;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RunWriter(const std::string& arguments) {
  const std::string command = "python3 " TV_SOURCE_ROOT "/sim/birdfile.py " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char chunk[4096];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  const int status = pclose(pipe);
  EXPECT_EQ(status, 0) << command;
  return output;
}

std::string WriteBird(const std::string& descriptionJson, const std::string& name, bool raw) {
  const std::string desc = TempDir() + "/" + name + ".json";
  const std::string out = TempDir() + "/" + name;
  WriteAll(desc, descriptionJson);
  RunWriter("build --description " + desc + " -o " + out + (raw ? " --raw" : ""));
  return out;
}

ExactBuffer RawPayload(const std::string& descriptionJson, const std::string& name) {
  std::vector<uint8_t> bytes = ReadAll(WriteBird(descriptionJson, name, true));
  ExactBuffer buffer{std::unique_ptr<uint8_t[]>(new uint8_t[bytes.size()]), static_cast<uint32_t>(bytes.size())};
  std::copy(bytes.begin(), bytes.end(), buffer.bytes.get());
  return buffer;
}

LogCapture::LogCapture(unsigned categories) : mask(categories) {
  stream = open_memstream(&buffer, &size);
  Log::SetOutput(stream);
  Log::ActivatePackage(mask);
}

LogCapture::~LogCapture() {
  Log::DeactivatePackage(mask);
  Log::SetOutput(nullptr);
  fclose(stream);
  free(buffer);
}

std::string LogCapture::Text() {
  fflush(stream);
  return std::string(buffer, size);
}

}  // namespace testbird
