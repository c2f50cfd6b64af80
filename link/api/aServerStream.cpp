// The stream filter, on the shared link's receiving thread: stream samples
// never enter the link's queue; they gather in a batch that goes to the
// broker in one frame on the module's heartbeat or when it is nearly full.
#include "link/api/aServerInternal.h"
#include "link/core/aUEI.h"

namespace {

bool sIsHeartbeat(const aPacket* packet) { return packet->length == 2 && packet->data[0] == 0; }

}  // namespace

bool aServer_StreamFilter(const aPacket* packet, void* argument) {
  aServer* server = static_cast<aServer*>(argument);
  bool consumed = false;
  if (aUEI_isStreamPacket(packet)) {
    server->batchFill =
        static_cast<uint16_t>(server->batchFill + aServerFrame_FromPacket(packet, server->batch + server->batchFill));
    consumed = true;
  }
  if (server->batchFill > 0 && (sIsHeartbeat(packet) || server->batchFill > aSERVER_BATCH_SEND)) {
    if (!aServerFrame_Send(server->streamFilter, server->batch, server->batchFill, false))
      aTRACE(aTRACE_SERVER, "stream batch of %d bytes dropped\n", server->batchFill);
    server->batchFill = 0;
  }
  return consumed;
}
