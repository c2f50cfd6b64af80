// Modules of the family arriving on the bus. A module that re-enumerates is
// looked for again as soon as it is back instead of on a fixed beat.
//
// libusb keeps its device list up to date from the kernel's hotplug events,
// which do not reach every environment (a container in its own network
// namespace gets none): sysfs is read at short intervals as well, and a
// module that shows there while libusb does not know it makes the context
// anew, which enumerates the bus again.
#include <stdio.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <new>
#include <set>
#include <thread>

#include "link/core/aDefs.h"
#include "link/core/tvusb.h"
#include "link/core/tvusbSysfs.h"

#define tvusbLIST_INTERVAL_MS 20
#define tvusbSYSFS_INTERVAL_MS 4

struct tvusbArrivals {
  // With a serial number, only that module's arrival counts: the other
  // modules re-enumerating on the bus (one process per module updating
  // them) would otherwise each end the wait or make the context anew.
  char serial[9] = {};
  uint32_t generation = 0;
  libusb_context* context = nullptr;
  bool hotplug = false;
  libusb_hotplug_callback_handle callback = 0;
  std::atomic<bool> arrived{false};  // set by the callback, on the thread that handles events
  std::set<tvusbBusAddress> present;  // bus and address, when listing
  // Modules of the family in sysfs that libusb knows (or that a new context
  // was made for); one that is not here yet is a newcomer.
  std::set<tvusbBusAddress> known;
  // Newcomers libusb did not list at the last look: its event may be late.
  std::set<tvusbBusAddress> unlisted;
};

namespace {

int LIBUSB_CALL sArrived(libusb_context*, libusb_device* device, libusb_hotplug_event, void* reference) {
  tvusbArrivals* arrivals = static_cast<tvusbArrivals*>(reference);
  // Another module's arrival, where sysfs tells whose it is.
  if (arrivals->serial[0] != '\0' &&
      tvusb_sysfs_names_another(libusb_get_bus_number(device), libusb_get_device_address(device), arrivals->serial))
    return 0;
  arrivals->arrived.store(true);
  return 0;  // stay registered
}

// Bus and address of every module of the family; each new device gets a new address.
std::set<tvusbBusAddress> sListFamily(libusb_context* context) {
  std::set<tvusbBusAddress> found;
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

// What the context enumerated is known; anything else in sysfs is looked at
// while waiting.
void sLearnKnown(tvusbArrivals* arrivals) {
  std::set<tvusbBusAddress> listed = sListFamily(arrivals->context);
  arrivals->known.clear();
  arrivals->unlisted.clear();
  for (const auto& device : tvusb_sysfs_family(arrivals->serial))
    if (listed.count(device) != 0) arrivals->known.insert(device);
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
                                         LIBUSB_HOTPLUG_MATCH_ANY, sArrived, arrivals,
                                         &arrivals->callback) == LIBUSB_SUCCESS;
  }
  if (!arrivals->hotplug) arrivals->present = sListFamily(arrivals->context);
  sLearnKnown(arrivals);
}

// True when sysfs shows a module of the family that libusb has not listed
// at two looks in a row (its own event would have come by then): the
// context is then made anew, which lists it.
bool sUnheardArrival(tvusbArrivals* arrivals) {
  std::set<tvusbBusAddress> shown = tvusb_sysfs_family(arrivals->serial), unlisted;
  std::set<tvusbBusAddress> listed;
  bool listedYet = false;
  bool arrived = false;
  for (const auto& device : shown) {
    if (arrivals->known.count(device) != 0) continue;
    if (!listedYet) {
      listed = sListFamily(arrivals->context);
      listedYet = true;
    }
    if (listed.count(device) != 0) {
      arrivals->known.insert(device);  // its event is on its way
    } else if (arrivals->unlisted.count(device) != 0) {
      arrived = true;
    } else {
      unlisted.insert(device);
    }
  }
  // A module that left sysfs may come back at the same address.
  for (auto it = arrivals->known.begin(); it != arrivals->known.end();)
    it = shown.count(*it) == 0 ? arrivals->known.erase(it) : std::next(it);
  arrivals->unlisted.swap(unlisted);
  if (!arrived) return false;
  if (arrivals->hotplug && arrivals->generation == Tolvarine_libusb_generation())
    libusb_hotplug_deregister_callback(arrivals->context, arrivals->callback);
  Tolvarine_libusb_exit();
  arrivals->context = nullptr;
  sAttach(arrivals);
  return true;
}

bool sNewcomer(tvusbArrivals* arrivals) {
  std::set<tvusbBusAddress> now = sListFamily(arrivals->context);
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

void tvusb_arrivals_only(tvusbArrivals* arrivals, uint32_t serial) {
  if (arrivals == nullptr) return;
  snprintf(arrivals->serial, sizeof arrivals->serial, "%08X", serial);
  if (arrivals->context != nullptr) sLearnKnown(arrivals);
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
      if (sUnheardArrival(arrivals)) return true;
      if (left.count() <= 0) return false;
      auto slice = std::min<std::chrono::microseconds>(left, std::chrono::milliseconds(tvusbSYSFS_INTERVAL_MS));
      timeval wait{static_cast<time_t>(slice.count() / 1000000), static_cast<suseconds_t>(slice.count() % 1000000)};
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
