// Packet frames and server commands on the server's sockets.
#include <string.h>

#include "link/api/aServerInternal.h"
#include "link/core/aUEI.h"

aPacket* aServerFrame_ToPacket(const uint8_t* bytes, size_t size) {
  if (size < aSERVER_FRAME_MIN || size > aSERVER_FRAME_MAX) {
    aTRACE(aTRACE_SERVER, "Bad content packet: dSize: %d\n", static_cast<int>(size));
    return nullptr;
  }
  uint8_t length = bytes[1];
  if (length > aPACKET_MAX_DATA || length + 2u > size) {
    aTRACE(aTRACE_SERVER, "Bad content packet: dSize: %d\n", static_cast<int>(length));
    return nullptr;
  }
  return aPacket_CreateWithData(bytes[0], length, bytes + 2);
}

size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* wire) {
  wire[0] = packet->address;
  wire[1] = packet->length;
  memcpy(wire + 2, packet->data, packet->length);
  return packet->length + 2u;
}

bool aServerFrame_Send(zsock_t* socket, const void* data, size_t size, bool more) {
  int flags = ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0);
  return zmq_send(zsock_resolve(socket), data, size, flags) >= 0;
}

bool aServerFrame_Receive(zsock_t* socket, std::vector<std::string>& parts) {
  parts.clear();
  void* handle = zsock_resolve(socket);
  for (;;) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, handle, parts.empty() ? ZMQ_DONTWAIT : 0) < 0) {
      zmq_msg_close(&message);
      return !parts.empty();
    }
    parts.emplace_back(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
    bool more = zmq_msg_more(&message) != 0;
    zmq_msg_close(&message);
    if (!more) return true;
  }
}

bool aServerFrame_SendCommand(zsock_t* socket, uint8_t command, uint16_t count) {
  uint8_t frame[aSERVER_CMD_SIZE] = {command, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
  if (command == aSERVER_CMD_DROPPED_PACKET) frame[1] = frame[2] = 0;
  return aServerFrame_Send(socket, "", 0, true) && aServerFrame_Send(socket, frame, sizeof frame, false);
}

bool aServerFrame_IsCommand(const std::vector<std::string>& parts) {
  return parts.size() == 2 && parts[0].empty() && parts[1].size() == aSERVER_CMD_SIZE;
}

bool aServer_IsContinuedChunk(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

bool aServer_ExpectsReply(const aPacket* packet) {
  return packet->address != aPACKET_ADDR_ROUTE && !aServer_IsContinuedChunk(packet);
}
