// Modules of the family arriving on the bus. A module that re-enumerates is
// looked for again as soon as it is back instead of on a fixed beat.
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <new>
#include <set>
#include <thread>

#include "link/core/aDefs.h"
#include "link/core/tvusb.h"

#define tvusbLIST_INTERVAL_MS 20

struct tvusbArrivals {
  uint32_t generation = 0;
  libusb_context* context = nullptr;
  bool hotplug = false;
  libusb_hotplug_callback_handle callback = 0;
  std::atomic<bool> arrived{false};  // set by the callback, on the thread that handles events
  std::set<std::pair<uint8_t, uint8_t>> present;  // bus and address, when listing
};

namespace {

int LIBUSB_CALL sArrived(libusb_context*, libusb_device*, libusb_hotplug_event, void* reference) {
  static_cast<std::atomic<bool>*>(reference)->store(true);
  return 0;  // stay registered
}

// Bus and address of every module of the family; each new device gets a new address.
std::set<std::pair<uint8_t, uint8_t>> sListFamily(libusb_context* context) {
  std::set<std::pair<uint8_t, uint8_t>> found;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS && is_tolvarine_device(&descriptor))
      found.emplace(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  return found;
}

// Follows the process-wide context: a refreshed one took our registration with it.
void sAttach(tvusbArrivals* arrivals) {
  uint32_t generation = Tolvarine_libusb_generation();
  if (arrivals->context != nullptr && generation == arrivals->generation) return;
  arrivals->generation = generation;
  arrivals->context = Tolvarine_libusb_context();
  arrivals->hotplug = false;
  if (arrivals->context == nullptr) return;
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    arrivals->hotplug =
        libusb_hotplug_register_callback(arrivals->context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0,
                                         TOLVARINE_USB_VENDOR_ID, LIBUSB_HOTPLUG_MATCH_ANY,
                                         LIBUSB_HOTPLUG_MATCH_ANY, sArrived, &arrivals->arrived,
                                         &arrivals->callback) == LIBUSB_SUCCESS;
  }
  if (!arrivals->hotplug) arrivals->present = sListFamily(arrivals->context);
}

bool sNewcomer(tvusbArrivals* arrivals) {
  std::set<std::pair<uint8_t, uint8_t>> now = sListFamily(arrivals->context);
  bool arrived = false;
  for (const auto& device : now) arrived = arrived || arrivals->present.count(device) == 0;
  arrivals->present.swap(now);
  return arrived;
}

}  // namespace

tvusbArrivals* tvusb_arrivals_open(void) {
  tvusbArrivals* arrivals = new (std::nothrow) tvusbArrivals();
  if (arrivals != nullptr) sAttach(arrivals);
  return arrivals;
}

void tvusb_arrivals_close(tvusbArrivals** arrivals) {
  if (arrivals == nullptr || *arrivals == nullptr) return;
  tvusbArrivals* watch = *arrivals;
  if (watch->hotplug && watch->generation == Tolvarine_libusb_generation())
    libusb_hotplug_deregister_callback(watch->context, watch->callback);
  delete watch;
  *arrivals = nullptr;
}

bool tvusb_arrivals_await(tvusbArrivals* arrivals, uint32_t milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  if (arrivals == nullptr) {
    std::this_thread::sleep_until(deadline);
    return false;
  }
  sAttach(arrivals);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (arrivals->context == nullptr) {
      std::this_thread::sleep_until(deadline);
      return false;
    }
    if (arrivals->hotplug) {
      if (arrivals->arrived) break;
      if (left.count() <= 0) return false;
      timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
      libusb_handle_events_timeout_completed(arrivals->context, &wait, nullptr);
    } else {
      if (sNewcomer(arrivals)) return true;
      if (left.count() <= 0) return false;
      std::this_thread::sleep_for(std::min<std::chrono::microseconds>(
          left, std::chrono::milliseconds(tvusbLIST_INTERVAL_MS)));
    }
  }
  arrivals->arrived = false;
  return true;
}
