// Diagnostic views of a loaded package: pattern search and hex dump.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "app/Log.h"
#include "bird/BirdFile.h"

bool BirdFile::ValidateData(const uint8_t* pattern, size_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  // An empty pattern finds nothing rather than matching everywhere.
  if (pattern != nullptr && length > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_FIRMWARE || block.data == nullptr || block.length < length) continue;
      for (size_t offset = 0; offset + length <= block.length; ++offset) {
        if (memcmp(block.data + offset, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(offset));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  std::string column;
  for (const BirdBlock& block : blocks) {
    if (block.type != type || block.data == nullptr) continue;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", column.c_str(), static_cast<int>(i));
        column.clear();
      }
      const uint8_t byte = block.data[i];
      printf("%02X ", byte);
      column += isprint(byte) ? static_cast<char>(byte) : ' ';
    }
    printf(" %s\n", column.c_str());
    column.clear();
  }
  printf("\n");
  return true;
}
