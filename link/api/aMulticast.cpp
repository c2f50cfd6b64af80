// UDP multicast endpoint of the aEther probe and of the sharing server.
#include "link/api/aMulticast.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "link/core/aDebug.h"

#define aMULTICAST_CHECK 0xACA5
#define aMULTICAST_WAIT_MS 1000

struct aMulticast {
  uint16_t check;
  bool sender;
  int fd;
  addrinfo* group;      // group address with the port
  addrinfo* bindTo;     // sender: interface, port 0; receiver: any, the port
  addrinfo* interface;  // interface, port 0
};

namespace {

addrinfo* sResolve(const char* host, uint16_t port, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  char service[8];
  snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo* result = nullptr;
  int error = getaddrinfo(host, service, &hints, &result);
  if (error != 0) {
    aTRACE(aTRACE_MULTICAST, "getaddrinfo() failed with error code %d\n", error);
    return nullptr;
  }
  return result;
}

const char* sDotted(uint32_t address, char* text, size_t size) {
  in_addr value{};
  value.s_addr = address;
  return inet_ntop(AF_INET, &value, text, static_cast<socklen_t>(size));
}

void sRelease(aMulticast* endpoint) {
  if (endpoint->fd >= 0) close(endpoint->fd);
  if (endpoint->group != nullptr) freeaddrinfo(endpoint->group);
  if (endpoint->bindTo != nullptr) freeaddrinfo(endpoint->bindTo);
  if (endpoint->interface != nullptr) freeaddrinfo(endpoint->interface);
  endpoint->check = 0;
  free(endpoint);
}

bool sValid(const aMulticast* endpoint) { return endpoint != nullptr && endpoint->check == aMULTICAST_CHECK; }

bool sConfigure(aMulticast* endpoint, uint32_t interfaceAddress, uint32_t groupAddress) {
  int fd = endpoint->fd;
  int off = 0;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(SO_REUSEADDR) failed with error code %d\n", errno);
    return false;
  }
  if (!endpoint->sender &&
      bind(fd, endpoint->bindTo->ai_addr, endpoint->bindTo->ai_addrlen) != 0) {
    aTRACE(aTRACE_MULTICAST, "bind() failed with error code %d\n", errno);
    return false;
  }
  ip_mreq membership{};
  membership.imr_multiaddr.s_addr = groupAddress;
  membership.imr_interface.s_addr = interfaceAddress;
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(IP_ADD_MEMBERSHIP) failed with error code %d\n", errno);
    return false;
  }
  in_addr local{};
  local.s_addr = interfaceAddress;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(IP_MULTICAST_IF) failed with error code %d\n", errno);
    return false;
  }
  unsigned char ttl = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(IP_MULTICAST_TTL) failed with error code %d\n", errno);
    return false;
  }
  timeval wait{aMULTICAST_WAIT_MS / 1000, (aMULTICAST_WAIT_MS % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(SO_RCVTIMEO) failed with error code %d\n", errno);
    return false;
  }
  unsigned char loop = 1;
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
    aTRACE(aTRACE_MULTICAST, "setsockopt(IP_MULTICAST_LOOP) failed with error code %d\n", errno);
    return false;
  }
  return true;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port, bool sender) {
  uint32_t loopback = htonl(INADDR_LOOPBACK);
  if (interfaceAddress == 0) interfaceAddress = loopback;
  char interfaceText[INET_ADDRSTRLEN];
  char groupText[INET_ADDRSTRLEN];
  if (sDotted(interfaceAddress, interfaceText, sizeof interfaceText) == nullptr ||
      sDotted(groupAddress, groupText, sizeof groupText) == nullptr) {
    return nullptr;
  }
  aMulticast* endpoint = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
  if (endpoint == nullptr) return nullptr;
  endpoint->check = aMULTICAST_CHECK;
  endpoint->sender = sender;
  endpoint->fd = -1;
  endpoint->group = sResolve(groupText, port, false);
  endpoint->bindTo = sender ? sResolve(interfaceText, 0, false) : sResolve(nullptr, port, true);
  endpoint->interface = sResolve(interfaceText, 0, false);
  if (endpoint->group == nullptr || endpoint->bindTo == nullptr || endpoint->interface == nullptr) {
    sRelease(endpoint);
    return nullptr;
  }
  endpoint->fd = socket(endpoint->group->ai_family, endpoint->group->ai_socktype, endpoint->group->ai_protocol);
  if (endpoint->fd < 0) {
    aTRACE(aTRACE_MULTICAST, "socket() failed with error code %d\n", errno);
    sRelease(endpoint);
    return nullptr;
  }
  if (!sConfigure(endpoint, interfaceAddress, groupAddress)) {
    sRelease(endpoint);
    return nullptr;
  }
  return endpoint;
}

int aMulticast_Send(aMulticast* endpoint, const void* data, int length) {
  if (!sValid(endpoint)) return -2;
  if (!endpoint->sender) return -3;
  if (data == nullptr || length < 0) return -1;
  ssize_t sent = sendto(endpoint->fd, data, static_cast<size_t>(length), 0, endpoint->group->ai_addr,
                        endpoint->group->ai_addrlen);
  if (sent < 0) {
    aTRACE(aTRACE_MULTICAST, "sendto() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* endpoint, void* buffer, int size) {
  if (!sValid(endpoint)) return -2;
  if (endpoint->sender) return -3;
  if (buffer == nullptr || size < 0) return -1;
  ssize_t received = recvfrom(endpoint->fd, buffer, static_cast<size_t>(size), 0, nullptr, nullptr);
  if (received < 0) {
    aTRACE(aTRACE_MULTICAST, "recvfrom() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(received);
}

int aMulticast_Descriptor(const aMulticast* endpoint) { return sValid(endpoint) ? endpoint->fd : -1; }

int aMulticast_Destroy(aMulticast** endpoint) {
  if (endpoint == nullptr || !sValid(*endpoint)) return -2;
  sRelease(*endpoint);
  *endpoint = nullptr;
  return 0;
}
