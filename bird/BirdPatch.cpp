// In-place changes to the firmware images: the per-device serial number, the
// per-chip decoding and the vector-table checksum. None writes outside a block.
#include <stdio.h>
#include <string.h>

#include "app/Log.h"
#include "bird/BirdFile.h"

namespace {

constexpr uint32_t kAddressWord = 4;
constexpr uint32_t kDescriptorSize = 16;
constexpr uint32_t kVectorWords = 8;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void putLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Payload offset of the size bytes at target when they lie wholly inside the
// block's image, else -1. 64-bit sums: addresses near 2^32 must not wrap.
int64_t imageOffset(const BirdBlock& block, uint32_t target, uint32_t size) {
  if (block.length < kAddressWord) return -1;
  const uint64_t start = block.address;
  const uint64_t end = start + (block.length - kAddressWord);
  if (target < start || uint64_t{target} + size > end) return -1;
  return static_cast<int64_t>(target - start + kAddressWord);
}

}  // namespace

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char digits[9];
  snprintf(digits, sizeof digits, "%08X", serial);
  bool result = false;
  for (const BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t* bytes = mutableData(block);
    if (serialNumberAddress != 0) {
      const int64_t at = imageOffset(block, serialNumberAddress, 4);
      if (bytes != nullptr && at >= 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", le32(bytes + at), serial);
        putLe32(bytes + at, serial);
      }
      result = true;
    }
    if (descriptorAddress != 0) {
      const int64_t at = imageOffset(block, descriptorAddress, kDescriptorSize);
      if (bytes != nullptr && at >= 0) {
        // UTF-16LE string descriptor text: the low byte of each character.
        for (int i = 0; i < 8; ++i) bytes[at + 2 * i] = static_cast<uint8_t>(digits[i]);
        result = true;
      }
    }
  }
  return result;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t keyBytes[16];
  for (int word = 0; word < 4; ++word) {
    for (int i = 0; i < 4; ++i) keyBytes[word * 4 + i] = static_cast<uint8_t>(key[word] >> (24 - 8 * i));
  }
  for (const BirdBlock& block : blocks) {
    uint8_t* bytes = mutableData(block);
    if (block.type != BLOCK_FIRMWARE || bytes == nullptr || block.length < kAddressWord) continue;
    // The chain restarts at every block.
    uint8_t previous = 0;
    unsigned k = 0;
    for (uint32_t i = kAddressWord; i < block.length; ++i) {
      previous = static_cast<uint8_t>(bytes[i] ^ keyBytes[k] ^ previous);
      bytes[i] = previous;
      k = (k + 1) % 16;
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (const BirdBlock& block : blocks) {
    uint8_t* bytes = mutableData(block);
    // An image too short for the eight vector words is left alone.
    if (block.type != BLOCK_FIRMWARE || block.address != 0 || bytes == nullptr ||
        block.length < kAddressWord + 4 * kVectorWords) {
      continue;
    }
    uint8_t* vectors = bytes + kAddressWord;
    uint32_t sum = 0;
    for (int word : {0, 1, 2, 3, 4, 6}) sum += le32(vectors + 4 * word);
    const uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", le32(vectors + 28), value);
    putLe32(vectors + 28, value);
  }
  return true;
}
