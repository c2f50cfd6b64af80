// Serial download protocol over a serial device (termios): the command and
// data reports go out without their report id, replies come back raw.
#pragma once

#include <memory>
#include <string>

#include "recovery/SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // A write that makes no progress for this long is given up.
  static constexpr unsigned WRITE_STALL_LIMIT_MS = 2000;

  explicit Serial_SDPLoader(const std::string& path);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  bool init() override;
  int writeData(const std::vector<uint8_t>& data) override;
  int readData(std::vector<uint8_t>& data, unsigned timeoutMs) override;
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) override;

 private:
  std::unique_ptr<PrivateSerial_SDPLoader> m_private;
};
