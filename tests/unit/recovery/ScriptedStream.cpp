#include "ScriptedStream.h"

namespace {

aErr sGet(uint8_t* byte, void* reference) {
  auto* s = static_cast<ScriptedStream*>(reference);
  if (s->input.empty()) return aErrNotReady;
  *byte = s->input.front();
  s->input.pop_front();
  return aErrNone;
}

aErr sWrite(const uint8_t* data, size_t length, void* reference) {
  auto* s = static_cast<ScriptedStream*>(reference);
  std::string chunk(reinterpret_cast<const char*>(data), length);
  s->written += chunk;
  ++s->writes;
  if (s->echo) s->push(chunk);
  if (s->onWrite) s->onWrite(*s, chunk);
  return aErrNone;
}

aErr sPut(uint8_t byte, void* reference) { return sWrite(&byte, 1, reference); }

aErr sDelete(void*) { return aErrNone; }

}  // namespace

aStream* ScriptedStream::open() { return aStream_Create(sGet, sPut, sWrite, sDelete, this); }
