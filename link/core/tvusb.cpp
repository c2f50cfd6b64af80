// USB device record: open, close and the byte transfers in both modes.
#include "link/core/tvusb.h"

#include <errno.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <stdio.h>
#include <string.h>
#include <string>
#include <unistd.h>

#include "link/core/aDebug.h"
#include "link/core/aDefs.h"
#include "link/core/aThreadSanitizer.h"
#include "link/core/tvusbSysfs.h"

namespace {

std::mutex gNodeLock;
std::string gNodeDirectory = "/dev";

const tvusbTransferOps kLibusbOps = {libusb_bulk_transfer, libusb_clear_halt};

std::string sNodePath(const char* serialText) {
  std::lock_guard<std::mutex> guard(gNodeLock);
  return gNodeDirectory + "/tolvarine." + serialText;
}

// Four consecutive I/O errors in one direction are ridden out; the fifth
// fails the device for good. Any other result clears that direction's count.
// A tolerated error is reported as `tolerated`: for a read that is "not
// ready", so that no byte is taken as received and the reader reads again.
aErr sHandleErrorTolerance(tvusb* device, std::atomic<uint8_t>& errors, aErr result, aErr tolerated) {
  if (device->state == tvusbStateFailed) return aErrIO;
  if (result != aErrIO) {
    errors = 0;
    return result;
  }
  if (errors.fetch_add(1) < tvusbERROR_TOLERANCE) return tolerated;
  device->state = tvusbStateFailed;
  aTRACE(aTRACE_USB, "USB device %s failed after repeated errors\n", device->serial);
  return aErrIO;
}

aErr sStateError(int state) {
  if (state == tvusbStateClosed) return aErrConnection;
  if (state == tvusbStateCreated || state == tvusbStateOpened) return aErrNotReady;
  return aErrIO;
}

// Finds the vendor interface and its bulk endpoints in configuration 0.
aErr sFindEndpoints(tvusb* device, libusb_device* usbDevice) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(usbDevice, 0, &config) != LIBUSB_SUCCESS) return aErrConfiguration;
  const libusb_interface_descriptor* chosen = nullptr;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& iface = config->interface[i];
    for (int a = 0; a < iface.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = iface.altsetting[a];
      if (alt.bInterfaceClass == 0xFF && alt.bInterfaceSubClass == 0x88 && alt.bInterfaceProtocol == 0x10)
        chosen = &alt;  // the last match wins
    }
  }
  bool haveIn = false, haveOut = false;
  if (chosen != nullptr) {
    device->interfaceNumber = chosen->bInterfaceNumber;
    for (int e = 0; e < chosen->bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = chosen->endpoint[e];
      if ((ep.bmAttributes & 0x02) == 0) continue;
      if (ep.bEndpointAddress & 0x80) {
        device->inEndpoint = ep.bEndpointAddress;
        device->maxInPacket = ep.wMaxPacketSize;
        haveIn = true;
      } else {
        device->outEndpoint = ep.bEndpointAddress;
        device->maxOutPacket = ep.wMaxPacketSize;
        haveOut = true;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return haveIn && haveOut ? aErrNone : aErrConfiguration;
}

aErr sClaim(tvusb* device) {
  switch (libusb_claim_interface(device->handle, device->interfaceNumber)) {
    case LIBUSB_SUCCESS:
      device->state = tvusbStateReady;
      device->rxPos = device->rxCount = 0;
      return aErrNone;
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return aErrBusy;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    default: return aErrUnknown;
  }
}

// Opens one candidate and compares its serial-number string exactly. One
// that sysfs names as another module is passed over unopened: it may be in
// the middle of another program's update.
bool sMatches(tvusb* device, libusb_device* candidate, libusb_device_handle** handle) {
  if (tvusb_sysfs_names_another(libusb_get_bus_number(candidate), libusb_get_device_address(candidate),
                                device->serial))
    return false;
  libusb_device_descriptor descriptor;
  if (libusb_open(candidate, handle) != LIBUSB_SUCCESS) return false;
  unsigned char text[257] = {0};
  bool match = libusb_get_device_descriptor(candidate, &descriptor) == LIBUSB_SUCCESS &&
               libusb_get_string_descriptor_ascii(*handle, descriptor.iSerialNumber, text, 256) > 0 &&
               strcmp(reinterpret_cast<char*>(text), device->serial) == 0;
  if (!match) {
    libusb_close(*handle);
    *handle = nullptr;
  }
  return match;
}

}  // namespace

const tvusbTransferOps* tvusb_libusb_ops(void) { return &kLibusbOps; }

void tvusb_SetNodeDirectory(const char* directory) {
  std::lock_guard<std::mutex> guard(gNodeLock);
  gNodeDirectory = directory != nullptr ? directory : "/dev";
}

const char* tvusb_GetNodeDirectory(void) {
  std::lock_guard<std::mutex> guard(gNodeLock);
  return gNodeDirectory.c_str();
}

bool tvusb_kernel_node_exists(uint32_t serialNumber) {
  char text[16];
  snprintf(text, sizeof text, "%08X", serialNumber);
  return access(sNodePath(text).c_str(), F_OK) == 0;
}

bool is_tolvarine_device(const libusb_device_descriptor* descriptor) {
  return descriptor != nullptr && descriptor->idVendor == TOLVARINE_USB_VENDOR_ID &&
         descriptor->idProduct < TOLVARINE_USB_PRODUCT_RESERVED;
}

aErr tvusb_create_usb(uint32_t serialNumber, int mode, tvusb** device) {
  if (device == nullptr) return aErrParam;
  aThreadSanitizer_Hook();
  // Without a USB bus libusb cannot start: the device cannot be found.
  if (mode == tvusbMODE_LIBUSB && Tolvarine_libusb_context() == nullptr) return aErrNotFound;
  tvusb* created = new (std::nothrow) tvusb{};
  if (created == nullptr) return aErrMemory;
  created->mode = mode;
  snprintf(created->serial, sizeof created->serial, "%08X", serialNumber);
  created->state = tvusbStateCreated;
  created->fd = -1;
  created->ops = &kLibusbOps;
  *device = created;
  return aErrNone;
}

aErr tvusb_destroy(tvusb** device) {
  if (device == nullptr || *device == nullptr) return aErrParam;
  delete *device;
  *device = nullptr;
  return aErrNone;
}

aErr tvusb_open_tolvarine_device(tvusb* device) {
  if (device == nullptr) return aErrParam;
  return device->mode == tvusbMODE_LIBUSB ? tvusb_open_tolvarine_USBlib_device(device)
                                          : tvusb_open_tolvarine_kernel_device(device);
}

aErr tvusb_open_tolvarine_USBlib_device(tvusb* device) {
  if (device == nullptr) return aErrParam;
  if (device->mode != tvusbMODE_LIBUSB) return aErrMode;
  if (device->state == 0) return aErrResource;
  libusb_context* context = Tolvarine_libusb_context();
  if (context == nullptr) return aErrNotFound;
  device->context = context;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  aErr result = aErrNotFound;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
    if (!is_tolvarine_device(&descriptor)) continue;
    libusb_device_handle* handle = nullptr;
    if (!sMatches(device, list[i], &handle)) continue;
    device->handle = handle;
    device->state = tvusbStateOpened;
    result = sFindEndpoints(device, list[i]);
    if (result == aErrNone) result = sClaim(device);
    if (result != aErrNone) {
      device->state = tvusbStateClosed;
      libusb_close(device->handle);
      device->handle = nullptr;
    }
    break;
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  return result;
}

aErr tvusb_open_tolvarine_kernel_device(tvusb* device) {
  if (device == nullptr) return aErrParam;
  if (device->mode != tvusbMODE_KERNEL) return aErrMode;
  device->fd = open(sNodePath(device->serial).c_str(), O_RDWR | O_CLOEXEC);
  if (device->fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  device->state = tvusbStateReady;
  return aErrNone;
}

aErr tvusb_close(tvusb* device) {
  if (device == nullptr) return aErrParam;
  if (device->mode == tvusbMODE_KERNEL) {
    if (device->fd >= 0 && close(device->fd) != 0) return aErrCancel;
    device->fd = -1;
  } else if (device->handle != nullptr) {
    libusb_release_interface(device->handle, device->interfaceNumber);
    libusb_close(device->handle);
    device->handle = nullptr;
  }
  device->state = tvusbStateClosed;
  device->interfaceNumber = device->inEndpoint = device->outEndpoint = 0;
  return aErrNone;
}

aErr tvusb_get_from_USBlib_device(tvusb* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (device->mode != tvusbMODE_LIBUSB) return aErrMode;
  aErr result = aErrNone;
  if (device->rxCount == 0) {
    if (device->state != tvusbStateReady)
      return sHandleErrorTolerance(device, device->readErrors, sStateError(device->state), aErrNotReady);
    int got = 0;
    int status = tvusb_bulk_in(device, &got);
    if (status == LIBUSB_ERROR_PIPE) {
      device->ops->clearHalt(device->handle, device->inEndpoint);
      result = aErrNotReady;
    } else if (status == LIBUSB_ERROR_TIMEOUT && got == 0) {
      result = aErrNotReady;
    } else if (status != LIBUSB_SUCCESS && status != LIBUSB_ERROR_TIMEOUT) {
      result = aErrIO;
    } else {
      device->rxPos = 0;
      device->rxCount = static_cast<uint32_t>(got);
      if (got == 0) result = aErrNotReady;
    }
  }
  if (result == aErrNone && device->rxCount > 0) {
    *byte = device->rx[device->rxPos++];
    --device->rxCount;
  }
  return sHandleErrorTolerance(device, device->readErrors, result, aErrNotReady);
}

aErr tvusb_write_to_USBlib_device(tvusb* device, const uint8_t* data, uint32_t length) {
  if (device == nullptr || data == nullptr) return aErrParam;
  if (device->mode != tvusbMODE_LIBUSB) return aErrMode;
  if (device->state != tvusbStateReady)
    return sHandleErrorTolerance(device, device->writeErrors, sStateError(device->state), aErrNone);
  uint32_t maxChunk = device->maxOutPacket > 0 ? device->maxOutPacket : 64;
  uint32_t sent = 0;
  int failures = 0;
  while (sent < length && failures < tvusbWRITE_ATTEMPTS) {
    uint32_t chunk = length - sent < maxChunk ? length - sent : maxChunk;
    if (chunk == 512) chunk = 511;  // a chunk of exactly 512 bytes is cut to 511
    int done = 0;
    int status = device->ops->bulkTransfer(device->handle, device->outEndpoint,
                                           const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                                           &done, tvusbWRITE_TIMEOUT_MS);
    if (status == LIBUSB_SUCCESS) {
      device->writeErrors = 0;
      sent += chunk;
      continue;
    }
    ++failures;
    // A stall cleared and a time-out are tried again as they are. A failed
    // transfer (or a halt that will not clear) is an I/O error: ridden out
    // by trying the same bytes again, the fifth in a row fails the device,
    // as it does for reads.
    bool ioError = status != LIBUSB_ERROR_TIMEOUT &&
                   (status != LIBUSB_ERROR_PIPE || device->ops->clearHalt(device->handle, device->outEndpoint) != 0);
    if (ioError && sHandleErrorTolerance(device, device->writeErrors, aErrIO, aErrNone) != aErrNone) return aErrIO;
  }
  return sHandleErrorTolerance(device, device->writeErrors, sent < length ? aErrWrite : aErrNone, aErrNone);
}

aErr tvusb_get(tvusb* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (device->mode == tvusbMODE_LIBUSB) return tvusb_get_from_USBlib_device(device, byte);
  ssize_t n = read(device->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0 || errno == EFAULT) return aErrNotReady;
  return aErrIO;
}

aErr tvusb_write(tvusb* device, const uint8_t* data, uint32_t length) {
  if (device == nullptr || data == nullptr) return aErrParam;
  if (device->mode == tvusbMODE_LIBUSB) return tvusb_write_to_USBlib_device(device, data, length);
  uint32_t sent = 0;
  for (int call = 0; call < 1000 && sent < length; ++call) {
    ssize_t n = write(device->fd, data + sent, length - sent);
    if (n < 0) return aErrIO;
    sent += static_cast<uint32_t>(n);
  }
  return sent < length ? aErrIO : aErrNone;
}
