#include "app/UsbAccessNotice.h"

#include <string>

#include "link/core/aDefs.h"

namespace {

constexpr uint16_t kRomVendor = 0x1FC9;
constexpr uint16_t kRomProduct = 0x0130;

}  // namespace

UsbAccessNotice::UsbAccessNotice(UpdaterDisplayInterface& display) : m_display(display) {
  aUSBAccess_SetDeniedProc(denied, this);
}

UsbAccessNotice::~UsbAccessNotice() { aUSBAccess_SetDeniedProc(nullptr, nullptr); }

void UsbAccessNotice::denied(const aUSBAccessDenied* device, void* reference) {
  auto* self = static_cast<UsbAccessNotice*>(reference);
  if (!self->m_named.insert({device->bus, device->address}).second) return;
  std::string what;
  if (device->vendor == TOLVARINE_USB_VENDOR_ID) {
    what = "Tolvarine module";
  } else if (device->vendor == kRomVendor && device->product == kRomProduct) {
    what = "i.MX boot loader";
  } else {
    return;
  }
  if (device->serial[0] != '\0') what += std::string(" ") + device->serial;
  self->m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Permission denied opening %s on USB bus %03u address %03u: install the udev rule "
                          "70-updater.rules that comes with Updater and plug the device in again, or run as root "
                          "(see man Updater)",
                          what.c_str(), static_cast<unsigned>(device->bus), static_cast<unsigned>(device->address));
}
