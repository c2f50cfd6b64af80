// A firmware package held whole in memory: loaded, decompressed, split into
// blocks, queried, and patched or decoded in place. Never writes the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "bird/BirdBlock.h"

#define BIRD_FILE_SIGNATURE "bird"
#define BIRD_FILE_VERSION 0x0101
#define BIRD_FILE_TYPE_MASK 0x1F
#define BIRD_FILE_FLAG_MASK 0xE0

class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_START = 5,
  };

  BirdFile() = default;
  // Throws std::runtime_error("Failed to load bird data") when Load fails.
  explicit BirdFile(const std::string& path);
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  ~BirdFile() = default;

  // Header check without loading: "bird" and two non-zero version bytes.
  static bool VerifyFile(const std::string& path);

  bool Load();
  bool DecompressData(const uint8_t* data, size_t length);
  bool ScanBlocks(const uint8_t* data, size_t length);
  bool FindSerialNumberOffsets();

  std::vector<BirdBlock> FindBlocks(uint8_t type) const;

  // Fields of the first INFO block; 0, 0 and "" when it or the field is absent.
  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  bool ValidateSerialNumber(uint32_t serial) const;
  bool ValidateModel(const char* modelName) const;

  bool ReplaceSerialNumber(uint32_t serial);
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool ReplaceVectorChecksum();
  bool ValidateData(const uint8_t* pattern, size_t length) const;
  bool DumpBlocks(uint8_t type) const;

  std::string path;
  uint32_t signature = 0;
  uint16_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialNumberAddress = 0;
  uint32_t descriptorAddress = 0;
  std::unique_ptr<uint8_t[]> payload;
  uint32_t payloadSize = 0;

 private:
  void reset();
  const BirdBlock* firstBlock(uint8_t type) const;
  // The INFO field at offset, at most count bytes; false when the block is too short.
  bool infoField(size_t offset, size_t count, char* out) const;
  // Blocks point into payload, which is mutable; the records only read through data.
  uint8_t* mutableData(const BirdBlock& block);
};
