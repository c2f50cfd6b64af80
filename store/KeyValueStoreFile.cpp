// Reading and writing the settings file.
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <utility>

#include "app/Log.h"
#include "link/core/aFile.h"
#include "store/KeyValueStore.h"
#include "store/aReplaceFile.h"

namespace {

constexpr size_t kLineBuffer = 2048;

// Only a file that is not there at all may be created afresh.
bool isMissing(const char* path) {
  struct stat status;
  if (stat(path, &status) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR;
}

void trimEnd(const char* begin, const char*& end) {
  while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
}

}  // namespace

void KeyValueStore::parseLine(const char* line) {
  if (line[0] == '#' || strlen(line) < 3) return;
  while (isspace(static_cast<unsigned char>(*line))) ++line;
  const char* equals = strchr(line, '=');
  const char* keyEnd = equals != nullptr ? equals : line + strlen(line);
  trimEnd(line, keyEnd);
  // No "=" means no value, and an empty key names nothing: neither is kept,
  // so a save never writes back a line the format cannot express.
  if (equals == nullptr || keyEnd == line) {
    if (keyEnd > line || equals != nullptr) {
      Log::log(DEBUG_Attributes, "Attibutes: skipping line without key or '=' in '%s'\n", path.c_str());
    }
    return;
  }
  const char* value = equals + 1;
  while (isspace(static_cast<unsigned char>(*value))) ++value;
  const char* valueEnd = value + strlen(value);
  trimEnd(value, valueEnd);
  // What a save could not write back (a key beginning with "#" after
  // blanks would come back as a comment) is not taken either, so that a
  // load after a save always reads the same pairs.
  std::string key(line, keyEnd), text(value, valueEnd);
  if (const char* why = Refusal(key, text)) {
    Log::log(DEBUG_Attributes, "Attibutes: skipping key '%.64s' (%s) in '%s'\n", key.c_str(), why, path.c_str());
    return;
  }
  values[key] = std::move(text);
}

void KeyValueStore::Load(const char* filePath) {
  if (filePath == nullptr) return;
  aFile* file = aFile_Open(filePath, aFileModeRead);
  if (file == nullptr) {
    const int error = errno;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", filePath, error);
    if (isMissing(filePath)) {
      Add(KEY_CREATED_TIME, Timestamp());
      Save(filePath);
    } else {
      path = filePath;
      unreadablePath = filePath;
      unreadableError = error;
      Log::log(DEBUG_Attributes, "Attibutes: keeping attributes in memory, '%s' is left untouched\n", filePath);
    }
    return;
  }
  path = filePath;
  dirty = false;
  char line[kLineBuffer];
  size_t length = 0;
  aErr err;
  // A line of MAX_LINE bytes or more is skipped whole; the lines after it
  // are read as usual.
  while ((err = aFile_ReadLine(file, line, sizeof line, &length)) == aErrNone || err == aErrOverrun) {
    if (err == aErrNone && length < MAX_LINE) {
      parseLine(line);
      continue;
    }
    Log::log(DEBUG_Attributes, "Attibutes: skipping over-long line in '%s'\n", filePath);
    while (err == aErrOverrun) err = aFile_ReadLine(file, line, sizeof line, &length);
    if (err != aErrNone) break;
  }
  if (err == aErrIO) {
    // Opened but unreadable (a directory, a failing disk): protect it.
    unreadablePath = filePath;
    unreadableError = errno != 0 ? errno : EIO;
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot read attributes file: '%s' (%d)\n", filePath, unreadableError);
  } else if (unreadablePath == filePath) {
    unreadablePath.clear();
  }
  aFile_Close(&file);
}

KeyValueStore::SaveResult KeyValueStore::Save(const char* filePath) {
  if (filePath != nullptr) {
    path = filePath;
  } else if (path.empty()) {
    path = DEFAULT_FILENAME;
    Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
  }
  if (dirty) Add(KEY_UPDATED_TIME, Timestamp());
  if (!unreadablePath.empty() && path == unreadablePath) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - not replacing unreadable attributes file: '%s'\n", path.c_str());
    return SaveResult{unreadableError != 0 ? unreadableError : EIO};
  }
  std::string text;
  for (const auto& [key, value] : values) {
    // Pairs put straight into the map bypass the setters' check.
    if (const char* why = Refusal(key, value)) {
      Log::log(DEBUG_Attributes, "Attibutes: Error - not writing key '%.64s' (%s) to '%s'\n", key.c_str(), why,
               path.c_str());
      continue;
    }
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  const aReplaceResult result = aReplaceFile(path, text.data(), text.size());
  if (result.stage == aReplaceResult::OPEN) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n", path.c_str(),
             result.error);
    return SaveResult{result.error};
  }
  if (!result.ok()) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path.c_str(), result.error);
    return SaveResult{result.error};
  }
  dirty = false;
  return SaveResult{};
}
