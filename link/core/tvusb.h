// USB device record of a module's USB stream: through libusb (bulk IN/OUT on
// the vendor interface class 0xFF, subclass 0x88, protocol 0x10) or through
// the optional kernel driver node "/dev/tolvarine.%08X".
#pragma once

#include <libusb-1.0/libusb.h>
#include <stdint.h>

#include <atomic>

#include "link/core/aErr.h"

#define tvusbMODE_KERNEL 0
#define tvusbMODE_LIBUSB 1

enum {
  tvusbStateCreated = 1,
  tvusbStateClosed = 2,    // closed or lost
  tvusbStateOpened = 3,    // found and opened, interface not claimed
  tvusbStateReady = 4,
  tvusbStateFailed = 5     // error tolerance exhausted
};

#define tvusbRX_SIZE 1024
#define tvusbREAD_TIMEOUT_MS 1000
#define tvusbWRITE_TIMEOUT_MS 50
#define tvusbWRITE_ATTEMPTS 10
#define tvusbERROR_TOLERANCE 4

// The libusb calls that move bytes; a test replaces them to exercise the
// chunking and error rules without a bus.
typedef struct tvusbTransferOps {
  int (*bulkTransfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                      int length, int* transferred, unsigned int timeout);
  int (*clearHalt)(libusb_device_handle* handle, unsigned char endpoint);
} tvusbTransferOps;

// The link's reader and writer threads use one record at once: the state and
// the error counts are atomic; everything else belongs to one direction
// or is set before the threads start.
typedef struct tvusb {
  int mode;
  char serial[260];
  libusb_device_handle* handle;
  std::atomic<int> state;
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;
  uint8_t rx[tvusbRX_SIZE];
  uint32_t rxPos;
  uint32_t rxCount;
  uint16_t maxInPacket;
  uint16_t maxOutPacket;
  // Consecutive I/O errors, counted for each direction apart: the reader's
  // traffic must not hide a run of failed writes, nor the writer's a run of
  // failed reads.
  std::atomic<uint8_t> readErrors;
  std::atomic<uint8_t> writeErrors;
  int fd;
  const tvusbTransferOps* ops;
} tvusb;

// Process-wide libusb context, created on first use; null when libusb cannot
// be initialised (a machine without a USB bus).
libusb_context* Tolvarine_libusb_context(void);
libusb_context* Tolvarine_libusb_init(void);
void Tolvarine_libusb_exit(void);

const tvusbTransferOps* tvusb_libusb_ops(void);

// Directory of the kernel driver's nodes, "/dev" unless a test points it
// elsewhere (never set from the command line).
void tvusb_SetNodeDirectory(const char* directory);
const char* tvusb_GetNodeDirectory(void);
bool tvusb_kernel_node_exists(uint32_t serialNumber);

aErr tvusb_create_usb(uint32_t serialNumber, int mode, tvusb** device);
aErr tvusb_destroy(tvusb** device);
aErr tvusb_open_tolvarine_device(tvusb* device);
aErr tvusb_open_tolvarine_USBlib_device(tvusb* device);
aErr tvusb_open_tolvarine_kernel_device(tvusb* device);
aErr tvusb_close(tvusb* device);
bool is_tolvarine_device(const libusb_device_descriptor* descriptor);

// Byte-level transfers; libusb results pass through the error tolerance.
aErr tvusb_get(tvusb* device, uint8_t* byte);
aErr tvusb_write(tvusb* device, const uint8_t* data, uint32_t length);
aErr tvusb_get_from_USBlib_device(tvusb* device, uint8_t* byte);
aErr tvusb_write_to_USBlib_device(tvusb* device, const uint8_t* data, uint32_t length);
