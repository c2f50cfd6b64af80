// Settings files. The input up to its first zero byte is a settings file;
// each later piece (cut at zero bytes) is a "key=value" the program stores
// (a -f path, a -l history message). Properties: load, save, load gives the
// same keys and values; and after the additions are saved, a load finds
// nothing that was not stored and every entry the format can hold.
#include <ctype.h>
#include <stdio.h>

#include "FuzzSupport.h"
#include "store/KeyValueStore.h"

namespace {

// The longest line every version of the reader takes whole ("\n" included).
constexpr size_t kSafeLine = 2046;

bool blankEdge(const std::string& text) {
  return !text.empty() && (isspace(static_cast<unsigned char>(text.front())) ||
                           isspace(static_cast<unsigned char>(text.back())));
}

// A plain "key=value" line, which any reader of the format reads back.
bool holdable(const std::string& key, const std::string& value) {
  if (key.empty() || key[0] == '#' || key.find('=') != std::string::npos) return false;
  if (blankEdge(key) || blankEdge(value)) return false;
  for (const std::string* text : {&key, &value}) {
    if (text->find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return false;
  }
  return key.size() + value.size() + 2 < kSafeLine;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  static const std::string original = fuzz::scratchPath("original.settings");
  static const std::string saved = fuzz::scratchPath("saved.settings");
  std::vector<std::string> pieces = fuzz::split(data, size, '\0');
  fuzz::writeFile(original, pieces[0].data(), pieces[0].size());
  remove(saved.c_str());

  KeyValueStore first(original.c_str());
  FUZZ_CHECK(!first.dirty);
  first.Save(saved.c_str());
  KeyValueStore second(saved.c_str());
  FUZZ_CHECK(second.values == first.values);

  // The typed getters read any text without harm.
  for (const auto& entry : first.values) {
    const char* key = entry.first.c_str();
    first.GetInt(key);
    first.GetHex(key);
    first.GetBOOL(key);
    first.GetDouble(key);
  }

  if (pieces.size() == 1) return 0;
  for (size_t i = 1; i < pieces.size(); ++i) {
    const size_t equals = pieces[i].find('=');
    second.Add(pieces[i].substr(0, equals).c_str(),
               equals == std::string::npos ? std::string() : pieces[i].substr(equals + 1));
  }
  second.Save(saved.c_str());
  KeyValueStore third(saved.c_str());
  for (const auto& [key, value] : third.values) {
    auto stored = second.values.find(key);
    FUZZ_CHECK(stored != second.values.end() && stored->second == value);
  }
  for (const auto& [key, value] : second.values) {
    if (holdable(key, value)) FUZZ_CHECK(third.values.count(key) == 1);
  }
  return 0;
}
