// One device on the packet protocol, known by its module address, and the
// Link it is reached through: directly (discovery or a stored specifier) or
// through a router module on the I2C module network. With auto-networking on,
// every successful connection adopts the address the device reports.
#pragma once

#include <stdint.h>

#include "link/api/Link.h"
#include "link/api/aEtherConfig.h"
#include "link/core/aErr.h"
#include "link/core/aLink.h"
#include "link/core/linkSpec.h"

namespace Veltrane::Tolvarine {

class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool autoNetworking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Connections --------------------------------------------------------------
  aErr connect(linkType type, uint32_t serialNumber);  // serial 0: aErrParam
  // Serial number 0 takes the first module of this module's model.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(linkSpec spec);
  aErr reconnect();
  // Reaches this module's address on the router's link, and turns
  // auto-networking off (this module keeps the address it was given).
  aErr connectThroughLinkModule(Module* router);
  bool isConnected() const;
  linkState getStatus() const;
  aErr disconnect();

  uint8_t getModuleAddress() const;
  void setModuleAddress(uint8_t address);
  void setNetworkingMode(bool autoNetworking);
  Link* getLink();

  aErr getLinkSpecifier(linkSpec* spec) const;
  aErr getConfig(aEtherConfig* config) const;
  aErr setConfig(aEtherConfig config);
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Module-level queries -------------------------------------------------------
  // Echo test: the module must send the bytes back unchanged.
  aErr debug(const uint8_t* data, uint8_t length);
  aErr getBuild(uint32_t* build);
  // The device's status byte (0: the UEI exists). flags: 0x40 get or 0x80 set.
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  aErr classQuantity(uint8_t command, uint8_t* count);
  aErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count);
  aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

 private:
  aErr autoNetwork();

  Link* link;
  uint8_t moduleAddress;
  bool autoNetworking;
  uint8_t model;
};

}  // namespace Veltrane::Tolvarine
