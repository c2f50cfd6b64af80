// Rules of the ISP client that need no chip: argument checks that must not
// touch the port, the tables, uuencoding, and the retry arithmetic, driven
// through a scripted stream.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "LogCapture.h"
#include "ScriptedStream.h"
#include "recovery/NXPSerialClass.h"

namespace {

class ScriptedClient : public ::testing::Test {
 protected:
  void SetUp() override { nxp.Attach(script.open(), 115200); }
  ScriptedStream script;
  NXPSerialClass nxp;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

}  // namespace

TEST(NXPSerialBaud, PicksTheSmallestTableRateAtLeastTheRequest) {
  EXPECT_EQ(NXPSerialClass::BAUD_TABLE[NXPSerialClass::BaudIndex(100000)], 115200);
  EXPECT_EQ(NXPSerialClass::BAUD_TABLE[NXPSerialClass::BaudIndex(300000)], 9600);
  EXPECT_EQ(NXPSerialClass::BaudIndex(0), 0);
  EXPECT_EQ(NXPSerialClass::BaudIndex(2400), 0);
  EXPECT_EQ(NXPSerialClass::BaudIndex(2401), 1);
  EXPECT_EQ(NXPSerialClass::BaudIndex(230400), 7);
  EXPECT_EQ(NXPSerialClass::BaudIndex(230401), 2);
}

TEST(NXPSerialBaud, ConnectLogsTheChoiceAndPassesTheOpenErrorThrough) {
  LogCapture log(DEBUG_NXPSerial);
  NXPSerialClass nxp;
  EXPECT_EQ(nxp.Connect("/nonexistent/tty", 100000), aErrNotFound);
  EXPECT_FALSE(nxp.Connect("/nonexistent/tty", 100000) == aErrNone);
  EXPECT_FALSE(nxp.Connected());
  EXPECT_EQ(nxp.BaudRate(), 115200);
  EXPECT_STREQ(nxp.PortName(), "/nonexistent/tty");
  EXPECT_NE(log.text().find("Creating serial connection: [/nonexistent/tty] stream baud:6(115200)\n"),
            std::string::npos);
  EXPECT_NE(log.text().find("Error Creating Serial [/nonexistent/tty] ==> aErrNotFound"), std::string::npos);
}

TEST(NXPSerialTables, SectorBoundaries) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x0), 0);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFF), 0);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x1000), 1);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFF), 15);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x10000), 16);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x17FFF), 16);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x18000), 17);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x7FFFF), 29);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0x80000), 30);
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(0xFFFFFFFF), 30);
}

TEST(NXPSerialTables, CopyLengthRoundsUpToACopySize) {
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(NXPSerialClass::CopyLength(1), 256);
  EXPECT_EQ(NXPSerialClass::CopyLength(256), 256);
  EXPECT_EQ(NXPSerialClass::CopyLength(257), 512);
  EXPECT_EQ(NXPSerialClass::CopyLength(1000), 1024);
  EXPECT_EQ(NXPSerialClass::CopyLength(1025), 4096);
  EXPECT_EQ(NXPSerialClass::CopyLength(4096), 4096);
  EXPECT_EQ(NXPSerialClass::CopyLength(5000), 5000);
  EXPECT_EQ(log.text(), "Copy length is too large. 5000 > 4096.\n");
}

TEST(NXPSerialTables, ErrorTextsByCodeWithAutomaticBase) {
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0"), "CMD_SUCCESS");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("9\r\n"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("010"), "SECTOR_NOT_BLANK");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("20"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("21"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
}

TEST(NXPSerialTables, TimingAndSum) {
  EXPECT_EQ(WAIT_TIME_MS(14, 115200), 2);
  EXPECT_EQ(WAIT_TIME_MS(14, 9600), 16);
  EXPECT_EQ(WAIT_TIME_MS(0, 2400), 8);
  const uint8_t bytes[] = {0xFF, 0xFF, 0x01};
  EXPECT_EQ(NXPSerialClass::sum(bytes, 3), 511u);
}

