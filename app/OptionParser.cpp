#include "app/OptionParser.h"

#include <string.h>

OptionParser::OptionParser(int argc_, char** argv_, const OptionEntry* table_)
    : argc(argc_), argv(argv_), table(table_) {}

const OptionEntry* OptionParser::match(const char* text) {
  for (const OptionEntry* e = table; e->id != -1; ++e) {
    if (strcmp(e->text, text) == 0) return e;
  }
  const OptionEntry* found = nullptr;
  size_t length = strlen(text);
  for (const OptionEntry* e = table; e->id != -1; ++e) {
    if (strncmp(e->text, text, length) != 0) continue;
    if (found != nullptr) {
      error = SO_OPT_MULTIPLE;
      return nullptr;
    }
    found = e;
  }
  if (found == nullptr) error = SO_OPT_INVALID;
  return found;
}

bool OptionParser::Next() {
  entry = nullptr;
  argument = nullptr;
  error = SO_SUCCESS;
  while (position < argc && argv[position][0] != '-') files.push_back(argv[position++]);
  if (position >= argc) return false;
  word = argv[position++];
  entry = match(word);
  if (entry == nullptr) return true;
  if (entry->kind == SO_REQ_SEP) {
    if (position >= argc) {
      error = SO_ARG_MISSING;
    } else {
      argument = argv[position++];
    }
  }
  return true;
}
