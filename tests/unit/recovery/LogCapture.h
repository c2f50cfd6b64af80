// Captures the debug log of the given categories for one test.
#pragma once

#include <stdio.h>

#include <string>

#include "app/Log.h"

class LogCapture {
 public:
  explicit LogCapture(unsigned mask) : m_mask(mask), m_file(tmpfile()) {
    Log::SetOutput(m_file);
    Log::ActivatePackage(mask);
  }
  ~LogCapture() {
    Log::DeactivatePackage(m_mask);
    Log::SetOutput(nullptr);
    if (m_file != nullptr) fclose(m_file);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::string out;
    if (m_file == nullptr) return out;
    fflush(m_file);
    long end = ftell(m_file);
    rewind(m_file);
    out.resize(static_cast<size_t>(end));
    size_t got = fread(out.data(), 1, out.size(), m_file);
    out.resize(got);
    fseek(m_file, 0, SEEK_END);
    return out;
  }

 private:
  unsigned m_mask;
  FILE* m_file;
};
