// The process-wide debug log: each line carries a category bit and is written
// only when that category is active (or when logged with mask 0).
#pragma once

#include <stdio.h>

enum DebugCategory : unsigned {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Legacy = 0x00000010,  // printed as DEBUG_Network in the usage text
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000,
};

class Log {
 public:
  Log() = default;
  ~Log() = default;

  static void SetOutput(FILE* stream);
  static void ActivatePackage(unsigned mask);
  static void DeactivatePackage(unsigned mask);
  static unsigned ActiveMask();
  // Formats into a 2048-byte buffer and writes it as it is (no line end added).
  static void log(unsigned mask, const char* format, ...) __attribute__((format(printf, 2, 3)));
};
