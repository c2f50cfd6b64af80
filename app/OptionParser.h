// A small command-line option parser over a table of option entries, with the
// matching rules the command line relies on: case-sensitive; an exact match
// first, else a unique abbreviation of an option word; a required argument
// taken from the next word.
#pragma once

#include <string>
#include <vector>

enum OptionArgKind { SO_NONE, SO_REQ_SEP };

enum OptionError {
  SO_SUCCESS = 0,
  SO_OPT_INVALID,    // no entry matches the word
  SO_OPT_MULTIPLE,   // the word abbreviates more than one entry
  SO_ARG_MISSING     // a required argument has no next word
};

struct OptionEntry {
  int id;  // -1 ends the table
  const char* text;
  OptionArgKind kind;
};

#define SO_END_OF_OPTIONS {-1, nullptr, SO_NONE}

class OptionParser {
 public:
  OptionParser(int argc, char** argv, const OptionEntry* table);

  // Steps to the next option word; false when the words are exhausted.
  // Words that do not begin with '-' are not options: they are collected as
  // files and stepped over.
  bool Next();

  OptionError LastError() const { return error; }
  int OptionId() const { return entry != nullptr ? entry->id : -1; }
  // The table's text of the matched entry, or the word itself on an error.
  const char* OptionText() const { return entry != nullptr ? entry->text : word; }
  const char* OptionArg() const { return argument; }
  const std::vector<const char*>& Files() const { return files; }

 private:
  const OptionEntry* match(const char* text);

  int argc;
  char** argv;
  const OptionEntry* table;
  int position = 1;
  const OptionEntry* entry = nullptr;
  const char* word = nullptr;
  const char* argument = nullptr;
  OptionError error = SO_SUCCESS;
  std::vector<const char*> files;
};
