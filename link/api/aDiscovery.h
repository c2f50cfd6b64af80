// Device discovery: finds the modules reachable on one transport and hands
// each, as a filled linkSpec, to a callback.
//   USB      by vendor and product identifier and the serial-number string
//   TCP/IP   a UDP multicast request (232.2.2.2:9888), 16-byte replies on 9889
//   aEther   shared links offered by sharing servers: a loopback multicast
//            probe (224.0.0.7, ports 9850+i / 9950+i) or UDP beacons (8585)
#pragma once

#include <stdint.h>

#include "link/core/aErr.h"
#include "link/core/linkSpec.h"

// Sets *success when it takes the module (counted); returns 1 to go on, 0 to stop.
// The linkSpec record lives only for the call: a callback that keeps it copies it.
typedef uint8_t (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* success, void* reference);

// Number of modules whose callback set success. interfaceAddress (network
// byte order) is used by the aEther search only.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                                     uint32_t interfaceAddress);
// A new heap record of the module with this serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t interfaceAddress);
// The first module whose serial number is non-zero, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t interfaceAddress);
uint32_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                            uint32_t interfaceAddress);

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t max);
uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, uint32_t size);

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);
