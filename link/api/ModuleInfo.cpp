// Module-level queries: the information command 0x49 (firmware build, UEI
// presence, entity counts and groups) and the echo test of command 23.
#include <string.h>

#include "link/api/Module.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t cmdINFO = 0x49;
constexpr uint8_t cmdECHO = 23;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 0x01;
constexpr uint8_t kInfoClassQuantity = 0x04;
constexpr uint8_t kInfoSubClassQuantity = 0x05;
constexpr uint8_t kInfoEntityGroup = 0x06;
constexpr uint8_t kFlagGet = 0x40;
constexpr uint8_t kFlagSet = 0x80;

// One request [0x49, request...] and its reply, matched by [0x49] or more.
aErr sInfoExchange(Link* link, uint8_t address, const uint8_t* request, uint8_t length, uint8_t matchLength,
                   uint8_t* reply, uint8_t* replyLength) {
  if (link == nullptr || !link->isConnected()) return aErrConnection;
  aErr result = link->sendPacket(address, cmdINFO, length, request);
  if (result != aErrNone) return result;
  uint8_t match[2] = {cmdINFO, request[0]};
  *replyLength = matchLength;
  return link->receivePacket(address, match, replyLength, reply);
}

// The reply shape the three count queries share: [0x49, request..., answer].
aErr sInfoQuery(Link* link, uint8_t address, const uint8_t* request, uint8_t length, uint8_t* answer) {
  *answer = 0;
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr result = sInfoExchange(link, address, request, length, 1, reply, &replyLength);
  if (result != aErrNone) return result;
  if (replyLength != length + 2 || memcmp(reply + 1, request, length) != 0) return aErrUnknown;
  *answer = reply[length + 1];
  return aErrNone;
}

}  // namespace

aErr Module::getBuild(uint32_t* build) {
  if (build == nullptr) return aErrParam;
  if (link == nullptr) return aErrInitialization;
  const uint8_t request[1] = {kInfoBuild};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr result = sInfoExchange(link, moduleAddress, request, 1, 2, reply, &replyLength);
  if (result != aErrNone) return result;
  if (replyLength != 6) return aErrSize;
  *build = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
  if ((flags & 0x3F) != 0 || (flags & (kFlagGet | kFlagSet)) == (kFlagGet | kFlagSet)) return aErrParam;
  const uint8_t request[5] = {kInfoHasUEI, command, option, index, flags};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 0;
  aErr result = sInfoExchange(link, moduleAddress, request, 5, 1, reply, &replyLength);
  if (result != aErrNone) return result;
  if (replyLength != 6 || memcmp(reply + 1, request, 4) != 0) return aErrUnknown;
  return static_cast<aErr>(reply[5]);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
  if (count == nullptr) return aErrParam;
  const uint8_t request[2] = {kInfoClassQuantity, command};
  return sInfoQuery(link, moduleAddress, request, 2, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count) {
  if (count == nullptr) return aErrParam;
  const uint8_t request[3] = {kInfoSubClassQuantity, command, subclass};
  return sInfoQuery(link, moduleAddress, request, 3, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
  if (group == nullptr) return aErrParam;
  const uint8_t request[3] = {kInfoEntityGroup, command, index};
  return sInfoQuery(link, moduleAddress, request, 3, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
  if (link == nullptr || !link->isConnected()) return aErrConnection;
  if (length != 0 && data == nullptr) return aErrParam;
  aErr result = link->sendPacket(moduleAddress, cmdECHO, length, data);
  if (result != aErrNone) return result;
  const uint8_t match[1] = {cmdECHO};
  uint8_t reply[aPACKET_MAX_DATA];
  uint8_t replyLength = 1;
  result = link->receivePacket(moduleAddress, match, &replyLength, reply);
  if (result != aErrNone) return result;
  if (replyLength != length + 1 || (length != 0 && memcmp(reply + 1, data, length) != 0)) return aErrIO;
  return aErrNone;
}

}  // namespace Veltrane::Tolvarine
