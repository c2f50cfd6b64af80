// Patching for one device, decoding for one chip, the vector checksum and the
// diagnostics; every change lands inside its block, at the exact offsets.
#include <gtest/gtest.h>

#include <vector>

#include "app/Log.h"
#include "bird/BirdFile.h"
#include "tests/unit/bird/bird_writer.h"

namespace {

using testbird::Hex;

std::vector<uint8_t> counter(size_t length, uint8_t start = 0) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(start + i);
  return bytes;
}

std::vector<uint8_t> blockBytes(const BirdBlock& block) { return std::vector<uint8_t>(block.data, block.data + block.length); }

// The payload alone in an exact-size buffer owned by the file, so any write
// or read past a block at the end of the payload is caught.
BirdFile exactFile(const std::string& json, const std::string& name) {
  testbird::ExactBuffer raw = testbird::RawPayload(json, name);
  BirdFile file;
  file.payload = std::move(raw.bytes);
  file.payloadSize = raw.size;
  file.ScanBlocks(file.payload.get(), file.payloadSize);
  file.hasSerialOffsets = file.FindSerialNumberOffsets();
  return file;
}

TEST(BirdSerialPatch, WritesSerialAndDescriptorAtExactOffsets) {
  const std::vector<uint8_t> image = counter(0x3C);
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 4096, "image": ")" + Hex(image) +
                                        R"("}, {"kind": "serial_offsets", "serial_address": 4112, "descriptor_address": 4128}]})",
                                    "generic.bird"));
  ASSERT_TRUE(file.hasSerialOffsets);
  testbird::LogCapture log(DEBUG_BirdFile);
  ASSERT_TRUE(file.ReplaceSerialNumber(0x00ABCDEF));
  // The block's address, then its image; sized once, as GCC's -O2 bounds
  // check misreads an insert that grows a four-byte vector.
  std::vector<uint8_t> expected(4 + image.size());
  expected[2] = 0x10;
  std::copy(image.begin(), image.end(), expected.begin() + 4);
  const uint8_t serial[] = {0xEF, 0xCD, 0xAB, 0x00};
  std::copy(serial, serial + 4, expected.begin() + 0x14);
  const char digits[] = "00ABCDEF";
  for (int i = 0; i < 8; ++i) expected[0x24 + 2 * i] = static_cast<uint8_t>(digits[i]);
  EXPECT_EQ(Hex(blockBytes(file.blocks[0])), Hex(expected));
  EXPECT_NE(log.Text().find("BIRDFILE: updating serial number from 13121110 ==> 00ABCDEF\n"), std::string::npos);
}

TEST(BirdSerialPatch, ItemsStraddlingTheImageEndAreLeftAlone) {
  // Image 0x1000..0x1010, last in the payload: the serial at 0x100E and the
  // descriptor at 0x1004 would both reach past it.
  BirdFile file = exactFile(R"({"blocks": [{"kind": "serial_offsets", "serial_address": 4110, "descriptor_address": 4100},
                                           {"kind": "firmware", "address": 4096, "image": ")" + Hex(counter(16)) + R"("}],
                                "checksum_bytes": 0})",
                            "straddle.raw");
  const std::vector<uint8_t> before = blockBytes(file.blocks[1]);
  EXPECT_TRUE(file.ReplaceSerialNumber(0x11223344));  // true for a firmware block examined
  EXPECT_EQ(blockBytes(file.blocks[1]), before);
}

TEST(BirdSerialPatch, AddressesNearTheTopDoNotWrap) {
  BirdFile file = exactFile(R"({"blocks": [{"kind": "serial_offsets", "serial_address": 4294967294, "descriptor_address": 0},
                                           {"kind": "firmware", "address": 4294967280, "image": ")" + Hex(counter(16)) + R"("}],
                                "checksum_bytes": 0})",
                            "wrap.raw");
  const std::vector<uint8_t> before = blockBytes(file.blocks[1]);
  file.ReplaceSerialNumber(0x11223344);
  EXPECT_EQ(blockBytes(file.blocks[1]), before);
}

TEST(BirdSerialPatch, SerialFoundInSecondBlockOnly) {
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 0, "image": "0000000000000000"},
      {"kind": "firmware", "address": 256, "image": "0000000000000000"},
      {"kind": "serial_offsets", "serial_address": 260, "descriptor_address": 0}]})",
                                    "second.bird"));
  ASSERT_TRUE(file.ReplaceSerialNumber(0xA1B2C3D4));
  EXPECT_EQ(Hex(blockBytes(file.blocks[0])), "000000000000000000000000");
  EXPECT_EQ(Hex(blockBytes(file.blocks[1])), "0000010000000000d4c3b2a1");
}

TEST(BirdSerialPatch, DescriptorOnlyNeedsToFit) {
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 0, "image": ")" + Hex(counter(8)) +
                                        R"("}, {"kind": "serial_offsets", "serial_address": 0, "descriptor_address": 2}]})",
                                    "descriptor.bird"));
  EXPECT_FALSE(file.ReplaceSerialNumber(1));  // 16 bytes from 2 do not fit in 8
  BirdFile plain(testbird::WriteBird(R"({"blocks": [{"kind": "firmware", "address": 0, "image": "00"}]})", "plain.bird"));
  EXPECT_FALSE(plain.ReplaceSerialNumber(1));
}

