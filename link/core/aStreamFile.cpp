// File streams: input has get and delete, output has put, write and delete.
#include "link/core/aFile.h"
#include "link/core/aStream.h"

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Read(static_cast<aFile*>(reference), byte, 1, nullptr);
}

aErr sFilePut(uint8_t byte, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), &byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* reference) {
  if (reference == nullptr) return aErrIO;
  return aFile_Write(static_cast<aFile*>(reference), data, length, nullptr);
}

aErr sFileDelete(void* reference) {
  aFile* file = static_cast<aFile*>(reference);
  return aFile_Close(&file) == aErrNone ? aErrNone : aErrIO;
}

aErr sCreateFileStream(const char* path, int mode, aStream** stream) {
  if (path == nullptr || stream == nullptr) return aErrResource;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) return aErrResource;
  aStream* created = mode == aFileModeRead
                         ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                         : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (created == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *stream = created;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreateFileStream(path, aFileModeWrite, stream);
}
