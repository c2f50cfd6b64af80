// Connection and the low-level exchanges of the ISP client: sending with echo
// handling, reading echoes, reply lines and fixed responses. Serial reads
// answer at once; every wait here is counted in failed reads of 1 ms.
#include <string.h>

#include <string>

#include "app/Log.h"
#include "link/core/aTime.h"
#include "recovery/NXPSerialClass.h"
#include "recovery/NXPSerialDump.h"

namespace {

constexpr int kReadBudget = 100;

}  // namespace

NXPSerialClass::NXPSerialClass() = default;

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

aErr NXPSerialClass::Connect(const char* port, int baud) {
  Disconnect();
  int index = BaudIndex(baud);
  int rate = BAUD_TABLE[index];
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port, index, rate);
  snprintf(m_port, sizeof m_port, "%s", port != nullptr ? port : "");
  m_baud = rate;
  aStream* stream = nullptr;
  aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", m_port, aError_GetErrorText(err));
    return err;
  }
  m_stream = stream;
  return aErrNone;
}

void NXPSerialClass::Attach(aStream* stream, int baud) {
  Disconnect();
  m_stream = stream;
  m_baud = baud > 0 ? baud : 9600;
}

aErr NXPSerialClass::Disconnect() {
  if (m_stream != nullptr) aStream_Destroy(&m_stream);
  m_stream = nullptr;
  return aErrNone;
}

aErr NXPSerialClass::readByte(uint8_t& byte) { return aStream_Read(m_stream, &byte, 1); }

aErr NXPSerialClass::writeBytes(const char* text, size_t length) {
  return aStream_Write(m_stream, reinterpret_cast<const uint8_t*>(text), length);
}

aErr NXPSerialClass::Send(const char* text, bool expectEcho) {
  size_t length = strlen(text);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", nxpHexForm(text, length).c_str(),
           nxpPrintableForm(text, length).c_str());
  aErr err = writeBytes(text, length);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (expectEcho && length > 1) {
    int matched = 0;
    GetEcho(text, static_cast<int>(length) - 1, matched);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs) {
  size_t length = strlen(text);
  Log::log(DEBUG_NXPSerial_SR, "Sending:[%s] [%s]\n", nxpHexForm(text, length).c_str(), text);
  aErr err = writeBytes(text, length);
  if (waitMs > 0) {
    Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
    aTime_MSSleep(static_cast<uint32_t>(waitMs));
  }
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
    Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
    return err;
  }
  if (m_echo && length > 1) {
    int matched = 0;
    GetEcho(text, static_cast<int>(length) - 1, matched);
    if (matched < static_cast<int>(length) - 1) {
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", matched,
               static_cast<int>(length) - 1);
    }
  }
  return err;
}

aErr NXPSerialClass::GetEcho(const char* text, int length, int& matched) {
  matched = 0;
  Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %d, ...)\n", nxpHexForm(text, static_cast<size_t>(length)).c_str(),
           length);
  Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
  aErr err = aErrNone;
  int failures = 0;
  while (matched < length && failures < kReadBudget) {
    uint8_t byte = 0;
    err = readByte(byte);
    if (err != aErrNone) {
      ++failures;
      aTime_MSSleep(1);
      Log::log(DEBUG_NXPSerial_E, ".");
      continue;
    }
    uint8_t want = static_cast<uint8_t>(text[matched]);
    if (byte == want) {
      ++matched;
      Log::log(DEBUG_NXPSerial_E, " %02X", byte);
    } else {
      // The exact format of the dump; the 0 flag is moot next to the precision.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
      Log::log(DEBUG_NXPSerial_E, " %02.2X!=%02.2X", byte, want);
#pragma GCC diagnostic pop
    }
  }
  Log::log(DEBUG_NXPSerial_E, "]\n");
  return err;
}

aErr NXPSerialClass::GetLine(char* buffer, int size, int& received, int budget) {
  static const char kTerm[] = "\r\n";
  received = 0;
  int termMatched = 0;
  aErr err = aErrNone;
  bool terminated = false;
  while (received < size - 1 && budget > 0) {
    uint8_t byte = 0;
    err = readByte(byte);
    if (err != aErrNone) {
      --budget;
      aTime_MSSleep(1);
      Log::log(DEBUG_NXPSerial_E, ".");
      continue;
    }
    if (received == 0 && byte == '\n') {
      --budget;
      Log::log(DEBUG_NXPSerial_E, ",");
      aTime_MSSleep(1);
      continue;
    }
    buffer[received++] = static_cast<char>(byte);
    if (byte == static_cast<uint8_t>(kTerm[termMatched])) {
      ++termMatched;
    } else {
      termMatched = byte == static_cast<uint8_t>(kTerm[0]) ? 1 : 0;
    }
    if (termMatched == 2) {
      terminated = true;
      break;
    }
  }
  buffer[received] = '\0';
  Log::log(DEBUG_NXPSerial_SR, "GetLine() Received: [%s] [%s] %d %s [%s]\n",
           nxpHexForm(buffer, static_cast<size_t>(received)).c_str(),
           nxpPrintableForm(buffer, static_cast<size_t>(received)).c_str(), received,
           terminated ? "term" : "non-term", aError_GetErrorText(err));
  return err;
}

int NXPSerialClass::GetErrorIndex(int length) const {
  if (m_echo && length > 2) return length - 3;
  return 0;
}

aErr NXPSerialClass::Response(char* buffer, int size, int& received, const char* expected,
                              int expectedLength) {
  int limit = expected != nullptr ? expectedLength : size - 1;
  if (limit > size - 1) limit = size - 1;
  int waitMs = WAIT_TIME_MS(expectedLength, m_baud) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", expectedLength, m_baud,
           waitMs);
  aTime_MSSleep(static_cast<uint32_t>(waitMs));
  received = 0;
  aErr err = aErrNone;
  int failures = 0;
  while (received < limit && failures < kReadBudget) {
    uint8_t byte = 0;
    err = readByte(byte);
    if (err != aErrNone) {
      ++failures;
      aTime_MSSleep(1);
      Log::log(DEBUG_NXPSerial_E, ".");
      continue;
    }
    if (received == 0 && byte == '\n') {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\n\n");
      continue;
    }
    if (received == 0 && byte == '\r') {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading \\r\n");
      continue;
    }
    if (received < 3 && byte == 0) {
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected != nullptr && received < expectedLength &&
        static_cast<uint8_t>(expected[received]) != byte) {
      uint8_t want = static_cast<uint8_t>(expected[received]);
      Log::log(DEBUG_NXPSerial,
               "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               received, byte, byte, want, want);
    }
    buffer[received++] = static_cast<char>(byte);
    if (received >= 2 && buffer[received - 2] == '\r' && buffer[received - 1] == '\n') break;
  }
  buffer[received] = '\0';
  Log::log(DEBUG_NXPSerial_SR, "Response: [%s] [%s]\n", nxpHexForm(buffer, static_cast<size_t>(received)).c_str(),
           nxpPrintableForm(buffer, static_cast<size_t>(received)).c_str());
  return err;
}