TEST(NXPSerialUuencode, ZeroBytesIsOneBacktick) {
  char out[8];
  EXPECT_EQ(NXPSerialClass::uuencode(out, nullptr, 0), 0);
  EXPECT_STREQ(out, "`");
}

TEST(NXPSerialUuencode, ThreeZeroBytesUseBackticksNotBlanks) {
  const uint8_t zeros[3] = {0, 0, 0};
  char out[8];
  EXPECT_EQ(NXPSerialClass::uuencode(out, zeros, 3), 3);
  EXPECT_STREQ(out, "#````");
}

TEST(NXPSerialUuencode, KnownTextAndPartialGroup) {
  char out[16];
  NXPSerialClass::uuencode(out, reinterpret_cast<const uint8_t*>("Cat"), 3);
  EXPECT_STREQ(out, "#0V%T");
  const uint8_t one[1] = {0xFF};
  NXPSerialClass::uuencode(out, one, 1);
  EXPECT_STREQ(out, "!_P``");
}

TEST(NXPSerialUuencode, RoundTripOfAFullLine) {
  std::vector<uint8_t> data = pattern(45);
  char line[80];
  NXPSerialClass::uuencode(line, data.data(), 45);
  EXPECT_EQ(line[0], 'M');
  EXPECT_EQ(strlen(line), 61u);
  uint8_t back[45] = {};
  EXPECT_EQ(NXPSerialClass::uudecode(back, 45, line), 45);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 45), data);
}

TEST(NXPSerialUuencode, DecodeRefusesASmallBufferAndReportsATruncatedLine) {
  std::vector<uint8_t> data = pattern(10);
  char line[32];
  NXPSerialClass::uuencode(line, data.data(), 10);
  uint8_t back[16] = {};
  EXPECT_EQ(NXPSerialClass::uudecode(back, 9, line), 0);
  LogCapture log(DEBUG_NXPSerial);
  line[6] = '\0';  // only one group of four characters left
  EXPECT_EQ(NXPSerialClass::uudecode(back, 16, line), 3);  // what was decoded, not what was announced
  EXPECT_EQ(log.text(), "Error buffer overrun\n");
  EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(data.begin(), data.begin() + 3));
  // An empty line, or bare line ends, decode nothing and read nothing past
  // their end.
  EXPECT_EQ(NXPSerialClass::uudecode(back, 16, ""), 0);
  EXPECT_EQ(NXPSerialClass::uudecode(back, 16, "\r\n"), 0);
  EXPECT_EQ(NXPSerialClass::uudecode(back, 16, "-\r\n"), 0);
}

TEST_F(ScriptedClient, RangesThatEndBeforeTheyStartWriteNothing) {
  EXPECT_EQ(nxp.Prepare(5, 3), aErrParam);
  EXPECT_EQ(nxp.Erase(5, 3), aErrParam);
  EXPECT_EQ(script.writes, 0);
}

TEST_F(ScriptedClient, TransferCountsMustBeNonZeroMultiplesOfFour) {
  uint8_t buffer[8] = {};
  EXPECT_EQ(nxp.Write(0x10001000, 0, buffer), aErrParam);
  EXPECT_EQ(nxp.Write(0x10001000, 6, buffer), aErrParam);
  EXPECT_EQ(nxp.Read(0x10001000, 0, buffer), aErrParam);
  EXPECT_EQ(nxp.Read(0x10001000, 6, buffer), aErrParam);
  EXPECT_EQ(script.writes, 0);
}

