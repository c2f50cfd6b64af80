// TCP/IP search: a 16-byte multicast request from every IPv4 interface to
// 232.2.2.2:9888; modules answer with a 16-byte record to port 9889.
//
// The reply port is fixed, and of several sockets bound to it Linux hands a
// unicast reply to one only (the one bound last). Processes searching at the
// same time would take each other's replies, so a search holds a host-wide
// lock from binding the reply port to closing it: one process at a time has
// the port, hears every module, and a search that found its module lets go
// at once. The lock is per network namespace, as the port is.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "link/api/aDiscoveryInternal.h"
#include "link/core/aDebug.h"
#include "link/core/aHostLock.h"

namespace {

// A listing keeps the port for its whole reply window; a search waits for a
// few of those before it goes on without the lock.
constexpr uint32_t kReplyPortLockWaitMs = 3 * aDISCOVERY_TCPIP_WAIT_MS;

// "tolvarine-discovery-NET.lock", NET naming this process's network namespace.
void sReplyPortLockName(char* name, size_t size) {
  char link[64] = {};
  ssize_t n = readlink("/proc/self/ns/net", link, sizeof link - 1);
  char part[48] = {};
  if (n > 0) aHostLock_NamePart(link, part, sizeof part);
  snprintf(name, size, "tolvarine-discovery%s%s.lock", part[0] != '\0' ? "-" : "", part);
}

int sTakeReplyPort(void) {
  char name[96];
  sReplyPortLockName(name, sizeof name);
  int lock = aHostLock_Acquire(name, kReplyPortLockWaitMs);
  if (lock < 0) aTRACE(aTRACE_DISCOVERY, "aDiscovery TCPIP: searching without the reply port lock %s\n", name);
  return lock;
}

// A module answers every request it hears, the other processes' too.
bool sAlreadySeen(std::vector<linkSpec>& seen, const linkSpec& spec) {
  for (const linkSpec& earlier : seen) {
    if (earlier.serialNumber == spec.serialNumber && earlier.ipAddress == spec.ipAddress &&
        earlier.port == spec.port && earlier.moduleAddress == spec.moduleAddress)
      return true;
  }
  seen.push_back(spec);
  return false;
}

int sOpenReplySocket(void) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  timeval wait{aDISCOVERY_TCPIP_WAIT_MS / 1000, (aDISCOVERY_TCPIP_WAIT_MS % 1000) * 1000};
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = htons(aDISCOVERY_TCPIP_REPLY_PORT);
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    aTRACE(aTRACE_DISCOVERY, "aDiscovery TCPIP: reply socket failed\n");
    close(fd);
    return -1;
  }
  return fd;
}

// One request from its own socket; interfaceAddress 0 lets the system choose.
bool sSendRequest(uint32_t interfaceAddress, bool chooseInterface) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  int one = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
  if (ok && chooseInterface) {
    in_addr local{};
    local.s_addr = interfaceAddress;
    ok = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0;
  }
  if (ok) {
    uint8_t request[aDISCOVERY_TCPIP_RECORD] = {1};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_TCPIP_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_TCPIP_GROUP, &group.sin_addr);
    ok = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
         static_cast<ssize_t>(sizeof request);
  }
  close(fd);
  return ok;
}

// Requests on every IPv4 interface but 127.0.0.1 and 0.0.0.0; once without
// an interface when the list cannot be read. Result: requests sent.
int sSendRequests(void) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sSendRequest(0, false) ? 1 : 0;
  int sent = 0;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (address == aDiscovery_LoopbackAddress() || address == htonl(INADDR_ANY)) continue;
    if (sSendRequest(address, true)) {
      ++sent;
      aTRACE(aTRACE_DISCOVERY, "aDiscovery TCPIP: request sent on %s\n", entry->ifa_name);
    }
  }
  freeifaddrs(list);
  return sent;
}

uint32_t sLittle32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

bool aDiscovery_TCPIPReplySpec(const uint8_t* reply, size_t size, uint32_t source, linkSpec* spec) {
  // Serial number and port must be present; the model may be missing.
  if (size < 8) {
    aTRACE(aTRACE_DISCOVERY, "aDiscovery TCPIP: short reply of %d bytes ignored\n", static_cast<int>(size));
    return false;
  }
  memset(spec, 0, sizeof *spec);
  spec->type = linkTypeTCPIP;
  spec->moduleAddress = reply[1];
  spec->routerAddress = reply[1];
  spec->port = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8;
  spec->serialNumber = sLittle32(reply + 4);
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = size > 12 ? reply[12] : 255;
  spec->ipAddress = source;
  return true;
}

uint32_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference) {
  int lock = sTakeReplyPort();
  int replies = sOpenReplySocket();
  int sent = sSendRequests();
  uint32_t count = 0;
  if (sent > 0 && replies >= 0) {
    std::vector<linkSpec> seen;
    for (;;) {
      uint8_t reply[aDISCOVERY_TCPIP_RECORD + 1] = {};
      sockaddr_in source{};
      socklen_t size = sizeof source;
      ssize_t n = recvfrom(replies, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&source), &size);
      if (n < 0) break;
      linkSpec spec;
      if (!aDiscovery_TCPIPReplySpec(reply, static_cast<size_t>(n), source.sin_addr.s_addr, &spec)) continue;
      if (sAlreadySeen(seen, spec)) continue;
      aTRACE(aTRACE_DISCOVERY, "aDiscovery TCPIP: SN: 0x%08X - Port: %d - Address: %d - Model: %d\n",
             spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.moduleAddress),
             static_cast<int>(spec.model));
      bool success = false;
      uint8_t goOn = callback(&spec, &success, reference);
      if (success) ++count;
      if (goOn == 0) break;
    }
  }
  if (replies >= 0) close(replies);
  aHostLock_Release(lock);
  return count;
}
