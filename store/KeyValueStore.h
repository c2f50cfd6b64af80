// One settings file: "key=value" lines held as a sorted map, typed getters
// and setters, a dirty flag, and the CREATED_TIME / UPDATED_TIME stamps the
// class keeps itself. A save reports whether the file now holds the map, and
// why not; a load keeps a file it could not read from being overwritten.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

class KeyValueStore {
 public:
  static constexpr const char* DEFAULT_FILENAME = ".settings";
  static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
  static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

  explicit KeyValueStore(const char* path = nullptr);

  // What a save did: error 0 when the file holds the map, else the errno of
  // the failure (the map and the dirty flag then stay as they were).
  struct SaveResult {
    int error = 0;
    bool ok() const { return error == 0; }
  };

  void Load(const char* path);
  SaveResult Save(const char* path = nullptr);
  bool Clear();

  // The numeric getters record an absent key with an empty value (not dirty).
  int32_t GetInt(const char* key, int32_t defaultValue = 0);
  uint32_t GetHex(const char* key, uint32_t defaultValue = 0);
  bool GetBOOL(const char* key, bool defaultValue = false);
  double GetDouble(const char* key, double defaultValue = 0.0);
  std::string GetString(const char* key, const char* defaultValue = nullptr) const;
  // Null for an absent key.
  const char* operator[](const char* key) const;

  // A setter refuses (false, logged, nothing stored) a pair that a save
  // could not write back as it is.
  bool Add(const char* key, int32_t value);
  bool Add(const char* key, double value);
  bool Add(const char* key, const char* value);
  bool Add(const char* key, const std::string& value);
  bool AddHex(const char* key, uint32_t value);
  bool Add(const KeyValueStore& other);

  // The current local time as ctime text without its line feed.
  static std::string Timestamp();

  // Lines of this many bytes or more (line feed included) are never read.
  static constexpr size_t MAX_LINE = 2047;
  // Why a pair cannot be written so that a load reads it back, or null when
  // it can.
  static const char* Refusal(const std::string& key, const std::string& value);

  std::string path;
  std::map<std::string, std::string> values;
  bool dirty = false;

 private:
  // The value text, or null when absent; an absent key is recorded empty.
  const std::string* present(const char* key);
  void parseLine(const char* line);
  // Stores a pair the file can hold; logs and refuses any other.
  bool store(const std::string& key, const std::string& value);

  // A file that exists but could not be read: never overwritten by Save,
  // so its history survives; the store works in memory instead.
  std::string unreadablePath;
  int unreadableError = 0;
};
