// usb_bridge: emulated Tolvarine modules on a umockdev testbed, each carrying
// its bulk transfers to a module stand-in over TCP. The modules' device nodes
// are files of a FUSE filesystem the bridge serves (<dir>/usbfs).
//
// Prints "UMOCKDEV_DIR=<dir>" first (or "error ..." when it cannot start);
// programs run with that variable and LD_PRELOAD="<bridge's folder>/
// libtv_usbfs_preload.so libumockdev-preload.so.0" see the emulated devices.
// Commands on stdin, one per line, each answered with "ok ..." or "error ...":
//   add SERIAL PRODUCT HOST PORT [MAXPACKET]   plug a module (PRODUCT in hex)
//   remove SERIAL                              unplug it for good
//   replug SERIAL                              unplug and plug again
//   stall SERIAL in|out [after N]              stall the next transfer
//   fail SERIAL COUNT [in|out|both] [after N]  fail the next COUNT transfers
//                                              (of that direction; both when
//                                              not named); "after N" waits
//                                              until N more bulk OUT transfers
//                                              went through
//   plugged SERIAL                             "ok 1" while the module is on the bus
//   outs SERIAL                                lengths of the bulk OUT transfers
//                                              since the last outs: "ok N N ..." 
//   hid SERIAL VENDOR PRODUCT HOST PORT        a HID device (ids in hex); reports
//                                              framed as 2-byte length + bytes
//   hotplug 0|1 [SERIAL]                       with 0, modules plugged from now on
//                                              raise no hotplug event that a USB
//                                              listener takes: they only appear
//                                              in sysfs (default 1); with SERIAL,
//                                              that module's plugs only
//   opens SERIAL                               how often programs opened the
//                                              module's device node
//   requests SERIAL                            how many requests (ioctls) they
//                                              made on it
//   incomplete MS                              with hotplug 0, modules plugged from
//                                              now on show their vendor in sysfs MS
//                                              ms before they become USB devices
//                                              that an enumeration lists (default 0)
//   quit
// A stand-in that closes its connection unplugs its module; when it accepts
// again the module is plugged in again (re-enumeration).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "EmulatedHid.h"
#include "EmulatedModule.h"
#include "UsbfsMount.h"

