#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/core/aStream.h"

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal: the stream opens the slave, the test plays the device
// on the master.
struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    char name[128];
    openpty(&master, &slave, name, nullptr, nullptr);
    path = name;
  }
  ~Pty() {
    close(master);
    close(slave);
  }
  termios settings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
};

TEST(SerialStream, BaudIndexPicksTheSpeedAndEightIsB0) {
  const speed_t expected[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400, B0};
  for (int index = 0; index <= 8; ++index) {
    Pty pty;
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), index, false, 0, 0, &stream), aErrNone) << index;
    termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), expected[index]) << index;
    EXPECT_EQ(cfgetispeed(&t), expected[index]) << index;
    aStream_Destroy(&stream);
  }
}

TEST(SerialStream, RawSettingsAndFraming) {
  Pty pty;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, true, 1, 1, &stream), aErrNone);
  termios t = pty.settings();
  EXPECT_EQ(t.c_lflag, 0u);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  // (A pty keeps CS8 and no parity whatever is asked; stop bits it keeps.)
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  aStream_Destroy(&stream);
  // Closing restores what was found at open (the pty's own line discipline).
  EXPECT_NE(pty.settings().c_lflag, 0u);
}

// Serial reads answer at once (the ISP client counts its attempts on this).
TEST(SerialStream, ReadsAnswerAtOnceAndCarryBytesBothWays) {
  Pty pty;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &stream), aErrNone);
  uint8_t byte;
  auto start = Clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
  ASSERT_EQ(write(pty.master, "\x04\x00", 2), 2);
  uint8_t two[2] = {9, 9};
  for (int i = 0; i < 1000 && aStream_Read(stream, two, 2) != aErrNone; ++i) usleep(1000);
  EXPECT_EQ(two[0], 4);
  EXPECT_EQ(two[1], 0);
  ASSERT_EQ(aStream_Write(stream, reinterpret_cast<const uint8_t*>("\xAD\x00"), 2), aErrNone);
  char got[2];
  ASSERT_EQ(read(pty.master, got, 2), 2);
  EXPECT_EQ(static_cast<uint8_t>(got[0]), 0xAD);
  // The wait procedure lets an idle reader sleep until a byte comes.
  start = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(stream, 80), aErrNone);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(70));
  aStream_Destroy(&stream);
}

// A stop interrupts the idle reader: the wait ends however long it was
// asked to be, and an interrupt that comes first ends the next wait.
TEST(SerialStream, InterruptEndsTheReadersWait) {
  constexpr uint32_t kForever = 0x7FFFFFFFu;
  Pty pty;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), 6, false, 0, 0, &stream), aErrNone);
  std::thread reader([stream] { EXPECT_EQ(aStream_WaitReadable(stream, kForever), aErrNone); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(aStream_Interrupt(stream), aErrNone);
  reader.join();
  EXPECT_EQ(aStream_Interrupt(stream), aErrNone);
  EXPECT_EQ(aStream_WaitReadable(stream, kForever), aErrNone);
  EXPECT_FALSE(aStream_IsLost(stream));  // a serial line cannot tell
  aStream_Destroy(&stream);
  EXPECT_EQ(aStream_Interrupt(stream), aErrParam);
}

TEST(SerialStream, ArgumentAndOpenFailures) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateSerial("/dev/does-not-exist-tv", 6, false, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 2, 0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 2, &stream), aErrParam);
  // Not a terminal: reading its settings fails.
  EXPECT_EQ(aStream_CreateSerial("/dev/null", 6, false, 0, 0, &stream), aErrIO);
  EXPECT_EQ(stream, nullptr);
}

}  // namespace
