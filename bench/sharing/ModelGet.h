// The request the sharing benchmarks time: a UEI get of the module's model
// from the stand-in at address 2, and the wait for its reply.
#pragma once

#include "link/core/aLink.h"

namespace {

constexpr uint8_t kAddress = 2;

bool sIsModelReply(const aPacket* p, void*) { return p->length == 4 && p->data[0] == 3 && p->data[1] == 8; }

// One model get and its reply; false when the reply did not come.
bool sModelGet(aLinkRef id, const aPacket* request) {
  aLink_PutPacket(id, request);
  aPacket* reply = aLink_AwaitFirst(id, sIsModelReply, nullptr, 2000);
  if (reply == nullptr) return false;
  aPacket_Destroy(&reply);
  return true;
}

aPacket* sModelRequest() {
  const uint8_t data[3] = {3, 0x48, 0x20};
  return aPacket_CreateWithData(kAddress, 3, data);
}

}  // namespace
