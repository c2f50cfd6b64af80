// Construction, ownership and the loading steps: read, decompress, scan.
#include "bird/BirdFile.h"

#include <stdexcept>
#include <string.h>
#include <zlib.h>

#include "app/Log.h"
#include "bird/BirdBytes.h"
#include "link/core/aFile.h"

using bird::be32;

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kRecordHeader = 5;
constexpr size_t kChecksumSize = 4;
constexpr size_t kInfoField = 16;
constexpr size_t kInfoSize = 64;

void logInfoFields(const BirdBlock& block) {
  for (size_t offset = 0; offset < kInfoSize && offset < block.length; offset += kInfoField) {
    // A short block logs only the bytes it holds.
    int available = static_cast<int>(block.length - offset < kInfoField ? block.length - offset : kInfoField);
    if (available == static_cast<int>(kInfoField)) {
      Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", reinterpret_cast<const char*>(block.data + offset));
    } else {
      Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.*s]\n", available, reinterpret_cast<const char*>(block.data + offset));
    }
  }
}

}  // namespace

BirdFile::BirdFile(const std::string& filePath) : path(filePath) {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

// The payload buffer moves, so the blocks' data pointers stay valid; the
// source is left an empty placeholder.
BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);
  hasSerialOffsets = other.hasSerialOffsets;
  serialNumberAddress = other.serialNumberAddress;
  descriptorAddress = other.descriptorAddress;
  payload = std::move(other.payload);
  payloadSize = other.payloadSize;
  other.path.clear();
  other.reset();
  return *this;
}

void BirdFile::reset() {
  signature = 0;
  version = 0;
  checksum = 0;
  blockCount = 0;
  blocks.clear();
  hasSerialOffsets = false;
  serialNumberAddress = 0;
  descriptorAddress = 0;
  payload.reset();
  payloadSize = 0;
}

bool BirdFile::VerifyFile(const std::string& filePath) {
  aFile* file = aFile_Open(filePath.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
    return false;
  }
  uint8_t header[kHeaderSize];
  size_t count = 0;
  aErr err = aFile_Read(file, header, sizeof header, &count);
  aFile_Close(&file);
  return err == aErrNone && count == kHeaderSize && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 &&
         header[5] != 0;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
  reset();
  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  aFile* file = aFile_Open(path.c_str(), aFileModeRead);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
    aFile_Close(&file);
    return false;
  }
  bool result = false;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size > 0 ? size : 1]);
  size_t count = 0;
  err = size > 0 ? aFile_Read(file, bytes.get(), size, &count) : aErrNone;
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
  } else if (count != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), count, size);
  } else {
    if (size > kHeaderSize) {
      signature = be32(bytes.get());
      version = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    }
    // Six bytes or fewer leave nothing to decompress, which zlib refuses.
    const size_t header = size < kHeaderSize ? size : kHeaderSize;
    if (DecompressData(bytes.get() + header, size - header)) {
      ScanBlocks(payload.get(), payloadSize);  // a mismatch is only logged
      FindSerialNumberOffsets();
      result = true;
    }
  }
  for (const BirdBlock& block : blocks) {
    if (block.type == BLOCK_SERIAL_OFFSETS) {
      hasSerialOffsets = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t length) {
  // The old blocks point into the buffer about to be replaced.
  blocks.clear();
  blockCount = 0;
  payload.reset();
  payloadSize = 0;
  if (data == nullptr || length > UINT32_MAX / 8) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_BUF_ERROR);
    return false;
  }
  const uint32_t capacity = static_cast<uint32_t>(length << 3);
  // Left uninitialised: zlib writes every byte that counts.
  payload.reset(new uint8_t[capacity > 0 ? capacity : 1]);
  uLongf produced = capacity;
  int z = uncompress(payload.get(), &produced, data, static_cast<uLong>(length));
  if (z != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
    payloadSize = 0;
    return false;
  }
  payloadSize = static_cast<uint32_t>(produced);
  return true;
}

bool BirdFile::ScanBlocks(const uint8_t* data, size_t length) {
  blockCount = 0;
  blocks.clear();
  checksum = 0;
  if (data == nullptr || length < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(length));
    return false;
  }
  const uint32_t declared = be32(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", declared);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
  const uint8_t* cursor = data + 4;
  size_t remaining = length - 4;
  bool overrun = false;
  while (remaining > kChecksumSize) {
    const uint32_t blockLength = be32(cursor + 1);
    if (blockLength > remaining - kRecordHeader) {
      // Keep the blocks that fit; the trailing checksum is taken from its own place.
      Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in block length. (%u bytes declared, %zu available)\n",
               blockLength, remaining - kRecordHeader);
      overrun = true;
      break;
    }
    BirdBlock block;
    block.type = cursor[0] & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((cursor[0] & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = blockLength;
    block.data = cursor + kRecordHeader;
    if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && blockLength >= 4) block.address = be32(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, block.length);
    if (block.type == BLOCK_INFO) logInfoFields(block);
    cursor += kRecordHeader + blockLength;
    remaining -= kRecordHeader + blockLength;
    ++blockCount;
    blocks.push_back(block);
  }
  bool result = true;
  if (remaining < kChecksumSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in checksum size. (%zu of 4 bytes)\n", remaining);
    result = false;
  } else {
    checksum = be32(data + length - kChecksumSize);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    remaining -= kChecksumSize;
  }
  if (overrun || remaining > 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
    result = false;
  }
  if (blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", blockCount, declared);
    result = false;
  }
  return result;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* block = firstBlock(BLOCK_SERIAL_OFFSETS);
  if (block == nullptr || block->data == nullptr) return false;
  // A short block leaves the missing address absent (0).
  serialNumberAddress = block->length >= 4 ? be32(block->data) : 0;
  descriptorAddress = block->length >= 8 ? be32(block->data + 4) : 0;
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", serialNumberAddress,
           descriptorAddress);
  return true;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks) {
    if (block.type == type) found.push_back(block);
  }
  return found;
}

const BirdBlock* BirdFile::firstBlock(uint8_t type) const {
  for (const BirdBlock& block : blocks) {
    if (block.type == type) return &block;
  }
  return nullptr;
}

uint8_t* BirdFile::mutableData(const BirdBlock& block) {
  // Only blocks inside our own buffer are patched; ScanBlocks may have been
  // handed someone else's bytes.
  const uintptr_t begin = reinterpret_cast<uintptr_t>(payload.get());
  const uintptr_t data = reinterpret_cast<uintptr_t>(block.data);
  if (payload == nullptr || data < begin || data - begin > payloadSize || block.length > payloadSize - (data - begin)) {
    return nullptr;
  }
  return payload.get() + (data - begin);
}
