// A display that shows nothing, for code under test that reports progress.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};
