// The steps that the update, discovery and recovery commands share: module
// queries, the link configuration for an unshared link, package checks and
// the two transfer phases of the upgrade protocol.
#pragma once

#include <stdint.h>

#include <functional>

#include "app/UpdaterDisplayInterface.h"
#include "bird/BirdFile.h"
#include "link/api/Module.h"
#include "link/core/aErr.h"
#include "link/core/linkSpec.h"
#include "link/core/tvusb.h"
#include "updater/DeviceInfo.h"

// 127.0.0.1 as it lies in memory (network byte order): the interface handed
// to every discovery call.
constexpr uint32_t kLoopbackInterface = 0x0100007F;

unsigned _get_build_number(Veltrane::Tolvarine::Module& module);
// The build query that discovery asks, waiting up to `reply_ms` for the
// answer; false when none came.
bool _read_build_number(Veltrane::Tolvarine::Module& module, uint32_t reply_ms, unsigned& build);
aErr _get_version(Veltrane::Tolvarine::Module& module, DeviceInfo& info);
aErr _get_device_name(Veltrane::Tolvarine::Module& module, DeviceInfo& info);
aErr _disableEther(Veltrane::Tolvarine::Module& module, UpdaterDisplayInterface& display);

// Up to 15 attempts to find and connect the module over USB, refreshing the
// process-wide USB context before every third; true once connected. After a
// failed attempt the next one waits up to a second, and comes as soon as a
// module arrives on the bus. A module that re-enumerates (after its loader
// starts, or a live loader coming up) may need a fresh enumeration to be seen.
bool _await_usb_module(Veltrane::Tolvarine::Module& module, unsigned serial);

// The wait after a failed USB attempt, up to a second until the next one: a
// module that arrives on the bus is looked for at once (`look`, true once
// connected), and again at short intervals while it settles, since it may not
// open at the very moment it appears. True once a look connected.
bool _wait_for_next_usb_attempt(tvusbArrivals* arrivals, const std::function<bool()>& look);

// Waits up to `ceiling_ms` for the module's link to drop, looking every few
// milliseconds; true once it is down.
bool _await_link_drop(Veltrane::Tolvarine::Module& module, uint32_t ceiling_ms);

linkType _discover_link_type(unsigned serial);
uint8_t _discovered_device(const linkSpec* spec, bool* success, void* ref);
uint8_t _discovered_link(const linkSpec* spec, bool* success, void* ref);

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& package, Veltrane::Tolvarine::Module& module,
                        unsigned serial);
aErr _transfer_loader(UpdaterDisplayInterface& display, Veltrane::Tolvarine::Module& module, BirdFile& package);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Veltrane::Tolvarine::Module& module, BirdFile& package,
                        bool indirect, bool uei_bytes_load);

// After REBOOT: waits up to 15 s for the module to come back on the way it
// was updated (over USB, over TCP/IP by its serial number, or through the
// router) and compares the build it runs with the package's. Says which on
// the display; true when it runs the build written, or, for a package
// without a build to compare, once it answers again. `running_build` is the
// build the module reported, 0 when it did not answer.
bool _verify_update(UpdaterDisplayInterface& display, Veltrane::Tolvarine::Module& module, unsigned serial,
                    bool routed, const BirdFile& package, unsigned& running_build);
