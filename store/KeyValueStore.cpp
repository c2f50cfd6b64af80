// Getters and setters of the settings map.
#include "store/KeyValueStore.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "app/Log.h"

KeyValueStore::KeyValueStore(const char* filePath) {
  if (filePath != nullptr) Load(filePath);
}

bool KeyValueStore::Clear() {
  values.clear();
  dirty = true;
  return true;
}

std::string KeyValueStore::Timestamp() {
  const time_t now = time(nullptr);
  char text[64];
  if (ctime_r(&now, text) == nullptr) return "";
  std::string stamp(text);
  if (!stamp.empty() && stamp.back() == '\n') stamp.pop_back();
  return stamp;
}

const std::string* KeyValueStore::present(const char* key) {
  auto [entry, inserted] = values.try_emplace(key);
  (void)inserted;
  return entry->second.empty() ? nullptr : &entry->second;
}

int32_t KeyValueStore::GetInt(const char* key, int32_t defaultValue) {
  const std::string* value = present(key);
  return value != nullptr ? atoi(value->c_str()) : defaultValue;
}

uint32_t KeyValueStore::GetHex(const char* key, uint32_t defaultValue) {
  const std::string* value = present(key);
  // strtoul base 16 takes the optional "0x" and the full 32-bit range.
  return value != nullptr ? static_cast<uint32_t>(strtoul(value->c_str(), nullptr, 16)) : defaultValue;
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
  const std::string* value = present(key);
  return value != nullptr ? atoi(value->c_str()) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
  const std::string* value = present(key);
  return value != nullptr ? atof(value->c_str()) : defaultValue;
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
  auto entry = values.find(key);
  if (entry != values.end()) return entry->second;
  return defaultValue != nullptr ? defaultValue : "";
}

const char* KeyValueStore::operator[](const char* key) const {
  auto entry = values.find(key);
  return entry != values.end() ? entry->second.c_str() : nullptr;
}

const char* KeyValueStore::Refusal(const std::string& key, const std::string& value) {
  auto blank = [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; };
  if (key.empty()) return "empty key";
  if (key.front() == '#') return "key would read as a comment";
  if (key.find_first_of("=\n", 0, 3) != std::string::npos) return "key holds '=', a line feed or a NUL";
  if (blank(key.front()) || blank(key.back())) return "key begins or ends with white space";
  if (value.find_first_of("\n", 0, 2) != std::string::npos) return "value holds a line feed or a NUL";
  if (!value.empty() && (blank(value.front()) || blank(value.back()))) return "value begins or ends with white space";
  if (key.size() + value.size() + 2 >= MAX_LINE) return "line too long";
  return nullptr;
}

bool KeyValueStore::store(const std::string& key, const std::string& value) {
  if (const char* why = Refusal(key, value)) {
    Log::log(DEBUG_Attributes, "Attibutes: Error - refusing key '%.64s' (%s) for '%s'\n", key.c_str(), why, path.c_str());
    return false;
  }
  std::string& current = values[key];
  if (current != value) {
    dirty = true;
    current = value;
  }
  return true;
}

bool KeyValueStore::Add(const char* key, const std::string& value) { return store(key != nullptr ? key : "", value); }

bool KeyValueStore::Add(const char* key, const char* value) { return Add(key, std::string(value != nullptr ? value : "")); }

bool KeyValueStore::Add(const char* key, int32_t value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
  char text[512];
  snprintf(text, sizeof text, "%f", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const char* key, uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
  bool all = true;
  for (const auto& [key, value] : other.values) {
    if (!store(key, value)) {
      all = false;
      continue;
    }
    dirty = true;
  }
  return all;
}
