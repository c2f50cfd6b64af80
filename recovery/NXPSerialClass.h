// Client of the LPC17xx ROM boot loader's serial in-system-programming
// protocol: ASCII command lines ending in "\r\n", uuencoded data with a
// decimal checksum after every group of lines.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/aStream.h"

// Milliseconds that `bytes` take on the line at `baud`, plus a margin.
#define WAIT_TIME_MS(bytes, baud) ((((bytes) * 9000) + 18000) / (baud) + 1)

struct NXPSectorRow {
  uint32_t start;
  uint32_t size;
  int sector;
};

extern const NXPSectorRow NXP_LPC17XX_sectors[];

class NXPSerialClass {
 public:
  static constexpr int MAX_ERROR = 20;
  static constexpr double CRYSTAL_DEFAULT = 14.7456;
  static constexpr int MAX_BYTES_PER_LINE = 45;
  static constexpr int LINES_PER_CHECKSUM = 20;
  static constexpr int MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];
  static const int BAUD_TABLE[8];

  NXPSerialClass();
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  aErr Connect(const char* port, int baud);
  aErr Disconnect();
  // Takes over an already open stream (tests drive the class through a
  // scripted stream this way); `baud` is used for time-outs only.
  void Attach(aStream* stream, int baud);

  aErr Sync();
  aErr GetBootLoaderVersion(int& major, int& minor);
  aErr GetPartNumber(int64_t& partNumber);
  aErr GetDeviceID();

  aErr SetEcho(bool on);
  aErr SetBaudRate(int rate);
  aErr Unlock();
  aErr Prepare(int first, int last);
  aErr Erase(int first, int last);
  aErr ExecuteFrom(uint32_t address);
  aErr CopyToFlash(uint32_t flash, uint32_t ram, int length);

  aErr Read(uint32_t address, int count, uint8_t* buffer);
  aErr Write(uint32_t address, int count, const uint8_t* data);

  static uint32_t sum(const uint8_t* data, size_t len);
  static int uuencode(char* out, const uint8_t* data, int n);
  // Decodes one line; returns the bytes decoded, fewer than the line's
  // length character announces when the line is short.
  static int uudecode(uint8_t* buffer, int bufferLength, const char* text);
  // The byte count a line's length character announces (0 for none).
  static int uuLineLength(const char* text);
  static int CopyLength(int len);
  static int SectorFromAddress(uint32_t address);
  static const char* GetErrorText(const char* text);
  // Index of the baud table entry that Connect picks for `baud`.
  static int BaudIndex(int baud);

  // Low level.
  aErr Send(const char* text, bool expectEcho);
  aErr SendCommand(const char* text, int waitMs);
  aErr Response(char* buffer, int size, int& received, const char* expected, int expectedLength);
  aErr GetLine(char* buffer, int size, int& received, int budget);
  aErr GetEcho(const char* text, int length, int& matched);
  // Position of the ISP return code in a reply line of `length` characters.
  int GetErrorIndex(int length) const;

  bool Echo() const { return m_echo; }
  int BaudRate() const { return m_baud; }
  const char* PortName() const { return m_port; }
  const uint32_t* DeviceID() const { return m_deviceID; }
  bool Connected() const { return m_stream != nullptr; }

 private:
  aErr readByte(uint8_t& byte);
  aErr writeBytes(const char* text, size_t length);
  // Sends a one-line command, reads its reply and checks the return code.
  aErr oneLine(const char* text, bool logFailure);
  // Reads the return-code line of a command; 2 when the code is not '0'.
  aErr returnCode(char* reply, int size, int& received);

  aStream* m_stream = nullptr;
  bool m_echo = true;
  int m_baud = 9600;
  char m_port[2048] = {};
  uint32_t m_deviceID[4] = {};
};
