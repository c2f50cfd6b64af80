// Shared between the discovery sources: the per-transport searches behind
// aDiscovery_EnumerateModules and the wire constants they use.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "link/api/aDiscovery.h"

#define aDISCOVERY_TCPIP_GROUP "232.2.2.2"
#define aDISCOVERY_TCPIP_REQUEST_PORT 9888
#define aDISCOVERY_TCPIP_REPLY_PORT 9889
#define aDISCOVERY_TCPIP_WAIT_MS 2000
#define aDISCOVERY_TCPIP_RECORD 16

#define aDISCOVERY_ETHER_GROUP "224.0.0.7"
#define aDISCOVERY_ETHER_REQUEST_PORT 9850
#define aDISCOVERY_ETHER_REPLY_PORT 9950
#define aDISCOVERY_ETHER_PORTS 50
#define aDISCOVERY_ETHER_MAGIC 0xABCDDCBAu

#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_PAYLOAD "Tolvarine2-Discovery"
#define aDISCOVERY_BEACON_PAYLOAD_SIZE 20
#define aDISCOVERY_BEACON_INTERVAL_MS 100
#define aDISCOVERY_BEACON_WAIT_MS 100
#define aDISCOVERY_BEACON_RECEIVES 22

#define aDISCOVERY_INTERFACE_LIMIT 50

// 127.0.0.1 in network byte order, whatever the host's order.
uint32_t aDiscovery_LoopbackAddress(void);

// With `onlySerial` (the serial-number string, or null for every module),
// a device that sysfs names as another module is passed over unopened.
uint32_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference, const char* onlySerial);
// One TCP/IP discovery reply of `size` bytes from `source` (network byte
// order) as a link specifier; false when too short to name a module. Apart
// from the socket so that it can be tested and fuzzed on its own.
bool aDiscovery_TCPIPReplySpec(const uint8_t* reply, size_t size, uint32_t source, linkSpec* spec);
uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference);
// Servers on this host: the loopback multicast probe of the discovery ports.
uint32_t aDiscovery_ProbeMulticast(aDiscoveryModuleFoundProc callback, void* reference, bool local);
// Servers on the current beacon interface (the caller holds the beacon lock).
uint32_t aDiscovery_SearchBeacons(aDiscoveryModuleFoundProc callback, void* reference, bool local);
