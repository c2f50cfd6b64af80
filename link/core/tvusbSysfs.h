// What sysfs shows of the USB devices, read without opening them: opening a
// device to read its serial-number string is a transfer on a bus that other
// programs may be updating their own modules on.
#pragma once

#include <stdint.h>

#include <set>
#include <utility>

using tvusbBusAddress = std::pair<uint8_t, uint8_t>;

// Bus and address of every module of the family that sysfs shows; only the
// one with the serial-number string `serial` unless that is empty.
std::set<tvusbBusAddress> tvusb_sysfs_family(const char* serial);

// True when sysfs shows the device at `bus` and `address` with another
// serial-number string than `serial`; false when it shows it with that one,
// or does not tell (no sysfs, no such device, no serial attribute).
bool tvusb_sysfs_names_another(uint8_t bus, uint8_t address, const char* serial);
