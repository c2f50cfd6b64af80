// The identity of a package: the INFO block's four space-padded fields.
#include <stdlib.h>
#include <string.h>

#include "app/Log.h"
#include "bird/BirdFile.h"

namespace {

constexpr size_t kBuildOffset = 0;
constexpr size_t kVersionOffset = 16;
constexpr size_t kSerialOffset = 32;
constexpr size_t kModelOffset = 48;
constexpr size_t kField = 16;

}  // namespace

bool BirdFile::infoField(size_t offset, size_t count, char* out) const {
  const BirdBlock* info = firstBlock(BLOCK_INFO);
  // A short INFO block has no such field: it reads as absent.
  if (info == nullptr || info->data == nullptr || info->length < offset + count) return false;
  memcpy(out, info->data + offset, count);
  out[count] = '\0';
  return true;
}

uint32_t BirdFile::GetSerialNumber() const {
  char text[9];
  if (!infoField(kSerialOffset, 8, text)) return 0;
  return static_cast<uint32_t>(strtoul(text, nullptr, 16));
}

uint32_t BirdFile::GetBuild() const {
  char text[kField];
  if (!infoField(kBuildOffset, kField - 1, text)) return 0;
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  char text[kField];
  if (!infoField(kVersionOffset, kField - 1, text)) return "";
  // The text ends at the first space: the padding.
  char* space = strchr(text, ' ');
  if (space != nullptr) *space = '\0';
  return text;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::ValidateModel(const char* modelName) const {
  char field[kField + 1];
  if (!infoField(kModelOffset, kField, field)) return false;
  for (size_t end = strlen(field); end > 0 && field[end - 1] == ' '; --end) field[end - 1] = '\0';
  const char* name = modelName != nullptr ? modelName : "";
  // A prefix comparison: the packaged model name may carry a suffix.
  if (strncmp(field, name, strlen(name)) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, name);
  return true;
}
