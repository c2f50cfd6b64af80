// How to reach one device: the fixed 128-byte link specifier, and the link
// types. The layout is fixed because the record also travels whole on the
// sharing server's discovery wire.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t linkType;

enum {
  linkTypeStream = 0,  // caller-supplied stream
  linkTypeUSB = 1,
  linkTypeTCPIP = 2,
  linkTypeSerial = 3,
  linkTypeClient = 4   // client of a link-sharing server
};

typedef struct linkSpec {
  uint32_t type;
  uint32_t serialNumber;
  uint32_t moduleAddress;
  uint32_t routerAddress;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    struct {
      uint32_t ipAddress;  // network byte order (types 2 and 4)
      uint32_t port;       // 16-bit value
    };
    struct {
      uint32_t baudRate;     // type 3
      char devicePath[100];  // type 3, NUL-terminated
    };
    uint8_t transport[104];  // bytes 24..127
  };
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");
static_assert(offsetof(linkSpec, model) == 20, "model at byte 20");
static_assert(offsetof(linkSpec, ipAddress) == 24, "ipAddress at byte 24");
static_assert(offsetof(linkSpec, port) == 28, "port at byte 28");
static_assert(offsetof(linkSpec, devicePath) == 28, "devicePath at byte 28");
