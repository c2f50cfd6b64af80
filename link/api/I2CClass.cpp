// The I2C bus master entity. Transfers are raw packets
//   read   [8, index, address | 1, length, speed] -> [8, index, address | 1, n, status, n bytes]
//   write  [8, index, address, length, speed, bytes] -> [8, index, address, 0, status]
// A status with bit 7 set carries the device's error code in its low 7 bits.
#include <string.h>

#include <algorithm>

#include "link/api/I2CClass.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kMaxSpeed = 3;
constexpr uint8_t kPullupTarget = 1;
constexpr uint8_t kStatusByte = 4;
constexpr uint8_t kReadData = 5;
constexpr uint8_t kStatusError = 0x80;

aErr sStatus(const uint8_t* reply, uint8_t length) {
  if (length <= kStatusByte) return aErrPacket;
  uint8_t status = reply[kStatusByte];
  return (status & kStatusError) ? static_cast<aErr>(status & ~kStatusError) : aErrNone;
}

}  // namespace

aErr I2CClass::init(Module* module, uint8_t index) {
  speed = 0;
  return EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::setSpeed(uint8_t value) {
  if (value > kMaxSpeed) return aErrParam;
  speed = value;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* value) {
  if (value == nullptr) return aErrParam;
  *value = speed;
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
  if (length > MAX_TRANSFER) return aErrSize;
  if (data == nullptr && length != 0) return aErrParam;
  uint8_t target = static_cast<uint8_t>(address | 1);
  const uint8_t request[4] = {getIndex(), target, length, speed};
  aErr result = sendPacket(cmdI2C, sizeof request, request);
  if (result != aErrNone) return result;
  const uint8_t match[3] = {cmdI2C, getIndex(), target};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = sizeof match;
  result = receivePacket(match, &replyLength, reply);
  if (result != aErrNone) return result;
  result = sStatus(reply, replyLength);
  if (result != aErrNone) return result;
  // The copy stays inside the caller's buffer and the reply's bytes, whatever
  // the count byte claims; a claim beyond either is a malformed reply.
  uint8_t claimed = reply[3];
  uint8_t present = replyLength > kReadData ? static_cast<uint8_t>(replyLength - kReadData) : 0;
  uint8_t copied = std::min({claimed, present, length});
  if (copied != 0) memcpy(data, reply + kReadData, copied);
  return claimed > length || claimed > present ? aErrSize : aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > MAX_TRANSFER) return aErrSize;
  if (data == nullptr && length != 0) return aErrParam;
  uint8_t request[aPACKET_MAX_DATA] = {getIndex(), address, length, speed};
  if (length != 0) memcpy(request + 4, data, length);
  aErr result = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), request);
  if (result != aErrNone) return result;
  const uint8_t match[4] = {cmdI2C, getIndex(), address, 0};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = sizeof match;
  result = receivePacket(match, &replyLength, reply);
  return result != aErrNone ? result : sStatus(reply, replyLength);
}

aErr I2CClass::setPullup(bool enable) {
  const uint8_t request[3] = {getIndex(), kPullupTarget, static_cast<uint8_t>(enable ? 1 : 0)};
  aErr result = sendPacket(cmdI2C, sizeof request, request);
  if (result != aErrNone) return result;
  const uint8_t match[3] = {cmdI2C, getIndex(), kPullupTarget};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = sizeof match;
  result = receivePacket(match, &replyLength, reply);
  return result != aErrNone ? result : sStatus(reply, replyLength);
}

}  // namespace Veltrane::Tolvarine
