// Query commands (K, J, N) and the one-line commands (A, B, U, P, E, G, C).
#include <stdio.h>
#include <stdlib.h>

#include "app/Log.h"
#include "recovery/NXPSerialClass.h"

namespace {

constexpr int kBudget = 100;

}  // namespace

aErr NXPSerialClass::returnCode(char* reply, int size, int& received) {
  aErr err = GetLine(reply, size, received, kBudget);
  if (err != aErrNone && received == 0) return err;
  int index = GetErrorIndex(received);
  if (received <= index || reply[index] != '0') return aErrParam;
  return aErrNone;
}

aErr NXPSerialClass::oneLine(const char* text, bool logFailure) {
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    return err;
  }
  char reply[64];
  int received = 0;
  err = returnCode(reply, sizeof reply, received);
  if (err == aErrParam && logFailure) {
    Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(reply));
  }
  return err;
}

aErr NXPSerialClass::GetBootLoaderVersion(int& major, int& minor) {
  aErr err = oneLine("K\r\n", false);
  if (err != aErrNone) return err;
  char line[64];
  int received = 0;
  err = GetLine(line, sizeof line, received, kBudget);
  if (err != aErrNone && received == 0) return err;
  major = static_cast<int>(strtol(line, nullptr, 0));
  err = GetLine(line, sizeof line, received, kBudget);
  if (err != aErrNone && received == 0) return err;
  minor = static_cast<int>(strtol(line, nullptr, 0));
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", major, minor);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(int64_t& partNumber) {
  aErr err = oneLine("J\r\n", false);
  if (err != aErrNone) return err;
  char line[64];
  int received = 0;
  err = GetLine(line, sizeof line, received, kBudget);
  if (err != aErrNone && received == 0) return err;
  // The part number is a 32-bit word; a value with the top bit set is kept
  // sign-extended, as the boot loader's own tools show it.
  partNumber = static_cast<int64_t>(static_cast<int32_t>(strtoul(line, nullptr, 0)));
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(partNumber));
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  aErr err = oneLine("N\r\n", false);
  if (err != aErrNone) return err;
  for (int word = 0; word < 4; ++word) {
    char line[33];
    int received = 0;
    err = GetLine(line, sizeof line, received, kBudget);
    if (err != aErrNone && received == 0) return err;
    m_deviceID[word] = static_cast<uint32_t>(strtoul(line, nullptr, 0));
  }
  return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char text[16];
  snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
  aErr err = oneLine(text, false);
  if (err == aErrNone) m_echo = on;
  return err;
}

aErr NXPSerialClass::SetBaudRate(int rate) {
  char text[32];
  snprintf(text, sizeof text, "B %d %d\r\n", rate, 1);
  return oneLine(text, false);
}

aErr NXPSerialClass::Unlock() { return oneLine("U 23130\r\n", false); }

aErr NXPSerialClass::Prepare(int first, int last) {
  if (last < first) return aErrParam;
  char text[32];
  snprintf(text, sizeof text, "P %d %d\r\n", first, last);
  return oneLine(text, true);
}

aErr NXPSerialClass::Erase(int first, int last) {
  if (last < first) return aErrParam;
  char text[32];
  snprintf(text, sizeof text, "E %d %d\r\n", first, last);
  return oneLine(text, true);
}

aErr NXPSerialClass::ExecuteFrom(uint32_t address) {
  char text[32];
  snprintf(text, sizeof text, "G %u T\r\n", address);
  return SendCommand(text, 0);
}

aErr NXPSerialClass::CopyToFlash(uint32_t flash, uint32_t ram, int length) {
  if (flash % 256 != 0) return aErrParam;
  if (length != 256 && length != 512 && length != 1024 && length != 4096) return aErrParam;
  char text[64];
  snprintf(text, sizeof text, "C %u %u %d\r\n", flash, ram, length);
  return oneLine(text, true);
}
