// The USB bridge from a program's side, without a test framework: the
// re-execution under the bus's preload libraries and the bridge process with
// its command channel. Tests and benchmarks use it alike.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace bridgetest {

// What a program that uses the emulated bus preloads: umockdev's library,
// and before it the bridge's own (beside the bridge), which lets requests on
// the modules' nodes reach the bridge's filesystem.
inline std::string busPreload(const std::string& bridge) {
  return bridge.substr(0, bridge.rfind('/') + 1) + "libtv_usbfs_preload.so libumockdev-preload.so.0";
}

// libusb reaches the emulated devices only through the preload libraries:
// the program re-executes itself under them. True once running there.
inline bool reexecUnderPreload() {
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "umockdev") != nullptr) return true;
  setenv("LD_PRELOAD", busPreload(USB_BRIDGE_BIN).c_str(), 1);
  setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = '\0';
  FILE* cmdline = fopen("/proc/self/cmdline", "r");
  static char args[65536];
  size_t length = cmdline ? fread(args, 1, sizeof args - 1, cmdline) : 0;
  if (cmdline) fclose(cmdline);
  static char* argv[256];
  int argc = 0;
  for (size_t i = 0; i < length && argc < 255; i += strlen(args + i) + 1) argv[argc++] = args + i;
  argv[argc] = nullptr;
  execv(self, argv);
  return false;
}

// The bridge process (USB_BRIDGE_BIN). Its testbed becomes this process's
// UMOCKDEV_DIR, so libusb here and in children sees its devices.
class BridgeProcess {
 public:
  BridgeProcess() {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      unsetenv("UMOCKDEV_DIR");
      setenv("ASAN_OPTIONS", "detect_leaks=0:verify_asan_link_order=0", 1);
      execl(USB_BRIDGE_BIN, USB_BRIDGE_BIN, nullptr);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    commands = fdopen(in[1], "w");
    replies = fdopen(out[0], "r");
    firstLine = line();
    if (started()) setenv("UMOCKDEV_DIR", firstLine.substr(13).c_str(), 1);
  }
  ~BridgeProcess() {
    if (commands == nullptr) return;
    send("quit");
    fclose(commands);
    fclose(replies);
    waitpid(pid, nullptr, 0);
  }
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  bool started() const { return firstLine.rfind("UMOCKDEV_DIR=", 0) == 0; }
  // What the bridge said first: its testbed, or why it did not start.
  const std::string& greeting() const { return firstLine; }
  std::string send(const std::string& command) {
    if (commands == nullptr) return "";
    fprintf(commands, "%s\n", command.c_str());
    fflush(commands);
    return line();
  }

 private:
  std::string line() {
    char buffer[4096];
    if (replies == nullptr || fgets(buffer, sizeof buffer, replies) == nullptr) return "";
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  pid_t pid = -1;
  FILE* commands = nullptr;
  FILE* replies = nullptr;
  std::string firstLine;
};

}  // namespace bridgetest
