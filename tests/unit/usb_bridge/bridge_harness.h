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

#include "bridge_process.h"
#include "tests/support/LoopbackListener.h"

namespace bridgetest {

// Tests re-execute themselves under the preload library before main runs.
inline const bool kPreloaded = reexecUnderPreload();

// A TCP peer that echoes every byte back: the stand-in of a module.
class EchoPeer {
 public:
  EchoPeer() {
    listener = tvOpenLoopbackListener(4, &port);
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
  uint16_t port = 0;
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

// The bridge of one test; a bridge that did not start fails the test.
class Bridge : public BridgeProcess {
 public:
  Bridge() { EXPECT_TRUE(started()) << greeting(); }
};

}  // namespace bridgetest
