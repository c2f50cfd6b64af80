// Test harness for the USB bridge: re-execution under umockdev's preload
// library, a TCP echo peer standing in for a module, and the bridge process.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace bridgetest {

// libusb reaches the emulated devices only through umockdev's preload
// library; the test re-executes itself under it before main runs.
inline const bool kPreloaded = [] {
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "umockdev") != nullptr) return true;
  setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
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
}();

// A TCP peer that echoes every byte back: the stand-in of a module.
class EchoPeer {
 public:
  EchoPeer() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    listen(listener, 4);
    worker = std::thread([this] { serve(); });
  }
  ~EchoPeer() {
    stopping = true;
    shutdown(listener, SHUT_RDWR);
    dropClient();
    worker.join();
    close(listener);
  }
  // Closes the current connection, as a module does when it re-enumerates.
  void dropClient() {
    int fd = client.exchange(-1);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
  }
  int port = 0;
  std::atomic<int> connections{0};

 private:
  void serve() {
    while (!stopping) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      ++connections;
      client = fd;
      char buffer[4096];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) send(fd, buffer, static_cast<size_t>(n), 0);
      close(fd);
    }
  }
  int listener;
  std::atomic<int> client{-1};
  std::atomic<bool> stopping{false};
  std::thread worker;
};

class Bridge {
 public:
  Bridge() {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
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
    std::string first = line();
    EXPECT_EQ(first.rfind("UMOCKDEV_DIR=", 0), 0u) << first;
    setenv("UMOCKDEV_DIR", first.substr(13).c_str(), 1);
  }
  ~Bridge() {
    send("quit");
    fclose(commands);
    fclose(replies);
    waitpid(pid, nullptr, 0);
  }
  std::string send(const std::string& command) {
    fprintf(commands, "%s\n", command.c_str());
    fflush(commands);
    return line();
  }

 private:
  std::string line() {
    char buffer[4096];
    if (fgets(buffer, sizeof buffer, replies) == nullptr) return "";
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  pid_t pid;
  FILE* commands;
  FILE* replies;
};

}  // namespace bridgetest
