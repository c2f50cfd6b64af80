#include "app/CLI_Display.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 69;
constexpr int kBlankWidth = 88;
const char kBar[] = "=====================================================================";
static_assert(sizeof kBar == kBarWidth + 1);

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
uint8_t gSpinnerFrame = 0;

bool onTerminal() { return isatty(STDOUT_FILENO) == 1; }

void blankLine() { printf("\r%*s\r", kBlankWidth, " "); }

}  // namespace

CLI_Display::CLI_Display() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
  if (!show && !machine_output && onTerminal()) blankLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (machine_output || !onTerminal()) return;
  int width = kBarWidth;
  if (label != nullptr) width = kBarWidth - static_cast<int>(strlen(label)) - 4;
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  if (label == nullptr) {
    printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  } else {
    printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  }
}

void CLI_Display::update_spinner(bool on, const char* label) {
  if (machine_output || !onTerminal()) return;
  if (!on) {
    blankLine();
    return;
  }
  const char* frame = kSpinnerFrames[gSpinnerFrame];
  gSpinnerFrame = static_cast<uint8_t>((gSpinnerFrame + 1) % 8);
  if (label == nullptr) {
    printf("\r %s      \r", frame);
  } else {
    printf("\r (%s) %s      \r", label, frame);
  }
}

void CLI_Display::info_message(const char* text) {
  if (!machine_output) printf("%s\n", text);
}

void CLI_Display::error_message(const char* text) {
  error_texts.emplace_back(text);
  fprintf(stderr, "%s\n", text);
}
