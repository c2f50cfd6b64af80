#include <gtest/gtest.h>

#include <pty.h>
#include <stdio.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "app/CLI_Display.h"
#include "app/Log.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override { ++progress; }
  void update_progress(double, const char*) override { ++progress; }
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { info = text; }
  void error_message(const char* text) override { error = text; }
  std::string info, error;
  int progress = 0;
};

TEST(DisplayMessages, LevelsAndCutAt2047) {
  RecordingDisplay display;
  std::string longText(3000, 'x');
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", longText.c_str());
  EXPECT_EQ(display.info.size(), 2047u);
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "code %d", 7);
  EXPECT_EQ(display.error, "code 7");
}

TEST(DisplayMessages, MuteSilencesMessagesButNotProgress) {
  RecordingDisplay display;
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
  display.update_progress(0.5, nullptr);
  EXPECT_TRUE(display.info.empty());
  EXPECT_TRUE(display.error.empty());
  EXPECT_EQ(display.progress, 1);
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "shown");
  EXPECT_EQ(display.info, "shown");
}

std::string logged(unsigned active, unsigned mask) {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  Log::SetOutput(stream);
  Log::DeactivatePackage(0xFFFFFFFF);
  Log::ActivatePackage(active);
  Log::log(mask, "line %u\n", mask);
  Log::SetOutput(nullptr);
  fclose(stream);
  std::string result(text, size);
  free(text);
  Log::DeactivatePackage(0xFFFFFFFF);
  return result;
}

TEST(DebugLog, MaskRules) {
  EXPECT_EQ(logged(0, 0), "line 0\n");
  EXPECT_EQ(logged(0, 0x100), "");
  EXPECT_EQ(logged(0x100, 0x100), "line 256\n");
  EXPECT_EQ(logged(0x10100, 0x100), "line 256\n");
  EXPECT_EQ(logged(0x10, 0x100), "");
}

// Runs `draw` in a child whose standard output is a terminal (or a pipe) and
// returns what it wrote.
std::string drawOn(bool terminal, const std::function<void(CLI_Display&)>& draw) {
  int fd = -1;
  pid_t pid;
  if (terminal) {
    pid = forkpty(&fd, nullptr, nullptr, nullptr);
  } else {
    int pipes[2];
    if (pipe(pipes) != 0) return "pipe failed";
    pid = fork();
    if (pid == 0) {
      dup2(pipes[1], STDOUT_FILENO);
      close(pipes[0]);
    }
    close(pipes[1]);
    fd = pipes[0];
  }
  if (pid == 0) {
    if (terminal) {
      struct termios raw;
      tcgetattr(STDOUT_FILENO, &raw);
      cfmakeraw(&raw);
      tcsetattr(STDOUT_FILENO, TCSANOW, &raw);
    }
    CLI_Display display;
    draw(display);
    _exit(0);
  }
  std::string out;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  close(fd);
  waitpid(pid, nullptr, 0);
  return out;
}

TEST(ConsoleProgress, FullBarOnTerminal) {
  std::string out = drawOn(true, [](CLI_Display& d) { d.update_progress(1.0, nullptr); });
  EXPECT_EQ(out, "\r[" + std::string(69, '=') + "> ] (100% ) ");
}

TEST(ConsoleProgress, LabelNarrowsTheBar) {
  std::string out = drawOn(true, [](CLI_Display& d) { d.update_progress(0.5, "abc"); });
  // width 69 - 3 - 4 = 62, filled 31.
  EXPECT_EQ(out, "\r (abc) [" + std::string(31, '=') + ">" + std::string(30, ' ') + "] ( 50% ) ");
}

TEST(ConsoleProgress, EndingBlanksEightyEightColumns) {
  std::string out = drawOn(true, [](CLI_Display& d) {
    d.display_progress(true);
    d.display_progress(false);
  });
  EXPECT_EQ(out, "\r" + std::string(88, ' ') + "\r");
}

TEST(ConsoleProgress, SpinnerCyclesAndResumes) {
  std::string out = drawOn(true, [](CLI_Display& d) {
    for (int i = 0; i < 9; ++i) d.update_spinner(true, nullptr);
    d.update_spinner(false, nullptr);
    d.update_spinner(true, "Downloading");
  });
  std::string expected;
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
  for (const char* f : frames) expected += std::string("\r ") + f + "      \r";
  expected += "\r" + std::string(88, ' ') + "\r";
  expected += "\r (Downloading) ..      \r";
  EXPECT_EQ(out, expected);
}

TEST(ConsoleProgress, NothingWhenRedirected) {
  std::string out = drawOn(false, [](CLI_Display& d) {
    d.update_progress(0.3, nullptr);
    d.update_spinner(true, "x");
    d.update_spinner(false, "x");
    d.display_progress(false);
    d.info_message("still printed");
  });
  EXPECT_EQ(out, "still printed\n");
}

}  // namespace
