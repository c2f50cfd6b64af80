// Module connections and auto-networking.
#include "link/api/Module.h"

#include "link/core/aDebug.h"
#include "link/core/aTime.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr int kAddressAttempts = 4;
constexpr uint32_t kAddressRetryMs = 5;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : link(new Link("Link")), moduleAddress(address), autoNetworking(autoNetworking), model(model) {}

Module::~Module() { delete link; }

// Adopts the address the device reports for itself.
aErr Module::autoNetwork() {
  if (!autoNetworking || link == nullptr) return aErrNone;
  uint8_t address = 0;
  aErr result = aErrNotReady;
  for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
    result = link->getModuleAddress(&address);
    if (result != aErrNotReady) break;
    aTime_MSSleep(kAddressRetryMs);
  }
  if (result == aErrNotReady) aTRACE(aTRACE_NETWORK, "BOO! Failed to autoNetwork\n");
  if (result == aErrNone && address != 0 && address != moduleAddress) moduleAddress = address;
  return result;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (link == nullptr) return aErrInitialization;
  aErr result = link->discoverAndConnect(type, serialNumber, model);
  return result == aErrNone ? autoNetwork() : result;
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (link == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrBusy;
  aErr result = link->setLinkSpecifier(spec);
  if (result == aErrNone) result = link->connect();
  return result == aErrNone ? autoNetwork() : result;
}

aErr Module::reconnect() {
  if (link == nullptr) return aErrInitialization;
  aErr result = link->connect();
  return result == aErrNone ? autoNetwork() : result;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (link == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrNone;
  if (router == nullptr || router->link == nullptr) return aErrInitialization;
  linkSpec spec;
  aErr result = router->link->getLinkSpecifier(&spec);
  if (result != aErrNone) return result;
  aEtherConfig config;
  result = router->link->getConfig(&config);
  if (result == aErrNone) result = link->setConfig(config);
  if (result != aErrNone) return result;
  // A shared router link is reached as a client of its sharing server.
  if (config.sharingEnabled) {
    spec.type = linkTypeClient;
    spec.ipAddress = config.interfaceAddress;
    spec.port = config.serverPort;
  }
  result = link->setLinkSpecifier(spec);
  if (result == aErrNone) result = link->connectThroughLinkModule(*router->link);
  // The target keeps the address it was made with, behind the router.
  if (result == aErrNone) autoNetworking = false;
  return result;
}

bool Module::isConnected() const { return link != nullptr && link->isConnected(); }

linkState Module::getStatus() const { return link == nullptr ? linkStateDeliveryError : link->getStatus(); }

aErr Module::disconnect() { return link == nullptr ? aErrInitialization : link->disconnect(); }

uint8_t Module::getModuleAddress() const { return moduleAddress; }
void Module::setModuleAddress(uint8_t address) { moduleAddress = address; }
void Module::setNetworkingMode(bool on) { autoNetworking = on; }
Link* Module::getLink() { return link; }

aErr Module::getLinkSpecifier(linkSpec* spec) const {
  return link == nullptr ? aErrNotReady : link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aEtherConfig* config) const {
  if (link == nullptr) return aErrNotReady;
  if (config == nullptr) return aErrParam;
  return link->getConfig(config);
}

aErr Module::setConfig(aEtherConfig config) { return link == nullptr ? aErrNotReady : link->setConfig(config); }

aErr Module::enablePacketLog(const char* path) {
  return link == nullptr ? aErrConfiguration : link->enablePacketLog(path);
}

aErr Module::disablePacketLog() { return link == nullptr ? aErrConfiguration : link->disablePacketLog(); }

}  // namespace Veltrane::Tolvarine
