// Damaged and hostile packages: the header check, load failures with their
// texts, and scans that stay inside the payload whatever the records claim.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/Log.h"
#include "bird/BirdFile.h"
#include "tests/unit/bird/bird_writer.h"

namespace {

using testbird::LogCapture;
using testbird::RawPayload;
using testbird::WriteBird;

const char* const kTwoBlocks = R"("blocks": [{"kind": "firmware", "address": 4096, "image": "a1a2a3a4"},
                                          {"kind": "info", "build": 77, "version": "2.0", "serial": 1, "model": "HUB"}])";

std::string desc(const std::string& extra) { return std::string("{") + kTwoBlocks + extra + "}"; }

std::string loadFailure(const std::string& path) {
  try {
    BirdFile file(path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(BirdVerify, HeaderRules) {
  const std::string dir = testbird::TempDir();
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  } cases[] = {
      {"v0101", std::string("bird\x01\x01", 6), true},
      {"v0709", std::string("bird\x07\x09xyz", 9), true},  // version not compared
      {"v0001", std::string("bird\x00\x01", 6), false},
      {"v0100", std::string("bird\x01\x00", 6), false},
      {"biro", std::string("biro\x01\x01", 6), false},
      {"short", std::string("bird\x01", 5), false},
  };
  for (const Case& c : cases) {
    const std::string path = dir + "/verify_" + c.name;
    testbird::WriteAll(path, c.bytes);
    EXPECT_EQ(BirdFile::VerifyFile(path), c.valid) << c.name;
  }
  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(dir + "/absent.bird"));
  EXPECT_NE(log.Text().find("BIRDFILE: Error - cannot open bird file: '" + dir + "/absent.bird'\n"), std::string::npos);
}

TEST(BirdLoadFailure, MissingFileThrowsFixedText) {
  LogCapture log(DEBUG_BirdFile);
  const std::string path = testbird::TempDir() + "/missing.bird";
  EXPECT_EQ(loadFailure(path), "Failed to load bird data");
  EXPECT_NE(log.Text().find("BIRDFILE: BIRD file not found [" + path + "]\n"), std::string::npos);
}

TEST(BirdLoadFailure, NoCompressedPayload) {
  const std::string path = testbird::TempDir() + "/header_only.bird";
  testbird::WriteAll(path, std::string("bird\x01\x01", 6));
  EXPECT_EQ(loadFailure(path), "Failed to load bird data");
  testbird::WriteAll(path, "bir");
  EXPECT_EQ(loadFailure(path), "Failed to load bird data");
}

TEST(BirdLoadFailure, CorruptStreamLogsZlibCode) {
  LogCapture log(DEBUG_BirdFile);
  const std::string path = WriteBird(R"({"raw_compressed": "00112233445566778899"})", "corrupt.bird");
  EXPECT_EQ(loadFailure(path), "Failed to load bird data");
  EXPECT_NE(log.Text().find("BIRDFILE: Error (-3) decompressing bird file.\n"), std::string::npos);
}

TEST(BirdDecompress, EightTimesTheCompressedSizeIsTheLimit) {
  const std::string blocks = R"("blocks": [{"kind": "firmware", "address": 0, "image": {"length": 300, "seed": 5}}])";
  BirdFile exact(WriteBird("{" + blocks + R"(, "ratio": 8, "extra": 0})", "ratio8.bird"));
  EXPECT_EQ(exact.blockCount, 2u);  // the firmware and the writer's padding block
  EXPECT_EQ(exact.blocks[0].length, 304u);

  LogCapture log(DEBUG_BirdFile);
  EXPECT_EQ(loadFailure(WriteBird("{" + blocks + R"(, "ratio": 8, "extra": 1})", "ratio8plus1.bird")),
            "Failed to load bird data");
  EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos);
}

TEST(BirdScan, DeclaredCountMismatchKeepsParsedBlocks) {
  LogCapture log(DEBUG_BirdFile);
  BirdFile file(WriteBird(desc(R"(, "declared_count": 3)"), "count3.bird"));
  EXPECT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.GetBuild(), 77u);
  const std::string text = log.Text();
  EXPECT_NE(text.find("BIRDFILE:\t\t File reports 3 blocks\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"), std::string::npos);
}

TEST(BirdScan, WellFormedPayloadLogsNoMismatch) {
  LogCapture log(DEBUG_BirdFile);
  testbird::ExactBuffer raw = RawPayload(desc(R"(, "checksum": 3735928559)"), "clean.raw");
  BirdFile file;
  EXPECT_TRUE(file.ScanBlocks(raw.bytes.get(), raw.size));
  EXPECT_EQ(file.checksum, 0xDEADBEEFu);
  const std::string text = log.Text();
  EXPECT_EQ(text.find("mismatch"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t 01   00   8\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t \t[2.0             ]\n"), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE:\t\t File checksum DEADBEEF\n"), std::string::npos);
}

