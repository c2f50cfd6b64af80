#include "link/core/aFile.h"

#include <errno.h>
#include <new>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#define aFILE_CHECK 0xFEED

struct aFile {
  FILE* stream;
  int mode;
  uint16_t check;
};

namespace {

bool valid(const aFile* file) { return file != nullptr && file->check == aFILE_CHECK; }
bool readable(const aFile* file) { return file->mode == aFileModeRead || file->mode == aFileModeAppend; }
bool writable(const aFile* file) { return file->mode == aFileModeWrite || file->mode == aFileModeAppend; }

}  // namespace

bool aFile_Exists(const char* path) {
  struct stat status;
  return path != nullptr && stat(path, &status) == 0 && !S_ISDIR(status.st_mode);
}

aFile* aFile_Open(const char* path, int mode) {
  static const char* const kModes[] = {"rb", "wb", "ab+"};
  if (path == nullptr || path[0] == '\0' || strlen(path) > aFILE_MAX_PATH) return nullptr;
  if (mode < aFileModeRead || mode > aFileModeAppend) return nullptr;
  aFile* file = new (std::nothrow) aFile{};
  if (file == nullptr) return nullptr;
  file->stream = fopen(path, kModes[mode]);
  if (file->stream == nullptr) {
    delete file;
    return nullptr;
  }
  if (mode == aFileModeAppend) fseek(file->stream, 0, SEEK_END);
  file->mode = mode;
  file->check = aFILE_CHECK;
  return file;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr || !valid(*file)) return aErrParam;
  int closed = fclose((*file)->stream);
  (*file)->check = 0;
  delete *file;
  *file = nullptr;
  return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count) {
  if (!valid(file) || buffer == nullptr) return aErrParam;
  if (!readable(file)) return aErrMode;
  size_t got = fread(buffer, 1, length, file->stream);
  if (count != nullptr) *count = got;
  if (got == 0 && length > 0) return ferror(file->stream) ? aErrIO : aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count) {
  if (!valid(file) || data == nullptr) return aErrParam;
  if (!writable(file)) return aErrMode;
  size_t put = fwrite(data, 1, length, file->stream);
  if (count != nullptr) *count = put;
  if (put == 0 && length > 0) return aErrIO;
  return aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int origin) {
  if (!valid(file)) return aErrParam;
  long current = ftell(file->stream);
  if (current < 0 || fseek(file->stream, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->stream);
  if (end < 0 || fseek(file->stream, current, SEEK_SET) != 0) return aErrIO;
  long base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = current; break;
    case 2: base = end; break;
    default: return aErrParam;
  }
  long target = base + offset;
  if (target < 0 || target > end) return aErrRange;
  return fseek(file->stream, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!valid(file) || size == nullptr) return aErrParam;
  long current = ftell(file->stream);
  if (current < 0 || fseek(file->stream, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->stream);
  if (end < 0 || fseek(file->stream, current, SEEK_SET) != 0) return aErrIO;
  *size = static_cast<size_t>(end);
  return aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (!valid(file) || buffer == nullptr || size < 2) return aErrParam;
  if (!readable(file)) return aErrMode;
  // fgets ends what it read with a NUL, so a filled buffer has a NUL in its
  // last place; a NUL byte inside the line cannot hide that from this mark.
  buffer[size - 1] = 'x';
  if (fgets(buffer, static_cast<int>(size), file->stream) == nullptr) {
    buffer[0] = '\0';
    if (length != nullptr) *length = 0;
    return ferror(file->stream) ? aErrIO : aErrEOF;
  }
  size_t got = strlen(buffer);
  if (length != nullptr) *length = got;
  // A full buffer whose last character is not a newline: the line goes on.
  if (buffer[size - 1] == '\0' && buffer[size - 2] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!valid(file) || format == nullptr) return aErrParam;
  if (!writable(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  int written = vfprintf(file->stream, format, args);
  va_end(args);
  return written < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!valid(file)) return aErrParam;
  if (!writable(file)) return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Flush(aFile* file) {
  if (!valid(file)) return aErrParam;
  if (!writable(file)) return aErrMode;
  return fflush(file->stream) == 0 ? aErrNone : aErrIO;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strlen(path) > aFILE_MAX_PATH) return aErrFileNameLength;
  if (remove(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES: return aErrPermission;
    default: return aErrIO;
  }
}
