// USB device record of a module's USB stream: through libusb (bulk IN/OUT on
// the vendor interface class 0xFF, subclass 0x88, protocol 0x10) or through
// the optional kernel driver node "/dev/tolvarine.%08X".
#pragma once

#include <libusb-1.0/libusb.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

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
  // The context the handle was opened in: a refresh of the process-wide
  // context must not send this device's transfers elsewhere.
  libusb_context* context;
  // The IN transfer a read waits on, so that tvusb_interrupt can cancel it;
  // an interrupt that finds none ends the next read's wait instead.
  std::mutex inLock;
  libusb_transfer* inTransfer;
  bool interruptPending;
} tvusb;

// Process-wide libusb context, created on first use; null when libusb cannot
// be initialised (a machine without a USB bus).
libusb_context* Tolvarine_libusb_context(void);
libusb_context* Tolvarine_libusb_init(void);
void Tolvarine_libusb_exit(void);
// Counts the contexts torn down, so that a holder of the old one can tell.
uint32_t Tolvarine_libusb_generation(void);

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

// Ends the reader's IN transfer at once (not-ready, as a time-out that
// brought nothing); with none in progress, the next read's.
void tvusb_interrupt(tvusb* device);

// The IN transfer of a read (into rx, up to tvusbREAD_TIMEOUT_MS) with
// libusb_bulk_transfer's results; tvusb_interrupt cuts it short.
int tvusb_bulk_in(tvusb* device, int* transferred);

// Watches the bus for modules of the family arriving, from its opening on:
// libusb's hotplug arrival events where the platform gives them, otherwise
// a listing of the devices at short intervals.
typedef struct tvusbArrivals tvusbArrivals;
tvusbArrivals* tvusb_arrivals_open(void);
// Only the module with this serial number makes the context anew when it
// shows in sysfs unheard; other modules re-enumerating beside it do not.
void tvusb_arrivals_only(tvusbArrivals* arrivals, uint32_t serial);
void tvusb_arrivals_close(tvusbArrivals** arrivals);
// Waits up to `milliseconds` for an arrival since the last wait (or the
// opening); true when one came. Survives a refresh of the context.
bool tvusb_arrivals_await(tvusbArrivals* arrivals, uint32_t milliseconds);

// Byte-level transfers; libusb results pass through the error tolerance.
aErr tvusb_get(tvusb* device, uint8_t* byte);
aErr tvusb_write(tvusb* device, const uint8_t* data, uint32_t length);
aErr tvusb_get_from_USBlib_device(tvusb* device, uint8_t* byte);
aErr tvusb_write_to_USBlib_device(tvusb* device, const uint8_t* data, uint32_t length);
