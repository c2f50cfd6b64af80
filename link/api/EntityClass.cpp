// Typed get, set and call exchanges of an entity, and its stream operations.
#include "link/api/EntityImpl.h"

namespace Veltrane::Tolvarine {

namespace {

uei sRequest(const EntityClass::impl& self, uint8_t option, uint8_t flag) {
  uei request{};
  request.module = self.address();
  request.command = self.command;
  request.option = static_cast<uint8_t>(option | flag);
  request.specifier = static_cast<uint8_t>(self.index | ueiSPECIFIER_REQUEST);
  return request;
}

// Sends the request and takes the reply that carries `replyOption` and the
// bare index; a device error comes back as the result.
aErr sExchange(const EntityClass::impl& self, Link* link, uei* value, uint8_t replyOption, bool withSubindex,
               uint8_t subindex) {
  aErr result = withSubindex ? link->sendUEI(*value, subindex) : link->sendUEI(*value);
  if (result != aErrNone) return result;
  value->option = replyOption;
  value->specifier = self.index;
  result = link->receiveUEI(value->module, value->command, value->option, value->specifier, value);
  if (result == aErrNone && ueiIsError(*value)) return static_cast<aErr>(value->v.byteVal);
  return result;
}

}  // namespace

EntityClass::EntityClass() : m_impl(new impl{this}) {}

EntityClass::~EntityClass() { delete m_impl; }

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
  return aErrNone;
}

uint8_t EntityClass::getIndex() const { return m_impl->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->sendPacket(m_impl->address(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->receivePacket(m_impl->address(), match, length, data);
}

aErr EntityClass::getUEI(uint8_t option, uei* value) {
  if (value == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uint8_t subindex = value->type == ueiTypeByte ? value->v.byteVal : 0;
  uint32_t streamed = 0;
  aErr cached = link->getStreamValue(m_impl->address(), m_impl->command, option, m_impl->index, subindex, &streamed);
  if (cached != aErrNotFound) {
    value->v.intVal = streamed;
    value->type = ueiTypeInt;
    return cached;
  }
  uei request = sRequest(*m_impl, option, ueiOPTION_GET);
  request.type = value->type;
  request.v = value->v;
  *value = request;
  return sExchange(*m_impl, link, value, option, false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uei* value) {
  if (value == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uei request = sRequest(*m_impl, option, ueiOPTION_SET);
  value->module = request.module;
  value->command = request.command;
  value->option = request.option;
  value->specifier = request.specifier;
  return sExchange(*m_impl, link, value, static_cast<uint8_t>(option | ueiOPTION_SET_REPLY), false, 0);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
  if (value == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uei request = sRequest(*m_impl, option, ueiOPTION_SET);
  value->module = request.module;
  value->command = request.command;
  value->option = request.option;
  value->specifier = request.specifier;
  return sExchange(*m_impl, link, value, static_cast<uint8_t>(option | ueiOPTION_SET_REPLY), true, subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei value{};
  value.type = ueiTypeVoid;
  return setUEI(option, &value);
}

namespace {

// A typed get: a void request, or a byte request carrying the subindex.
template <typename T>
aErr sTypedGet(EntityClass& entity, uint8_t option, bool withSubindex, uint8_t subindex, T* out) {
  if (out == nullptr) return aErrParam;
  uei value{};
  value.type = withSubindex ? ueiTypeByte : ueiTypeVoid;
  value.v.byteVal = subindex;
  aErr result = entity.getUEI(option, &value);
  if (result == aErrNone || result == aErrStreamStale) *out = static_cast<T>(ueiValue32(value));
  return result;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return sTypedGet(*this, option, false, 0, value); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
  return sTypedGet(*this, option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) { return sTypedGet(*this, option, false, 0, value); }
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
  return sTypedGet(*this, option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) { return sTypedGet(*this, option, false, 0, value); }
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
  return sTypedGet(*this, option, true, subindex, value);
}

namespace {

// A UEI carrying one typed value, to be set.
uei sValueOf(uint8_t value) {
  uei u{};
  u.type = ueiTypeByte;
  u.v.byteVal = value;
  return u;
}
uei sValueOf(uint16_t value) {
  uei u{};
  u.type = ueiTypeShort;
  u.v.shortVal = value;
  return u;
}
uei sValueOf(uint32_t value) {
  uei u{};
  u.type = ueiTypeInt;
  u.v.intVal = value;
  return u;
}

}  // namespace

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei u = sValueOf(value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei u = sValueOf(value);
  return setUEI(option, subindex, &u);
}
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei u = sValueOf(value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei u = sValueOf(value);
  return setUEI(option, subindex, &u);
}
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei u = sValueOf(value);
  return setUEI(option, &u);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei u = sValueOf(value);
  return setUEI(option, subindex, &u);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, uint32_t length) {
  if (data == nullptr && length != 0) return aErrParam;
  uei u{};
  u.type = ueiTypeBytes;
  u.v.bytes = const_cast<uint8_t*>(data);  // only read on the way out
  u.byteCount = length;
  return setUEI(option, &u);
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
  if (value == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uei u{};
  u.module = m_impl->address();
  u.command = m_impl->command;
  u.option = option;
  u.specifier = m_impl->index;
  aErr result = link->receiveUEI(u.module, u.command, u.option, u.specifier, &u);
  if (result != aErrNone) return result;
  if (ueiIsError(u)) return static_cast<aErr>(u.v.byteVal);
  *value = ueiValue32(u);
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->dropMatchingUEIPackets(m_impl->address(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(bool enable) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->enableStream(m_impl->address(), m_impl->command, Link::STREAM_WILDCARD, m_impl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* ref) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->registerStreamCallback(m_impl->address(), m_impl->command, option, m_impl->index, enable,
                                      std::move(callback), ref);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, uint32_t count, uint32_t* written) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->getStreamStatus(m_impl->address(), m_impl->command, Link::STREAM_WILDCARD, m_impl->index,
                               Link::STREAM_WILDCARD, entries, count, written);
}

}  // namespace Veltrane::Tolvarine
