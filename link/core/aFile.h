// Buffered files over stdio with aErr results.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "link/core/aErr.h"

typedef enum aFileMode {
  aFileModeRead = 0,    // "rb"
  aFileModeWrite = 1,   // "wb", truncating
  aFileModeAppend = 2   // "ab+", positioned at the end
} aFileMode;

#define aFILE_MAX_PATH 4096

typedef struct aFile aFile;

bool aFile_Exists(const char* path);
aFile* aFile_Open(const char* path, int mode);
aErr aFile_Close(aFile** file);
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);
aErr aFile_Seek(aFile* file, long offset, int origin);
aErr aFile_GetSize(aFile* file, size_t* size);
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));
aErr aFile_SetUnbuffered(aFile* file);
aErr aFile_Flush(aFile* file);
aErr aFile_Delete(const char* path);
