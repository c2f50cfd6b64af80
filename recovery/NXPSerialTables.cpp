// Constant tables of the LPC17xx boot loader and the helpers that read them.
#include <stdlib.h>

#include "app/Log.h"
#include "recovery/NXPSerialClass.h"

const char* const NXPSerialClass::ERROR_TEXT[NXPSerialClass::MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

const int NXPSerialClass::BAUD_TABLE[8] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// Sectors 0-15 are 4 KiB, 16-29 are 32 KiB; the last row ends the table.
const NXPSectorRow NXP_LPC17XX_sectors[] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

uint32_t NXPSerialClass::sum(const uint8_t* data, size_t len) {
  uint32_t total = 0;
  for (size_t i = 0; i < len; ++i) total += data[i];
  return total;
}

int NXPSerialClass::CopyLength(int len) {
  static const int kLengths[] = {256, 512, 1024, 4096};
  for (int length : kLengths) {
    if (len <= length) return length;
  }
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", len);
  return len;
}

int NXPSerialClass::SectorFromAddress(uint32_t address) {
  const NXPSectorRow* row = NXP_LPC17XX_sectors;
  for (; row->size != 0; ++row) {
    if (address >= row->start && address - row->start < row->size) return row->sector;
  }
  return row->sector;
}

const char* NXPSerialClass::GetErrorText(const char* text) {
  long code = text != nullptr ? strtol(text, nullptr, 0) : MAX_ERROR;
  if (code < 0 || code > MAX_ERROR) return ERROR_TEXT[MAX_ERROR];
  return ERROR_TEXT[code];
}

int NXPSerialClass::BaudIndex(int baud) {
  for (int i = 0; i < 8; ++i) {
    if (BAUD_TABLE[i] >= baud) return i;
  }
  return 2;  // above the table: 9600
}
