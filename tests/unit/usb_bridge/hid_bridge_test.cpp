// The HID side of the bridge as hidapi (hidraw back end) sees it.
#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <functional>
#include <vector>

#include "bridge_harness.h"
#include "tests/support/LoopbackListener.h"

namespace {

using namespace bridgetest;

// A HID stand-in: every output report is recorded and answered with the
// two input reports of a serial-download-mode device.
class ReportPeer {
 public:
  ReportPeer() : peer([this](int fd) { serve(fd); }) {}
  int port() const { return peer.port; }
  std::atomic<int> reportsSeen{0};
  std::atomic<int> lastLength{0};

 private:
  void serve(int fd) {
    std::string buffer;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<size_t>(n));
      while (buffer.size() >= 2) {
        size_t length = (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
        if (buffer.size() < 2 + length) break;
        buffer.erase(0, 2 + length);
        lastLength = static_cast<int>(length);
        ++reportsSeen;
        std::string answer("\x00\x05\x03\x12\x34\x56\x78", 7);
        answer += std::string("\x00\x41\x04\xF0\xF0\xF0\xF0", 7) + std::string(60, '\0');
        send(fd, answer.data(), answer.size(), 0);
      }
    }
  }
  struct Listener {
    explicit Listener(std::function<void(int)> serve_) : serve(std::move(serve_)) {
      listener = tvOpenLoopbackListener(1, &port);
      worker = std::thread([this] {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) return;
        client = fd;
        serve(fd);
        close(fd);
      });
    }
    ~Listener() {
      shutdown(listener, SHUT_RDWR);
      if (client >= 0) shutdown(client, SHUT_RDWR);
      worker.join();
      close(listener);
    }
    std::function<void(int)> serve;
    int listener;
    std::atomic<int> client{-1};
    uint16_t port = 0;
    std::thread worker;
  } peer;
};

TEST(HidBridge, HidapiWritesReportsAndReadsTheAnswer) {
  ASSERT_TRUE(kPreloaded);
  ReportPeer peer;
  Bridge bridge;
  ASSERT_EQ(bridge.send("hid NOSERIAL 1fc9 0130 127.0.0.1 " + std::to_string(peer.port())).rfind("ok", 0), 0u);
  ASSERT_EQ(hid_init(), 0);
  hid_device_info* found = hid_enumerate(0x1FC9, 0x0130);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->next, nullptr);
  hid_free_enumeration(found);
  hid_device* device = hid_open(0x1FC9, 0x0130, nullptr);
  ASSERT_NE(device, nullptr);
  std::string report(1025, '\0');
  report[0] = 2;
  EXPECT_EQ(hid_write(device, reinterpret_cast<unsigned char*>(report.data()), report.size()), 1025);
  unsigned char input[65];
  int total = 0;
  std::vector<int> ids;
  for (int n; (n = hid_read_timeout(device, input, sizeof input, 100)) > 0;) {
    total += n;
    ids.push_back(input[0]);
  }
  EXPECT_EQ(total, 70);
  EXPECT_EQ(ids, (std::vector<int>{3, 4}));
  EXPECT_EQ(peer.reportsSeen.load(), 1);
  EXPECT_EQ(peer.lastLength.load(), 1025);
  hid_close(device);
  hid_exit();
}

}  // namespace
