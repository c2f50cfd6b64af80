// USB devices that a search or a connect found but could not open for lack
// of permission. Without a word the user would only see an empty listing, so
// the library hands each such device to one process-wide procedure that the
// program installs (the command line prints it); nothing is said otherwise.
#pragma once

#include <stdint.h>

typedef struct aUSBAccessDenied {
  uint8_t bus;
  uint8_t address;  // device number on that bus
  uint16_t vendor;
  uint16_t product;
  char serial[64];  // the serial-number string, empty when it could not be read
} aUSBAccessDenied;

typedef void (*aUSBAccessDeniedProc)(const aUSBAccessDenied* device, void* reference);

// Null removes the procedure.
void aUSBAccess_SetDeniedProc(aUSBAccessDeniedProc proc, void* reference);
void aUSBAccess_ReportDenied(const aUSBAccessDenied* device);

// The serial-number string of the USB device at bus/address as the kernel
// read it at enumeration (sysfs): readable where the device node is not.
// Empty when unknown.
void aUSBAccess_ReadSerial(uint8_t bus, uint8_t address, char* serial, uint32_t size);
// Bus and address of the USB device behind a hidraw node ("/dev/hidraw0").
bool aUSBAccess_HidrawLocation(const char* node, uint8_t* bus, uint8_t* address);
