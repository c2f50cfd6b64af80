#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "link/core/aStream.h"
#include "tests/support/LoopbackListener.h"

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// A loopback listener standing in for a module's TCP port.
struct Listener {
  uint16_t port = 0;
  int fd = tvOpenLoopbackListener(4, &port);
  ~Listener() { close(fd); }
  int accept() { return ::accept(fd, nullptr, nullptr); }
};

void hardClose(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

TEST(SocketStream, RefusedConnectionGivesNoStream) {
  uint16_t port;
  {
    Listener gone;
    port = gone.port;
  }
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, nullptr), aErrParam);
}

TEST(SocketStream, BytesBothWays) {
  Listener listener;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port, &stream), aErrNone);
  int peer = listener.accept();
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("ping"), 4), aErrNone);
  char got[4];
  ASSERT_EQ(recv(peer, got, 4, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(got, 4), "ping");
  ASSERT_EQ(send(peer, "pong", 4, 0), 4);
  uint8_t buffer[4];
  ASSERT_EQ(aStream_Read(stream, buffer, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "pong");
  close(peer);
  aStream_Destroy(&stream);
}

// An idle reader sleeps in the stream instead of spinning (each empty read
// waits, at little CPU), and a byte that arrives meanwhile is handed out.
// Wall-clock ceilings would fail on a busy machine: the ctest time-out is the
// bound, and how soon a byte is handed out is for a benchmark to measure.
TEST(SocketStream, IdleReadWaitsBoundedAndCheaply) {
  Listener listener;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port, &stream), aErrNone);
  int peer = listener.accept();
  uint8_t byte;
  double cpu0 = threadCpuMs();
  auto start = Clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(400));
  EXPECT_LT(threadCpuMs() - cpu0, 50.0);
  std::thread later([peer] { send(peer, "!", 1, 0); });
  aErr read;
  while ((read = aStream_Read(stream, &byte, 1)) == aErrNotReady) {
  }
  ASSERT_EQ(read, aErrNone);
  EXPECT_EQ(byte, '!');
  later.join();
  close(peer);
  aStream_Destroy(&stream);
}

TEST(SocketStream, PeerClosingMakesReadsNotReady) {
  Listener listener;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port, &stream), aErrNone);
  int peer = listener.accept();
  send(peer, "z", 1, 0);
  close(peer);
  uint8_t byte = 0;
  ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);  // what was sent is still delivered
  EXPECT_EQ(byte, 'z');
  EXPECT_FALSE(aStream_IsLost(stream));
  double cpu0 = threadCpuMs();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_LT(threadCpuMs() - cpu0, 50.0);  // no spinning on the closed end
  EXPECT_TRUE(aStream_IsLost(stream));    // the link reports itself dropped
  aStream_Destroy(&stream);
}

TEST(SocketStream, WriteReconnectsAfterTheConnectionWasReset) {
  Listener listener;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(htonl(INADDR_LOOPBACK), listener.port, &stream), aErrNone);
  hardClose(listener.accept());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("again"), 5), aErrNone);
  int second = listener.accept();
  char got[5];
  ASSERT_EQ(recv(second, got, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(got, 5), "again");
  EXPECT_FALSE(aStream_IsLost(stream));  // a new connection is not a lost one
  close(second);
  aStream_Destroy(&stream);
}

}  // namespace
