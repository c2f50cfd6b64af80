// The I2C bus master entity (class 8) of a module: reads and writes of up to
// 23 bytes to a device on the bus, at one of four bus speeds.
#pragma once

#include <stdint.h>

#include "link/api/EntityClass.h"

namespace Veltrane::Tolvarine {

class I2CClass : public EntityClass {
 public:
  static constexpr uint8_t cmdI2C = 8;
  static constexpr uint8_t MAX_TRANSFER = 23;

  I2CClass() = default;
  ~I2CClass() override = default;

  aErr init(Module* module, uint8_t index);
  aErr setSpeed(uint8_t speed);  // 0..3
  aErr getSpeed(uint8_t* speed);
  aErr read(uint8_t address, uint8_t length, uint8_t* data);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(bool enable);

 private:
  uint8_t speed = 0;
};

}  // namespace Veltrane::Tolvarine
