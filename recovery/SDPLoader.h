// i.MX RT serial download protocol: writes a RAM-resident loader into the
// processor and jumps to it. The bytes travel through an SDPLoader_Interface.
#pragma once

#include <stdint.h>

#include <memory>
#include <vector>

#include "recovery/SDPLoader_Interface.h"

class SDPLoader {
 public:
  enum Command : uint16_t {
    READ_REGISTER = 0x0101,
    WRITE_FILE = 0x0404,
    ERROR_STATUS = 0x0505,
    JUMP_ADDRESS = 0x0B0B,
  };
  static constexpr uint8_t REPORT_COMMAND = 1;
  static constexpr uint8_t REPORT_DATA = 2;
  static constexpr uint8_t FORMAT_32BIT = 0x20;
  static constexpr size_t COMMAND_REPORT_SIZE = 17;
  static constexpr size_t MAX_DATA_PER_REPORT = 1024;
  static constexpr uint32_t STATUS_WRITE_COMPLETE = 0x88888888;
  static constexpr uint32_t STATUS_ACK = 0xF0F0F0F0;
  static constexpr uint32_t FUSE_FINGERPRINT_LOW = 0x401F4410;
  static constexpr uint32_t FUSE_FINGERPRINT_HIGH = 0x401F4420;

  SDPLoader() = default;
  ~SDPLoader() = default;
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes the transport (moving from `transport`) only when it is present
  // and none is set yet; a refused transport stays with the caller.
  bool setLoader(std::unique_ptr<SDPLoader_Interface>&& transport);
  // 1 without a transport, else 0 when it opened and 6 when not.
  int init();
  // 0 done, 2 device not answering, 3 device spoke during the transfer,
  // 4 completion not confirmed.
  int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
  void startLoader(uint32_t entry);
  // 0 done, 2 device not answering, 7 a register read got no value.
  int getFingerprint(uint64_t& fingerprint);

  // The 17-byte command report: id 1, then big-endian type, address,
  // format, count, and zeros for data and the reserved byte.
  static void buildCommand(std::vector<uint8_t>& out, uint16_t type, uint32_t address, uint8_t format,
                           uint32_t count);

 private:
  bool _isConnectionAlive();
  bool _readRegister(uint32_t address, uint32_t& value);

  std::unique_ptr<SDPLoader_Interface> m_transport;
};
