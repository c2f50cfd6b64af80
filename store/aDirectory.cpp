#include "store/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

std::string BuildPath(const std::string& first, const std::string& part) {
  return first + aDIR_PATH_SEP + part;
}

bool aDirectory_Exists(const char* path) {
  struct stat status;
  return path != nullptr && stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

namespace {

bool makeOne(const std::string& path, unsigned mode) {
  return mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

}  // namespace

aErr aDirectory_Ensure(const char* path, unsigned mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;
  const std::string full(path);
  // Walk back to the longest leading part that exists as a directory.
  size_t start = 0;
  for (size_t cut = full.rfind('/'); cut != std::string::npos && cut > 0; cut = full.rfind('/', cut - 1)) {
    if (aDirectory_Exists(full.substr(0, cut).c_str())) {
      start = cut + 1;
      break;
    }
  }
  // Then forward, creating every missing intermediate directory.
  for (size_t next = full.find('/', start); next != std::string::npos; next = full.find('/', next + 1)) {
    if (next == 0) continue;
    if (!makeOne(full.substr(0, next), mode)) return aErrPermission;
  }
  if (!aDirectory_Exists(path) && !makeOne(full, mode)) return aErrPermission;
  return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context) {
  if (path == nullptr || callback == nullptr) return aErrParam;
  DIR* directory = opendir(path);
  if (directory == nullptr) return aErrNotFound;
  // readdir tells its end from a failure only by errno.
  int failure = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(directory);
    if (entry == nullptr) {
      failure = errno;
      break;
    }
    std::string full = BuildPath(path, entry->d_name);
    struct stat status;
    if (stat(full.c_str(), &status) != 0) continue;
    aDirectoryListData data{full.c_str(), static_cast<uint32_t>(status.st_size), S_ISDIR(status.st_mode) ? 1 : 0};
    if (!callback(&data, context)) break;
  }
  closedir(directory);
  if (failure == 0) return aErrNone;
  errno = failure;
  return aErrIO;
}

aErr aDirectory_Delete(const char* path) {
  return path != nullptr && rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* directory = opendir(path);
  if (directory == nullptr) return aErrNotFound;
  std::vector<std::string> entries;
  while (struct dirent* entry = readdir(directory)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    entries.push_back(BuildPath(path, entry->d_name));
  }
  closedir(directory);
  for (const std::string& entry : entries) {
    struct stat status;
    if (lstat(entry.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      aDirectory_DeleteTree(entry.c_str());
    } else if (unlink(entry.c_str()) != 0) {
      perror("aDirectory_DeleteTree");
      printf("---error unlink-ing file [%s]\n", entry.c_str());
      break;
    }
  }
  return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || getcwd(buffer, size) == nullptr) return aErrParam;
  return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length < 0) return aErrRead;
  buffer[length] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  if (const struct passwd* entry = getpwuid(getuid())) home = entry->pw_dir;
  if (home == nullptr || home[0] == '\0') home = getenv("HOME");
  // No home at all, or one that does not fit: report it, buffer terminated.
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  if (strlen(home) >= size) return aErrOverrun;
  strcpy(buffer, home);
  return aErrNone;
}

namespace {

aErr buildPath(char* buffer, size_t size, const char* first, va_list parts) {
  if (buffer == nullptr || first == nullptr || size < 2) return aErrParam;
  std::vector<const char*> texts{first};
  while (const char* part = va_arg(parts, const char*)) {
    texts.push_back(part);
    if (texts.size() > 10) return aErrParam;
  }
  for (const char* text : texts) {
    if (text == buffer) return aErrParam;
  }
  const size_t limit = size - 2;
  std::string joined(first);
  aErr result = joined.size() > limit ? aErrOverrun : aErrNone;
  for (size_t i = 1; i < texts.size() && result == aErrNone; ++i) {
    std::string next = joined;
    if (!(next.size() > 0 && next.back() == '/') && texts[i][0] != '/') next += aDIR_PATH_SEP;
    next += texts[i];
    if (next.size() > limit) {
      result = aErrOverrun;
    } else {
      joined = next;
    }
  }
  if (joined.size() > limit) joined.resize(limit);
  memcpy(buffer, joined.c_str(), joined.size() + 1);
  return result;
}

}  // namespace

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
  va_list parts;
  va_start(parts, first);
  aErr result = buildPath(buffer, size, first, parts);
  va_end(parts);
  return result;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
  return aDirectory_BuildPath(buffer, size, first, second, nullptr);
}
