// Link construction, configuration and teardown.
#include <string.h>

#include <new>

#include "link/api/LinkImpl.h"
#include "link/api/aDiscovery.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr size_t kMaxNameLength = 1024;

char* sCopyName(const char* name) {
  size_t length = name == nullptr ? 0 : strnlen(name, kMaxNameLength);
  char* copy = new (std::nothrow) char[length + 1];
  if (copy == nullptr) return nullptr;
  if (length != 0) memcpy(copy, name, length);
  copy[length] = '\0';
  return copy;
}

}  // namespace

Link::impl::impl(Link* owner, const char* name) : owner(owner), name(sCopyName(name)) {}

Link::impl::~impl() {
  // The worker must be gone before the table, queue and signal are.
  installStreamFilter(false);
  if (linkId != 0) aLink_Destroy(&linkId);
  if (specifier != nullptr) aLinkSpec_Destroy(&specifier);
  if (packetLogger != nullptr) aLogger_Destroy(&packetLogger);
  delete[] name;
  // Callbacks that never ran still own their packet copies.
  asyncPacket left;
  while (asyncQueue.pop(left)) aPacket_Destroy(&left.packet);
}

Link::Link(const char* name) : m_impl(new impl(this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) { m_impl->specifier = aLinkSpec_Copy(&spec); }

Link::~Link() { delete m_impl; }

const char* Link::getName() const { return m_impl->name; }

aErr Link::getLinkSpecifier(linkSpec* spec) const {
  if (spec == nullptr) return aErrParam;
  if (m_impl->specifier == nullptr) return aErrNotFound;
  memcpy(spec, m_impl->specifier, sizeof(linkSpec));
  return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
  if (isConnected()) return aErrBusy;
  linkSpec* copy = aLinkSpec_Copy(&spec);
  if (copy == nullptr) return aErrMemory;
  if (m_impl->specifier != nullptr) aLinkSpec_Destroy(&m_impl->specifier);
  m_impl->specifier = copy;
  return aErrNone;
}

aErr Link::getConfig(aEtherConfig* config) const {
  if (config == nullptr) return aErrParam;
  *config = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(aEtherConfig config) {
  if (isConnected()) return aErrMode;
  m_impl->config = config;
  return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) { return aLink_EnablePooledPackets(m_impl->linkId, enable); }

}  // namespace Veltrane::Tolvarine
