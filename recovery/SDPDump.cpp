#include "recovery/SDPDump.h"

#include <stdio.h>

#include <string>

#include "app/Log.h"

void sdpDump(const std::vector<uint8_t>& bytes) {
  if ((Log::ActiveMask() & DEBUG_iMXSerial) == 0) return;
  // In pieces well below the log's 2048-byte line buffer, so a whole data
  // report is dumped without truncation.
  std::string piece;
  char cell[8];
  for (uint8_t byte : bytes) {
    snprintf(cell, sizeof cell, "%X ", byte);
    piece += cell;
    if (piece.size() > 1500) {
      Log::log(DEBUG_iMXSerial, "%s", piece.c_str());
      piece.clear();
    }
  }
  Log::log(DEBUG_iMXSerial, "%s\n", piece.c_str());
}