namespace {

constexpr uint16_t kVendor = 0x7A5C;
// How often the stand-ins' connections are looked at for drops and bytes.
constexpr guint kTickMs = 20;
// How often a stand-in that is away is looked for: a real module enumerates
// as soon as it has booted, so a stand-in that is back is plugged in within
// a few milliseconds, not on a slow beat that would add to every
// re-enumeration. Only modules off the bus are touched: the transfers of
// a plugged one are handled on umockdev's worker thread.
constexpr guint kReturnTickMs = 2;

struct Bridge {
  UMockdevTestbed* testbed = nullptr;
  usbsim::UsbfsMount usbfs;
  GMainLoop* loop = nullptr;
  std::map<std::string, std::unique_ptr<usbsim::EmulatedModule>> modules;
  std::map<std::string, std::unique_ptr<usbsim::EmulatedHid>> hids;
  int nextDevnum = 2;
  bool hotplug = true;
  unsigned incompleteMs = 0;
  std::string pendingInput;
};

void reply(const std::string& text) {
  printf("%s\n", text.c_str());
  fflush(stdout);
}

usbsim::EmulatedModule* find(Bridge& bridge, const std::string& serial) {
  auto it = bridge.modules.find(serial);
  return it == bridge.modules.end() ? nullptr : it->second.get();
}

// The optional "after N" of a fault switch; `seenAfter` when the word
// "after" was read already.
int readAfter(std::istringstream& words, bool seenAfter = false) {
  std::string word;
  if (!seenAfter && !(words >> word && word == "after")) return 0;
  int count = 0;
  words >> count;
  return count > 0 ? count : 0;
}

void command(Bridge& bridge, const std::string& line) {
  std::istringstream words(line);
  std::string verb, serial;
  words >> verb >> serial;
  usbsim::EmulatedModule* module = find(bridge, serial);
  if (verb == "quit") {
    g_main_loop_quit(bridge.loop);
    reply("ok");
  } else if (verb == "add") {
    std::string product, host;
    int port = 0;
    unsigned maxPacket = 512;
    words >> product >> host >> port;
    if (!(words >> maxPacket)) maxPacket = 512;
    if (module != nullptr || host.empty() || port <= 0) return reply("error bad add");
    usbsim::ModuleIdentity id{kVendor, static_cast<uint16_t>(strtoul(product.c_str(), nullptr, 16)), serial,
                              static_cast<uint16_t>(maxPacket)};
    auto created = std::make_unique<usbsim::EmulatedModule>(bridge.testbed, bridge.usbfs, id, host, port);
    created->setAnnounceArrivals(bridge.hotplug);
    created->setIncompleteMs(bridge.incompleteMs);
    if (!created->plug(bridge.nextDevnum++)) return reply("error cannot reach stand-in");
    std::string node = created->devnode();
    bridge.modules[serial] = std::move(created);
    reply("ok " + node);
  } else if (verb == "hotplug") {
    std::string only;
    const bool on = serial != "0";
    if (words >> only) {
      usbsim::EmulatedModule* target = find(bridge, only);
      if (target == nullptr) return reply("error unknown module");
      target->setAnnounceArrivals(on);
      return reply("ok");
    }
    bridge.hotplug = on;
    for (auto& entry : bridge.modules) entry.second->setAnnounceArrivals(bridge.hotplug);
    reply("ok");
  } else if (verb == "incomplete") {
    bridge.incompleteMs = static_cast<unsigned>(strtoul(serial.c_str(), nullptr, 10));
    for (auto& entry : bridge.modules) entry.second->setIncompleteMs(bridge.incompleteMs);
    reply("ok");
  } else if (verb == "hid") {
    std::string vendor, product, host;
    int port = 0;
    words >> vendor >> product >> host >> port;
    if (bridge.hids.count(serial) != 0 || host.empty() || port <= 0) return reply("error bad hid");
    auto created = std::make_unique<usbsim::EmulatedHid>(
        bridge.testbed, static_cast<uint16_t>(strtoul(vendor.c_str(), nullptr, 16)),
        static_cast<uint16_t>(strtoul(product.c_str(), nullptr, 16)), serial, host, port);
    if (!created->plug(bridge.nextDevnum++, static_cast<int>(bridge.hids.size()))) {
      return reply("error cannot reach stand-in");
    }
    std::string node = created->devnode();
    bridge.hids[serial] = std::move(created);
    reply("ok " + node);
  } else if (module == nullptr) {
    reply("error unknown module");
  } else if (verb == "remove") {
    module->setAutoReplug(false);
    module->unplug();
    reply("ok");
  } else if (verb == "replug") {
    module->unplug();
    module->plug(bridge.nextDevnum++);
    reply("ok " + module->devnode());
  } else if (verb == "stall") {
    std::string which;
    words >> which;
    module->stallNext(which == "in" ? usbsim::kEndpointIn : usbsim::kEndpointOut, readAfter(words));
    reply("ok");
  } else if (verb == "opens") {
    reply("ok " + std::to_string(module->opens()));
  } else if (verb == "requests") {
    reply("ok " + std::to_string(module->requests()));
  } else if (verb == "plugged") {
    reply(module->plugged() ? "ok 1" : "ok 0");
  } else if (verb == "outs") {
    std::string lengths = "ok";
    for (int length : module->takeOutLengths()) lengths.append(" ").append(std::to_string(length));
    reply(lengths);
  } else if (verb == "fail") {
    int count = 0;
    words >> count;
    std::string which;
    int directions = usbsim::EmulatedModule::kBoth;
    if (words >> which && which != "after") {
      directions = which == "in" ? usbsim::EmulatedModule::kIn
                   : which == "out" ? usbsim::EmulatedModule::kOut
                                    : usbsim::EmulatedModule::kBoth;
      which.clear();
    }
    module->failNext(count, directions, readAfter(words, which == "after"));
    reply("ok");
  } else {
    reply("error unknown command");
  }
}

gboolean onInput(GIOChannel*, GIOCondition condition, gpointer data) {
  Bridge& bridge = *static_cast<Bridge*>(data);
  char chunk[1024];
  ssize_t n = (condition & G_IO_IN) ? read(STDIN_FILENO, chunk, sizeof chunk) : 0;
  if (n <= 0) {
    g_main_loop_quit(bridge.loop);  // the harness went away
    return FALSE;
  }
  bridge.pendingInput.append(chunk, static_cast<size_t>(n));
  for (size_t end; (end = bridge.pendingInput.find('\n')) != std::string::npos;) {
    std::string line = bridge.pendingInput.substr(0, end);
    bridge.pendingInput.erase(0, end + 1);
    if (!line.empty()) command(bridge, line);
  }
  return TRUE;
}

gboolean onTick(gpointer data) {
  Bridge& bridge = *static_cast<Bridge*>(data);
  for (auto& entry : bridge.modules) entry.second->poll(bridge.nextDevnum);
  return TRUE;
}

gboolean onReturnTick(gpointer data) {
  Bridge& bridge = *static_cast<Bridge*>(data);
  for (auto& entry : bridge.modules) entry.second->replug(bridge.nextDevnum);
  return TRUE;
}

}  // namespace

int main() {
  Bridge bridge;
  bridge.testbed = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(bridge.testbed);
  const std::string testbed = root;
  g_free(root);
  std::string why;
  if (!bridge.usbfs.mount(testbed, why)) {
    reply("error " + why);
    g_object_unref(bridge.testbed);
    return 1;
  }
  bridge.loop = g_main_loop_new(nullptr, FALSE);
  reply("UMOCKDEV_DIR=" + testbed);

  GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
  g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onInput, &bridge);
  g_timeout_add(kTickMs, onTick, &bridge);
  g_timeout_add(kReturnTickMs, onReturnTick, &bridge);
  g_main_loop_run(bridge.loop);

  // Unmounted first: no request reaches a module once it goes, and the
  // testbed's folder can be removed.
  bridge.usbfs.stop();
  bridge.modules.clear();
  bridge.hids.clear();
  g_io_channel_unref(input);
  g_main_loop_unref(bridge.loop);
  g_object_unref(bridge.testbed);  // removes the testbed's directory
  return 0;
}
