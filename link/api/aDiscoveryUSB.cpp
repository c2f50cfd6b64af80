// USB search: the family's devices on the library's libusb context, each
// known by its 8-digit upper-case hexadecimal serial-number string.
#include <libusb-1.0/libusb.h>
#include <string.h>

#include "link/api/aDiscoveryInternal.h"
#include "link/core/aDebug.h"
#include "link/core/aDefs.h"
#include "link/core/aUSBAccess.h"
#include "link/core/tvusb.h"
#include "link/core/tvusbSysfs.h"

namespace {

// The stream opens a device by comparing its serial string with the serial
// number printed as "%08X": only such texts can be connected, so only such
// texts are listed.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serialNumber) {
  if (length != 8) return false;
  uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    unsigned char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = (value << 4) | digit;
  }
  *serialNumber = value;
  return true;
}

bool sIsModule(const libusb_device_descriptor& descriptor) {
  return descriptor.idVendor == TOLVARINE_USB_VENDOR_ID &&
         (descriptor.idProduct & TOLVARINE_USB_PRODUCT_RESERVED) == 0;
}

// A module the user may not open is left out of the listing like any other
// device that cannot be opened, but it is named so the user learns why.
void sReportDenied(libusb_device* device, const libusb_device_descriptor& descriptor) {
  aUSBAccessDenied denied;
  memset(&denied, 0, sizeof denied);
  denied.bus = libusb_get_bus_number(device);
  denied.address = libusb_get_device_address(device);
  denied.vendor = descriptor.idVendor;
  denied.product = descriptor.idProduct;
  aUSBAccess_ReadSerial(denied.bus, denied.address, denied.serial, sizeof denied.serial);
  aUSBAccess_ReportDenied(&denied);
}

}  // namespace

uint32_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference, const char* onlySerial) {
  libusb_context* context = Tolvarine_libusb_context();
  if (context == nullptr) {
    aTRACE(aTRACE_DISCOVERY, "aDiscovery USB: no libusb context\n");
    return 0;
  }
  libusb_device** list = nullptr;
  ssize_t devices = libusb_get_device_list(context, &list);
  if (devices < 0) {
    aTRACE(aTRACE_DISCOVERY, "aDiscovery USB: device list failed: %d\n", static_cast<int>(devices));
    return 0;
  }
  uint32_t count = 0;
  bool goOn = true;
  for (ssize_t i = 0; i < devices && goOn; ++i) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS) continue;
    if (!sIsModule(descriptor)) continue;
    if (onlySerial != nullptr &&
        tvusb_sysfs_names_another(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]), onlySerial))
      continue;
    libusb_device_handle* handle = nullptr;
    int opened = libusb_open(list[i], &handle);
    if (opened == LIBUSB_ERROR_ACCESS) sReportDenied(list[i], descriptor);
    if (opened != LIBUSB_SUCCESS || handle == nullptr) continue;
    unsigned char serial[32] = {};
    int length = 0;
    if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS && descriptor.iSerialNumber != 0) {
      length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial, sizeof serial);
    }
    uint32_t serialNumber = 0;
    if (sParseSerial(serial, length, &serialNumber)) {
      linkSpec spec;
      memset(&spec, 0, sizeof spec);
      spec.type = linkTypeUSB;
      spec.serialNumber = serialNumber;
      spec.model = descriptor.idProduct & 0xFF;
      spec.ipAddress = serialNumber;
      bool success = false;
      goOn = callback(&spec, &success, reference) != 0;
      if (success) ++count;
      aTRACE(aTRACE_DISCOVERY, "aDiscovery USB: SN: 0x%08X - Model: %d - taken: %d\n", serialNumber,
             static_cast<int>(spec.model), success ? 1 : 0);
    } else {
      aTRACE(aTRACE_DISCOVERY, "aDiscovery USB: skipping serial string of length %d\n", length);
    }
    libusb_close(handle);
  }
  libusb_free_device_list(list, 1);
  return count;
}