TEST(BirdDecode, InverseOfTheChipEncodingRestartingPerBlock) {
  const std::vector<uint8_t> first = counter(40, 7), second = counter(21, 200), loader = counter(9, 1);
  const std::string blocks = R"("blocks": [{"kind": "firmware", "address": 4096, "image": ")" + Hex(first) +
                             R"("}, {"kind": "loader", "address": 0, "image": ")" + Hex(loader) +
                             R"("}, {"kind": "firmware", "address": 8192, "image": ")" + Hex(second) + R"("}])";
  BirdFile file(testbird::WriteBird("{" + blocks + R"(, "fingerprint": ["0x01020304", "0xA0B0C0D0", 5, "0xFFFFFFFF"]})",
                                    "chip.bird"));
  ASSERT_NE(Hex(blockBytes(file.blocks[0])).substr(8), Hex(first));
  const uint32_t key[4] = {0x01020304, 0xA0B0C0D0, 5, 0xFFFFFFFF};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  EXPECT_EQ(Hex(blockBytes(file.blocks[0])), "00001000" + Hex(first));
  EXPECT_EQ(Hex(blockBytes(file.blocks[1])), "00000000" + Hex(loader));
  EXPECT_EQ(Hex(blockBytes(file.blocks[2])), "00002000" + Hex(second));
}

TEST(BirdDecode, ShortFirmwareBlocksAreUntouched) {
  BirdFile file = exactFile(R"({"blocks": [{"kind": "firmware", "address": 0, "image": "", "truncate": 3}],
                                "checksum_bytes": 0})",
                            "short_firmware.raw");
  ASSERT_EQ(file.blocks.size(), 1u);
  const uint32_t key[4] = {1, 2, 3, 4};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(key));
  EXPECT_EQ(Hex(blockBytes(file.blocks[0])), "000000");
  EXPECT_TRUE(file.ReplaceVectorChecksum());
}

TEST(BirdVectorChecksum, SeventhWordBalancesTheTable) {
  // v0..v7 = 1..8 little-endian; v7 becomes -(1+2+3+4+5+7) = 0xFFFFFFEA.
  std::vector<uint8_t> vectors;
  for (uint32_t v = 1; v <= 8; ++v) vectors.insert(vectors.end(), {uint8_t(v), 0, 0, 0});
  const std::string table = Hex(vectors);
  BirdFile file = exactFile(R"({"blocks": [{"kind": "firmware", "address": 256, "image": ")" + table +
                                R"("}, {"kind": "firmware", "address": 0, "image": ")" + table + R"("}], "checksum_bytes": 0})",
                            "vectors.raw");
  EXPECT_TRUE(file.ReplaceVectorChecksum());
  EXPECT_EQ(Hex(blockBytes(file.blocks[0])).substr(8), table);
  EXPECT_EQ(Hex(blockBytes(file.blocks[1])).substr(8 + 56), "eaffffff");
}

TEST(BirdDiagnostics, ValidateDataFindsEveryOffsetInFirmware) {
  BirdFile file(testbird::WriteBird(R"({"blocks": [{"kind": "loader", "address": 0, "image": "abab"},
      {"kind": "firmware", "address": 43981, "image": "00abcdab"}]})",
                                    "pattern.bird"));
  testbird::LogCapture log(DEBUG_BirdFile);
  const uint8_t pattern[] = {0xAB, 0xCD};
  EXPECT_TRUE(file.ValidateData(pattern, 2));  // the address word 0000ABCD counts too
  const std::string text = log.Text();
  EXPECT_NE(text.find("Found data at 2\n"), std::string::npos);
  EXPECT_NE(text.find("Found data at 5\n"), std::string::npos);
  const uint8_t absent[] = {0xAB, 0xAB};
  EXPECT_FALSE(file.ValidateData(absent, 2));
  EXPECT_FALSE(file.ValidateData(pattern, 0));
}

TEST(BirdDiagnostics, DumpBlocksLayout) {
  const std::string path = testbird::WriteBird(
      R"({"blocks": [{"type": 9, "payload": "410042"}, {"type": 3, "payload": "ff"}, {"type": 9, "payload": ")" +
          Hex(counter(51, 0x30)) + R"("}]})",
      "dump.bird");
  BirdFile file(path);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(file.DumpBlocks(9));
  const std::string out = testing::internal::GetCapturedStdout();
  std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 00 42  A B\n \r\n000000: ";
  std::string column;
  for (int i = 0; i < 50; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%02X ", 0x30 + i);
    expected += hex;
    column += static_cast<char>(0x30 + i);
  }
  expected += " " + column + "\r\n000050: 62  b\n\n";
  EXPECT_EQ(out, expected);
}

}  // namespace
