// Small helpers shared by the engine tests.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "link/core/aLink.h"

inline aPacket* echoRequest(uint8_t address, uint8_t tag) {
  uint8_t data[3] = {23, tag, static_cast<uint8_t>(~tag)};
  return aPacket_CreateWithData(address, 3, data);
}

inline bool isEcho(const aPacket* p, void* tag) {
  return p->length == 3 && p->data[0] == 23 && p->data[1] == *static_cast<uint8_t*>(tag);
}

// Sends one echo request and waits for its reply.
inline bool echoRoundTrip(aLinkRef id, uint8_t address, uint8_t tag, uint32_t waitMs = 2000) {
  aPacket* request = echoRequest(address, tag);
  aErr put = aLink_PutPacket(id, request);
  aPacket_Destroy(&request);
  if (put != aErrNone) return false;
  aPacket* reply = aLink_AwaitFirst(id, isEcho, &tag, waitMs);
  bool ok = reply != nullptr && reply->address == address && reply->data[2] == static_cast<uint8_t>(~tag);
  if (reply) aPacket_Destroy(&reply);
  return ok;
}

template <typename Done>
bool waitUntil(Done done, int ms = 3000) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// CPU time of this whole process (every thread), in milliseconds.
inline double processCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}
