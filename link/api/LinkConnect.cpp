// Opening, waiting for and closing a Link's engine link; discovery with the
// fallback between USB and a sharing server's client link.
#include <string.h>

#include <mutex>

#include "link/api/LinkImpl.h"
#include "link/api/aDiscovery.h"
#include "link/core/aDebug.h"
#include "link/core/aTime.h"

namespace Veltrane::Tolvarine {

namespace {

// One engine link creation at a time across every Link of the process: the
// engine's shared-link paths look up and then add, which must not interleave.
std::mutex linkCreateHelperSerializer;

constexpr int kConnectPolls = 200;
constexpr uint32_t kConnectPollMs = 10;

aLinkRef sCreateEngineLink(const linkSpec& spec, aEtherConfig& config, aLinkRef reference, aErr* error) {
  *error = aErrNone;
  switch (spec.type) {
    case linkTypeUSB:
      if (config.sharingEnabled)
        return aLink_CreateServer(spec.serialNumber, &config.serverPort, &config.interfaceAddress,
                                  config.localOnly);
      return aLink_CreateUSB(spec.serialNumber);
    case linkTypeTCPIP:
      return aLink_CreateTCPIP(spec.ipAddress, static_cast<uint16_t>(spec.port));
    case linkTypeSerial: {
      char path[sizeof spec.devicePath + 1];
      memcpy(path, spec.devicePath, sizeof spec.devicePath);
      path[sizeof spec.devicePath] = '\0';
      return aLink_CreateSerial(spec.serialNumber, path, spec.baudRate);
    }
    case linkTypeClient:
      if (!config.sharingEnabled) {
        *error = aErrConfiguration;
        return 0;
      }
      return aLink_CreateClient(spec.ipAddress, static_cast<uint16_t>(spec.port), reference);
    default:
      *error = aErrMode;
      return 0;
  }
}

aErr sAwaitRunning(aLinkRef id, int polls) {
  linkState state = aLink_GetStatus(id);
  switch (state) {
    case linkStateRunning:
      return aErrNone;
    case linkStateStopped:
    case linkStateStarting:
    case linkStateSynchronising:
      for (int i = 0; i < polls && state != linkStateRunning; ++i) {
        aTime_MSSleep(kConnectPollMs);
        state = aLink_GetStatus(id);
      }
      return state == linkStateRunning ? aErrNone : aErrConnection;
    case linkStateStopping:
      return aErrBusy;
    case linkStateNoStream:
    case linkStateIOError:
    case linkStateDeliveryError:
      return aErrConnection;
    default:
      return aErrDuplicate;
  }
}

// Discovery's model filter: takes the first module of the wanted model.
struct ModelSearch {
  uint8_t model;
  linkSpec* found;
};

uint8_t sModelFilter(const linkSpec* spec, bool* success, void* reference) {
  ModelSearch* search = static_cast<ModelSearch*>(reference);
  if (search->model != 0 && spec->model != search->model) {
    *success = false;
    return 1;
  }
  memcpy(search->found, spec, sizeof(linkSpec));
  *success = true;
  return 0;
}

}  // namespace

// Opens the engine link from the stored specifier; the current link id, when
// set, is the router link a client link refers to.
static aErr sConnectionProcedure(Link::impl& self) {
  // A router's id copied in is only a reference: never keep it as our own use.
  if (self.specifier == nullptr) {
    self.linkId = 0;
    return aErrConfiguration;
  }
  aErr error = aErrNone;
  {
    std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
    self.linkId = sCreateEngineLink(*self.specifier, self.config, self.linkId, &error);
  }
  if (error != aErrNone) return error;
  if (self.linkId == 0) return aErrConnection;
  return sAwaitRunning(self.linkId, kConnectPolls);
}

aErr Link::connect() {
  if (m_impl->linkId != 0) return aErrConnection;
  return sConnectionProcedure(*m_impl);
}

static aErr sDiscoverOnce(Link& link, const aEtherConfig& config, linkType type, uint32_t serialNumber,
                          uint8_t model) {
  linkSpec* spec = nullptr;
  if (serialNumber != 0) {
    spec = aDiscovery_FindModule(type, serialNumber, config.interfaceAddress);
  } else {
    spec = aLinkSpec_Create(type);
    if (spec == nullptr) return aErrMemory;
    spec->model = model;
    ModelSearch search{model, spec};
    if (aDiscovery_EnumerateModules(type, sModelFilter, &search, config.interfaceAddress) == 0)
      aLinkSpec_Destroy(&spec);
  }
  if (spec == nullptr) return aErrNotFound;
  // A link still holding its engine link keeps its specifier; connect then
  // refuses it with aErrConnection.
  aErr stored = link.setLinkSpecifier(*spec);
  aLinkSpec_Destroy(&spec);
  if (stored != aErrNone && stored != aErrBusy) return stored;
  return link.connect();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  aErr result = sDiscoverOnce(*this, m_impl->config, type, serialNumber, model);
  bool retryable = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
  bool switchable = type == linkTypeUSB || type == linkTypeClient;
  if (!retryable || !switchable || !m_impl->config.fallbackEnabled) return result;
  linkType other = type == linkTypeUSB ? linkTypeClient : linkTypeUSB;
  aTRACE(aTRACE_LINK, "Executing Fallback: %s\n", other == linkTypeUSB ? "USB" : "aEther");
  return sDiscoverOnce(*this, m_impl->config, other, serialNumber, model);
}

aErr Link::connectThroughLinkModule(Link& router) {
  if (router.m_impl->linkId == 0) return aErrInitialization;
  // Our own engine link would be lost under the router's id.
  if (m_impl->linkId != 0) return aErrConnection;
  m_impl->linkId = router.m_impl->linkId;
  return sConnectionProcedure(*m_impl);
}

bool Link::isConnected() const {
  return m_impl->linkId != 0 && aLink_GetStatus(m_impl->linkId) == linkStateRunning;
}

linkState Link::getStatus() const {
  if (m_impl->linkId == 0) return linkStateDeliveryError;
  return aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect() {
  // A shared engine link outlives us: it must not keep calling our filter.
  bool streaming = m_impl->asyncThread != nullptr;
  {
    std::lock_guard<std::mutex> guard(m_impl->streamLock);
    streaming = streaming || !m_impl->streams.empty();
  }
  if (streaming) m_impl->installStreamFilter(false);
  if (m_impl->linkId != 0) aLink_Destroy(&m_impl->linkId);
  m_impl->linkId = 0;
  return aErrNone;
}

aErr Link::reset() {
  if (m_impl->linkId != 0) aLink_Reset(m_impl->linkId);
  return aErrNone;
}

}  // namespace Veltrane::Tolvarine
