// The console form of the display: messages to stdout/stderr, progress bar and
// spinner on a terminal only. For --json it draws nothing on standard output
// (the document goes there) and keeps the error messages for the document.
#pragma once

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
 public:
  CLI_Display();

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool on, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Information, progress and spinners are not drawn; errors still go to
  // standard error as text.
  void set_machine_output(bool on) { machine_output = on; }
  bool machine_output_set() const { return machine_output; }
  // Every error message of the run, in order.
  const std::vector<std::string>& errors() const { return error_texts; }

 private:
  bool machine_output = false;
  std::vector<std::string> error_texts;
};