TEST(BirdScan, RecordRunningPastPayloadIsDroppedAndLogged) {
  LogCapture log(DEBUG_BirdFile);
  testbird::ExactBuffer raw = RawPayload(
      std::string("{") +
          R"("blocks": [{"kind": "loader", "address": 16, "image": "0102"},
                        {"type": 9, "payload": "abcdef", "declared_length": 100000}], "checksum": 305419896})",
      "overrun.raw");
  BirdFile file;
  EXPECT_FALSE(file.ScanBlocks(raw.bytes.get(), raw.size));
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(file.blocks[0].address, 16u);
  EXPECT_EQ(file.checksum, 0x12345678u);  // still the payload's last four bytes
  const std::string text = log.Text();
  EXPECT_NE(text.find("Block parsing mismatch in block length."), std::string::npos);
  EXPECT_NE(text.find("BIRDFILE: Block parsing mismatch in data size. (8 bytes remaining)\n"), std::string::npos);
  EXPECT_NE(text.find("(1 != 2)"), std::string::npos);
}

TEST(BirdScan, OverrunInLoadedFileStillLoads) {
  const std::string path = WriteBird(
      R"({"blocks": [{"kind": "firmware", "address": 1, "image": "ff"}, {"kind": "info", "build": 5, "truncate": 10,
          "declared_length": 64}]})",
      "overrun.bird");
  BirdFile file(path);
  EXPECT_EQ(file.blockCount, 1u);
  EXPECT_EQ(file.GetBuild(), 0u);  // the INFO record did not fit
}

TEST(BirdScan, TruncatedChecksum) {
  LogCapture log(DEBUG_BirdFile);
  testbird::ExactBuffer raw = RawPayload(desc(R"(, "checksum_bytes": 2)"), "short_checksum.raw");
  BirdFile file;
  EXPECT_FALSE(file.ScanBlocks(raw.bytes.get(), raw.size));
  EXPECT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.checksum, 0u);
  EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in checksum size. (2 of 4 bytes)\n"), std::string::npos);
}

TEST(BirdScan, BytesLeftAfterChecksum) {
  // 0xFF... read as a record header declares far more than is left.
  testbird::ExactBuffer raw = RawPayload(desc(R"(, "checksum": 4294967295, "trailing": "010203")"), "leftover.raw");
  BirdFile file;
  EXPECT_FALSE(file.ScanBlocks(raw.bytes.get(), raw.size));
  EXPECT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.GetBuild(), 77u);
}

TEST(BirdScan, PayloadTooShortForBlockCount) {
  testbird::ExactBuffer raw = RawPayload(R"({"raw_payload": "0001"})", "tiny.raw");
  BirdFile file;
  EXPECT_FALSE(file.ScanBlocks(raw.bytes.get(), raw.size));
  EXPECT_EQ(file.blockCount, 0u);
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
}

TEST(BirdShortBlocks, InfoFieldsBeyondTheBlockAreAbsent) {
  LogCapture log(DEBUG_BirdFile);
  // Last in the payload, so a read past the INFO block runs off the buffer.
  testbird::ExactBuffer raw = RawPayload(
      R"({"blocks": [{"kind": "info", "build": 4321, "version": "9.9", "serial": "0012AB34", "model": "ABC",
          "truncate": 36}], "checksum_bytes": 0})",
      "short_info.raw");
  BirdFile file;
  file.ScanBlocks(raw.bytes.get(), raw.size);
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(file.GetBuild(), 4321u);
  EXPECT_EQ(file.GetVersion(), "9.9");
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_NE(log.Text().find("BIRDFILE:\t\t \t[            0012]\n"), std::string::npos);
}

TEST(BirdShortBlocks, SerialOffsetsShorterThanEight) {
  testbird::ExactBuffer raw = RawPayload(
      R"({"blocks": [{"kind": "serial_offsets", "serial_address": 4096, "descriptor_address": 8192, "truncate": 6}],
          "checksum_bytes": 0})",
      "short_offsets.raw");
  BirdFile file;
  file.ScanBlocks(raw.bytes.get(), raw.size);
  ASSERT_TRUE(file.FindSerialNumberOffsets());
  EXPECT_EQ(file.serialNumberAddress, 4096u);
  EXPECT_EQ(file.descriptorAddress, 0u);
}

TEST(BirdShortBlocks, GenericPackageWithTruncatedOffsetsLoads) {
  BirdFile file(WriteBird(
      R"({"blocks": [{"kind": "firmware", "address": 0, "image": "00"}, {"kind": "serial_offsets", "truncate": 2}]})",
      "offsets2.bird"));
  EXPECT_TRUE(file.hasSerialOffsets);
  EXPECT_EQ(file.serialNumberAddress, 0u);
  EXPECT_EQ(file.descriptorAddress, 0u);
  EXPECT_FALSE(file.ReplaceSerialNumber(0x1234));
}

}  // namespace
