// Uuencoded transfers: W (host to RAM) and R (chip to host), with a decimal
// checksum after every LINES_PER_CHECKSUM lines and RESEND on a mismatch.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "app/Log.h"
#include "link/core/aTime.h"
#include "recovery/NXPSerialClass.h"

namespace {

constexpr int kLineBudget = 100;
constexpr int kChecksumBudget = 2000;

double sPercent(int done, int total) { return total > 0 ? 100.0 * done / total : 100.0; }

}  // namespace

aErr NXPSerialClass::Write(uint32_t address, int count, const uint8_t* data) {
  if (count <= 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char text[64];
  snprintf(text, sizeof text, "W %u %d\r\n", address, count);
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    return err;
  }
  char reply[64];
  int received = 0;
  err = returnCode(reply, sizeof reply, received);
  if (err == aErrParam) Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", GetErrorText(reply));
  if (err != aErrNone) return err;

  int accepted = 0;
  int position = 0;
  int lines = 0;
  int failures = 0;
  char line[2 + MAX_BYTES_PER_LINE / 3 * 4 + 4];
  while (accepted < count) {
    int n = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
    uuencode(line, data + position, n);
    if ((err = Send(line, m_echo)) != aErrNone) return err;
    if ((err = Send("\r\n", m_echo)) != aErrNone) return err;
    position += n;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && position < count) continue;

    uint32_t checksum = sum(data + accepted, static_cast<size_t>(position - accepted));
    Log::log(DEBUG_NXPSerial, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
    snprintf(text, sizeof text, "%u\r\n", checksum);
    if ((err = Send(text, m_echo)) != aErrNone) return err;
    uint32_t started = aTime_GetMSTicks();
    GetLine(reply, sizeof reply, received, kChecksumBudget);
    Log::log(DEBUG_NXPSerial, "Write() waited for checksum %d ms\n", static_cast<int>(aTime_GetMSTicks() - started));
    lines = 0;
    if (strcmp(reply, "OK\r\n") == 0) {
      accepted = position;
      Log::log(DEBUG_NXPSerial, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", accepted, count,
               sPercent(accepted, count));
    } else if (strcmp(reply, "RESEND\r\n") == 0) {
      if (++failures >= MAX_READ_RETRY) {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        return aErrTimeout;
      }
      position = accepted;
    } else {
      Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", reply);
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::Read(uint32_t address, int count, uint8_t* buffer) {
  if (count <= 0 || count % 4 != 0 || buffer == nullptr) return aErrParam;
  char text[64];
  snprintf(text, sizeof text, "R %u %d\r\n", address, count);
  aErr err = SendCommand(text, 0);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(err));
    return err;
  }
  char reply[128];
  int received = 0;
  err = returnCode(reply, sizeof reply, received);
  if (err == aErrParam) Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(reply));
  if (err != aErrNone) return err;

  int accepted = 0;
  int position = 0;
  int lines = 0;
  int failures = 0;
  // A line that decodes to nothing or to less than it announces spoils its
  // whole group: the group goes the RESEND way whatever the checksum says.
  // The count still moves on by what the line announced, as the chip's does,
  // so that the checksum line is looked for where the chip sends it.
  bool badLine = false;
  while (accepted < count) {
    err = GetLine(reply, sizeof reply, received, kLineBudget);
    if (err != aErrNone && received == 0) return err;
    const int announced = std::min(uuLineLength(reply), count - position);
    const int decoded = uudecode(buffer + position, count - position, reply);
    if (decoded == 0 || decoded < announced) badLine = true;
    position += announced;
    ++lines;
    if (lines < LINES_PER_CHECKSUM && position < count) continue;

    err = GetLine(reply, sizeof reply, received, kLineBudget);
    if (err != aErrNone && received == 0) return err;
    lines = 0;
    uint32_t expected = static_cast<uint32_t>(strtoul(reply, nullptr, 10));
    const bool groupIntact = !std::exchange(badLine, false);
    if (groupIntact && expected == sum(buffer + accepted, static_cast<size_t>(position - accepted))) {
      bool complete = position >= count;
      if ((err = Send("OK\r\n", false)) != aErrNone) return err;
      if (m_echo) {
        int matched = 0;
        GetEcho("OK\r\n", complete ? 4 : 3, matched);
      }
      accepted = position;
      Log::log(DEBUG_NXPSerial, "valid receipt of %d of %d (%.0f%%) bytes\n", accepted, count,
               sPercent(accepted, count));
    } else {
      if (++failures >= MAX_READ_RETRY) return aErrTimeout;
      if ((err = Send("RESEND\r\n", m_echo)) != aErrNone) return err;
      position = accepted;
    }
  }
  return aErrNone;
}
