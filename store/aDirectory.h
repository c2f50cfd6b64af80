// Path joining and directory primitives under the store and the command line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "link/core/aErr.h"

#define aDIR_PATH_SEP "/"

typedef struct aDirectoryListData {
  const char* path;   // listed directory, "/", entry name
  uint32_t size;      // low 32 bits of the size
  int isDirectory;    // 1 for a directory, else 0
} aDirectoryListData;

// Returns false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* data, void* context);

bool aDirectory_Exists(const char* path);
aErr aDirectory_Ensure(const char* path, unsigned mode);
// aErrNotFound when the directory cannot be opened, aErrIO when reading it
// failed part way; errno then holds the system's reason.
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context);
aErr aDirectory_Delete(const char* path);
aErr aDirectory_DeleteTree(const char* path);
aErr aDirectory_CWD(char* buffer, size_t size);
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);
// Joins up to 10 texts (first and 9 parts), the list ended by nullptr.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// Joins with one "/" before every part, whatever the texts already hold.
std::string BuildPath(const std::string& first, const std::string& part);
template <typename... Parts>
std::string BuildPath(const std::string& first, const std::string& part, const Parts&... rest) {
  return BuildPath(BuildPath(first, part), rest...);
}
