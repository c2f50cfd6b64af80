// Random packages written by the independent writer load with every field right.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "bird/BirdFile.h"
#include "tests/unit/bird/bird_writer.h"

namespace {

using testbird::Hex;

struct Expected {
  uint8_t type, flags;
  uint32_t address;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> be32(uint32_t value) {
  return {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
}

std::vector<uint8_t> field(const std::string& text) {
  std::vector<uint8_t> out(text.begin(), text.end());
  out.resize(16, ' ');
  return out;
}

class RandomPackage {
 public:
  explicit RandomPackage(unsigned seed) : rng(seed) {
    const int count = pick(0, 8);
    for (int i = 0; i < count; ++i) addBlock();
    checksum = static_cast<uint32_t>(rng());
    level = pick(0, 9);
  }

  std::string Json() const {
    std::ostringstream json;
    json << "{\"level\": " << level << ", \"checksum\": " << checksum << ", \"version\": \"0203\", \"blocks\": [";
    for (size_t i = 0; i < descriptions.size(); ++i) json << (i ? ", " : "") << descriptions[i];
    json << "]}";
    return json.str();
  }

  std::vector<Expected> blocks;
  std::vector<std::string> descriptions;
  uint32_t checksum = 0;
  int level = 9;

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }
  std::vector<uint8_t> randomBytes(int length) {
    std::vector<uint8_t> out(length);
    for (uint8_t& byte : out) byte = static_cast<uint8_t>(rng());
    return out;
  }

  void addBlock() {
    static const uint8_t kTypes[] = {0, 1, 1, 2, 3, 4, 5, 6, 17, 31};
    const uint8_t type = kTypes[pick(0, sizeof kTypes - 1)];
    const uint8_t flags = static_cast<uint8_t>(pick(0, 7));
    const std::string flagText = ", \"flags\": " + std::to_string(flags);
    std::ostringstream desc;
    Expected expected{type, flags, 0, {}};
    if (type == 0 || type == 1) {
      expected.address = static_cast<uint32_t>(rng());
      std::vector<uint8_t> image = randomBytes(pick(0, 3000));
      desc << "{\"kind\": \"" << (type ? "firmware" : "loader") << "\", \"address\": " << expected.address
           << ", \"image\": \"" << Hex(image) << "\"" << flagText << "}";
      expected.bytes = be32(expected.address);
      expected.bytes.insert(expected.bytes.end(), image.begin(), image.end());
    } else if (type == 2) {
      const uint32_t serialAt = static_cast<uint32_t>(rng()), descriptorAt = static_cast<uint32_t>(rng());
      desc << "{\"kind\": \"serial_offsets\", \"serial_address\": " << serialAt << ", \"descriptor_address\": " << descriptorAt
           << flagText << "}";
      expected.bytes = be32(serialAt);
      for (uint8_t byte : be32(descriptorAt)) expected.bytes.push_back(byte);
    } else if (type == 4) {
      const std::string build = std::to_string(rng() % 100000), version = std::to_string(pick(0, 9)) + "." + std::to_string(pick(0, 99));
      char serial[9];
      snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(rng()));
      const std::string model = "MODEL" + std::to_string(pick(0, 999));
      desc << "{\"kind\": \"info\", \"build\": " << build << ", \"version\": \"" << version << "\", \"serial\": \"" << serial
           << "\", \"model\": \"" << model << "\"" << flagText << "}";
      for (const std::string& text : {build, version, std::string(serial), model}) {
        std::vector<uint8_t> f = field(text);
        expected.bytes.insert(expected.bytes.end(), f.begin(), f.end());
      }
    } else if (type == 5) {
      const uint32_t start = static_cast<uint32_t>(rng());
      desc << "{\"kind\": \"loader_start\", \"address\": " << start << flagText << "}";
      expected.bytes = be32(start);
    } else {
      expected.bytes = randomBytes(pick(0, 300));
      desc << "{\"type\": " << int(type) << ", \"payload\": \"" << Hex(expected.bytes) << "\"" << flagText << "}";
    }
    descriptions.push_back(desc.str());
    blocks.push_back(expected);
  }

