// Bird packages. The first byte picks the form: even, the rest is a whole
// file as read from disk; odd, the rest is a decompressed payload, which is
// compressed here first so that the block scanner sees it whole. Whatever
// loads then goes through every reader, patcher and decoder.
#include <string.h>
#include <zlib.h>

#include <vector>

#include "FuzzSupport.h"
#include "bird/BirdFile.h"

namespace {

std::vector<uint8_t> asPackage(const uint8_t* payload, size_t size) {
  uLongf bound = compressBound(static_cast<uLong>(size));
  std::vector<uint8_t> file(6 + bound);
  memcpy(file.data(), BIRD_FILE_SIGNATURE "\x01\x01", 6);
  if (compress2(file.data() + 6, &bound, payload, static_cast<uLong>(size), 1) != Z_OK) abort();
  file.resize(6 + bound);
  return file;
}

void exercise(BirdFile& bird) {
  for (uint8_t type = 0; type < 6; ++type) {
    for (const BirdBlock& block : bird.FindBlocks(type)) FUZZ_CHECK(block.type == type);
  }
  const uint32_t serial = bird.GetSerialNumber();
  bird.GetBuild();
  bird.GetVersion();
  bird.ValidateSerialNumber(serial);
  bird.ValidateSerialNumber(0x40F5849A);
  bird.ValidateModel("HubLite4");
  bird.ValidateModel("");
  bird.ReplaceSerialNumber(0x40F5849A);
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  bird.DecodeFirmwareBlocks(key);
  bird.ReplaceVectorChecksum();
  const uint8_t pattern[] = {0x9A, 0x84};
  bird.ValidateData(pattern, sizeof pattern);
  bird.DumpBlocks(BirdFile::BLOCK_INFO);
  // Every block lies inside the payload the file owns.
  for (const BirdBlock& block : bird.blocks) {
    FUZZ_CHECK(block.data >= bird.payload.get());
    FUZZ_CHECK(block.data + block.length <= bird.payload.get() + bird.payloadSize);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 64 * 1024) return 0;
  static const std::string path = fuzz::scratchPath("package.bird");
  const bool payloadForm = (data[0] & 1) != 0;
  std::vector<uint8_t> file = payloadForm ? asPackage(data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);
  fuzz::writeFile(path, file.data(), file.size());
  BirdFile bird;
  bird.path = path;
  if (bird.Load()) exercise(bird);
  BirdFile moved(std::move(bird));
  if (moved.payload != nullptr) exercise(moved);
  return 0;
}
