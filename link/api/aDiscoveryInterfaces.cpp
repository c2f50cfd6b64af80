// The host's IPv4 interface addresses and their dotted text.
#include <arpa/inet.h>
#include <czmq.h>
#include <string.h>

#include "link/api/aDiscovery.h"

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t max) {
  if (addresses == nullptr || max == 0) return 0;
  ziflist_t* list = ziflist_new();
  if (list == nullptr) return 0;
  uint32_t count = 0;
  for (const char* name = ziflist_first(list); name != nullptr && count < max; name = ziflist_next(list)) {
    const char* text = ziflist_address(list);
    in_addr address{};
    if (text != nullptr && inet_pton(AF_INET, text, &address) == 1) addresses[count++] = address.s_addr;
  }
  ziflist_destroy(&list);
  return count;
}

uint32_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return 0;
  memset(text, 0, size);
  if (size <= 15) return 0;
  in_addr value{};
  value.s_addr = address;
  if (inet_ntop(AF_INET, &value, text, size) == nullptr) {
    memset(text, 0, size);
    return 0;
  }
  return static_cast<uint32_t>(strlen(text));
}