  std::mt19937 rng;
};

void ExpectBlocksMatch(const BirdFile& file, const std::vector<Expected>& expected) {
  ASSERT_EQ(file.blockCount, expected.size());
  ASSERT_EQ(file.blocks.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const BirdBlock& block = file.blocks[i];
    SCOPED_TRACE("block " + std::to_string(i));
    EXPECT_EQ(block.type, expected[i].type);
    EXPECT_EQ(block.flags, expected[i].flags);
    EXPECT_EQ(block.length, expected[i].bytes.size());
    EXPECT_EQ(block.address, expected[i].address);
    EXPECT_EQ(std::vector<uint8_t>(block.data, block.data + block.length), expected[i].bytes);
  }
}

TEST(BirdRoundTrip, RandomPackagesLoadWithEveryField) {
  for (unsigned seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomPackage package(seed);
    const std::string path = testbird::WriteBird(package.Json(), "random" + std::to_string(seed) + ".bird");
    ASSERT_TRUE(BirdFile::VerifyFile(path));
    BirdFile file(path);
    EXPECT_EQ(file.path, path);
    EXPECT_EQ(file.signature, 0x62697264u);  // "bird"
    EXPECT_EQ(file.version, 0x0203);
    EXPECT_EQ(file.checksum, package.checksum);
    ExpectBlocksMatch(file, package.blocks);

    const Expected* offsets = nullptr;
    for (const Expected& block : package.blocks) {
      if (block.type == BirdFile::BLOCK_SERIAL_OFFSETS && offsets == nullptr) offsets = &block;
    }
    EXPECT_EQ(file.hasSerialOffsets, offsets != nullptr);
    if (offsets != nullptr) {
      const std::vector<uint8_t>& b = offsets->bytes;
      EXPECT_EQ(file.serialNumberAddress, uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]);
      EXPECT_EQ(file.descriptorAddress, uint32_t(b[4]) << 24 | b[5] << 16 | b[6] << 8 | b[7]);
    }
    size_t firmware = 0;
    for (const Expected& block : package.blocks) firmware += block.type == BirdFile::BLOCK_FIRMWARE;
    const std::vector<BirdBlock> found = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(found.size(), firmware);
    for (const BirdBlock& block : found) EXPECT_EQ(block.type, BirdFile::BLOCK_FIRMWARE);
  }
}

TEST(BirdRoundTrip, FindBlocksKeepsFileOrder) {
  const std::string path = testbird::WriteBird(R"({"blocks": [
    {"kind": "firmware", "address": 3, "image": "aa"}, {"kind": "loader", "address": 9, "image": ""},
    {"kind": "firmware", "address": 1, "image": "bb"}, {"kind": "firmware", "address": 2, "image": "cc"}]})",
                                               "order.bird");
  BirdFile file(path);
  std::vector<uint32_t> addresses;
  for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE)) addresses.push_back(block.address);
  EXPECT_EQ(addresses, (std::vector<uint32_t>{3, 1, 2}));
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_LOADER_START).empty());
}

TEST(BirdOwnership, MoveKeepsBlockPointersValid) {
  const std::string path = testbird::WriteBird(
      R"({"blocks": [{"kind": "firmware", "address": 4096, "image": "0102030405"},
                     {"kind": "serial_offsets", "serial_address": 4097, "descriptor_address": 0}]})",
      "move.bird");
  BirdFile loaded(path);
  const uint8_t* data = loaded.blocks[0].data;
  BirdFile placeholder;
  EXPECT_EQ(placeholder.blockCount, 0u);
  EXPECT_FALSE(placeholder.hasSerialOffsets);
  placeholder = std::move(loaded);
  BirdFile moved(std::move(placeholder));
  ASSERT_EQ(moved.blocks.size(), 2u);
  EXPECT_EQ(moved.blocks[0].data, data);
  EXPECT_EQ(moved.blocks[0].data[4], 0x01);
  EXPECT_TRUE(moved.hasSerialOffsets);
  EXPECT_EQ(moved.serialNumberAddress, 4097u);
  EXPECT_EQ(moved.path, path);
  // The sources are left empty rather than sharing the buffer.
  EXPECT_TRUE(loaded.blocks.empty());
  EXPECT_EQ(loaded.payload, nullptr);
  EXPECT_FALSE(placeholder.hasSerialOffsets);
  EXPECT_EQ(placeholder.blockCount, 0u);
}

}  // namespace
