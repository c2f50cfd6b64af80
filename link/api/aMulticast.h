// A UDP multicast endpoint: a sender or a receiver on one group and port.
// Address reuse is off, so a second receiver on a port fails to bind: that is
// how the loopback probe tells that a sharing server holds the port.
#pragma once

#include <stdint.h>

typedef struct aMulticast aMulticast;

// interfaceAddress 0 or 127.0.0.1 means loopback; addresses in network order.
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender);
// Bytes sent; -2 for no endpoint, -3 for a receiver.
int aMulticast_Send(aMulticast* endpoint, const void* data, int length);
// Bytes received or -1 (1 s time-out); -2 for no endpoint, -3 for a sender.
int aMulticast_Receive(aMulticast* endpoint, void* buffer, int size);
// The endpoint's socket, for waiting on it beside other sockets; -1 for none.
int aMulticast_Descriptor(const aMulticast* endpoint);
// 0, or -2 for nothing to destroy.
int aMulticast_Destroy(aMulticast** endpoint);