TEST_F(ScriptedClient, CopyToFlashChecksLengthAndAlignmentBeforeSending) {
  EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_EQ(nxp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(script.writes, 0);
  script.echo = true;
  script.onWrite = [](ScriptedStream& s, const std::string&) { s.push("\n0\r\n"); };
  EXPECT_EQ(nxp.CopyToFlash(0x1100, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
  EXPECT_EQ(script.written, "C 4352 268439552 4096\r\n");
}

// The chip echoes until "A 0" and answers every checksum with `reply`.
class ChecksumReplies : public ScriptedClient {
 protected:
  void answerWith(std::string reply) {
    script.echo = true;
    script.onWrite = [this, reply](ScriptedStream& s, const std::string& chunk) {
      if (chunk == "A 0\r\n") {
        s.echo = false;
        s.push("0\r\n");
      } else if (chunk.rfind("W ", 0) == 0) {
        s.push("0\r\n");
      } else if (chunk.size() > 2 && chunk.compare(chunk.size() - 2, 2, "\r\n") == 0) {
        checksums.push_back(static_cast<uint32_t>(strtoul(chunk.c_str(), nullptr, 10)));
        s.push(reply);
      }
    };
  }
  std::vector<uint32_t> checksums;
};

TEST_F(ChecksumReplies, ThreeResendsInARowGiveTimeout) {
  answerWith("RESEND\r\n");
  LogCapture log(DEBUG_NXPSerial);
  std::vector<uint8_t> data = pattern(64);
  EXPECT_EQ(nxp.Write(0x10001000, 64, data.data()), aErrTimeout);
  EXPECT_EQ(checksums.size(), 3u);
  EXPECT_NE(log.text().find("Write() exceeded retries\n"), std::string::npos);
}

TEST_F(ChecksumReplies, ThreeResendsGiveTimeoutWithEchoOffToo) {
  answerWith("RESEND\r\n");
  ASSERT_EQ(nxp.SetEcho(false), aErrNone);
  EXPECT_FALSE(nxp.Echo());
  std::vector<uint8_t> data = pattern(8);
  EXPECT_EQ(nxp.Write(0x10001000, 8, data.data()), aErrTimeout);
  EXPECT_EQ(checksums, (std::vector<uint32_t>(3, NXPSerialClass::sum(data.data(), 8))));
}

TEST_F(ChecksumReplies, ChecksumsCoverEachGroupOfTwentyLines) {
  answerWith("OK\r\n");
  std::vector<uint8_t> data = pattern(1000);
  ASSERT_EQ(nxp.Write(0x10001000, 1000, data.data()), aErrNone);
  EXPECT_EQ(checksums, (std::vector<uint32_t>{NXPSerialClass::sum(data.data(), 900),
                                              NXPSerialClass::sum(data.data() + 900, 100)}));
  EXPECT_EQ(script.written.rfind("W 268439552 1000\r\n", 0), 0u);
}

TEST_F(ChecksumReplies, AnUnexpectedChecksumReplyGivesIO) {
  answerWith("BUSY\r\n");
  std::vector<uint8_t> data = pattern(8);
  EXPECT_EQ(nxp.Write(0x10001000, 8, data.data()), aErrIO);
}

TEST_F(ScriptedClient, ReturnCodePositionDependsOnEcho) {
  script.echo = true;
  EXPECT_EQ(nxp.GetErrorIndex(3), 0);   // "0\r\n" with echo on
  EXPECT_EQ(nxp.GetErrorIndex(4), 1);   // "15\r\n": last character before the line end
  EXPECT_EQ(nxp.GetErrorIndex(2), 0);
  script.onWrite = [](ScriptedStream& s, const std::string&) { s.push("0\r\n"); };
  ASSERT_EQ(nxp.SetEcho(false), aErrNone);
  EXPECT_EQ(nxp.GetErrorIndex(4), 0);
}

TEST_F(ScriptedClient, EchoFlagChangesOnlyOnSuccess) {
  script.echo = true;
  script.onWrite = [](ScriptedStream& s, const std::string&) { s.push("1\r\n"); };
  EXPECT_EQ(nxp.SetEcho(false), aErrParam);
  EXPECT_TRUE(nxp.Echo());
}

TEST_F(ScriptedClient, GetLineRestartsTheTerminatorMatchAndDropsALeadingLineFeed) {
  script.push("\nab\r\r\nrest");
  char line[32];
  int received = 0;
  EXPECT_EQ(nxp.GetLine(line, sizeof line, received, 100), aErrNone);
  EXPECT_EQ(received, 5);
  EXPECT_STREQ(line, "ab\r\r\n");
  EXPECT_EQ(script.input.size(), 4u);
}

TEST_F(ScriptedClient, GetLineGivesNotReadyWhenTheBudgetRunsOut) {
  script.push("abc");
  char line[32];
  int received = 0;
  EXPECT_EQ(nxp.GetLine(line, sizeof line, received, 5), aErrNotReady);
  EXPECT_STREQ(line, "abc");
}

TEST_F(ScriptedClient, ResponseDropsLeadingLineEndsAndZeroBytes) {
  script.push(std::string("\r\n\0OK\r\nXX", 8));
  char reply[16];
  int received = 0;
  EXPECT_EQ(nxp.Response(reply, sizeof reply, received, "OK\r\n", 4), aErrNone);
  EXPECT_STREQ(reply, "OK\r\n");
}

TEST_F(ScriptedClient, FailedOneLineCommandsNameTheReturnCode) {
  LogCapture log(DEBUG_NXPSerial);
  script.echo = true;
  script.onWrite = [](ScriptedStream& s, const std::string&) { s.push("9\r\n"); };
  EXPECT_EQ(nxp.Prepare(0, 29), aErrParam);
  EXPECT_EQ(script.written, "P 0 29\r\n");
  EXPECT_NE(log.text().find("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"), std::string::npos);
}

TEST_F(ScriptedClient, CommandLinesAsTheChipExpectsThem) {
  script.echo = true;
  script.onWrite = [](ScriptedStream& s, const std::string&) { s.push("0\r\n"); };
  EXPECT_EQ(nxp.Unlock(), aErrNone);
  EXPECT_EQ(nxp.SetBaudRate(115200), aErrNone);
  EXPECT_EQ(nxp.Erase(0, 29), aErrNone);
  EXPECT_EQ(nxp.ExecuteFrom(0), aErrNone);
  EXPECT_EQ(script.written, "U 23130\r\nB 115200 1\r\nE 0 29\r\nG 0 T\r\n");
}

TEST_F(ScriptedClient, ReadGivesTimeoutAfterThreeBadChecksums) {
  // 8 bytes in one line; the checksum line is always one too high.
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  char line[32];
  NXPSerialClass::uuencode(line, data, 8);
  std::string group = std::string(line) + "\r\n" + "37\r\n";
  int resends = 0;
  script.echo = true;
  script.onWrite = [&](ScriptedStream& s, const std::string& chunk) {
    if (chunk.rfind("R ", 0) == 0) s.push("0\r\n" + group);
    if (chunk == "RESEND\r\n") {
      ++resends;
      s.push(group);
    }
  };
  uint8_t buffer[8] = {};
  EXPECT_EQ(nxp.Read(0, 8, buffer), aErrTimeout);
  EXPECT_EQ(resends, 2);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), std::vector<uint8_t>(data, data + 8));
}

TEST_F(ScriptedClient, ReadSendsAgainAGroupWithAShortOrEmptyLine) {
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  char line[32];
  NXPSerialClass::uuencode(line, data, 8);
  const std::string good = std::string(line) + "\r\n";
  // Only the first group of the line arrived; its checksum is what a reader
  // that trusted the announced count would have summed (zeros after it).
  const std::string shortGroup = std::string(line, 5) + "\r\n" + "6\r\n";
  const std::string emptyLineFirst = "\r\n" + good + "36\r\n";
  int resends = 0;
  script.echo = true;
  script.onWrite = [&](ScriptedStream& s, const std::string& chunk) {
    if (chunk.rfind("R ", 0) == 0) s.push("0\r\n" + shortGroup);
    if (chunk == "RESEND\r\n") s.push(++resends == 1 ? emptyLineFirst : good + "36\r\n");
  };
  uint8_t buffer[8] = {};
  EXPECT_EQ(nxp.Read(0, 8, buffer), aErrNone);
  EXPECT_EQ(resends, 2);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 8), std::vector<uint8_t>(data, data + 8));
}
