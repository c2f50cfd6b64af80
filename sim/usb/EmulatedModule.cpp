#include "EmulatedModule.h"

#include <arpa/inet.h>
#include <errno.h>
#include <glib-unix.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stddef.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace usbsim {

EmulatedModule::EmulatedModule(UMockdevTestbed* testbed_, UsbfsMount& usbfs_, ModuleIdentity identity_, std::string host_,
                               int port_)
    : testbed(testbed_), usbfs(usbfs_), identity(std::move(identity_)), host(std::move(host_)), port(port_) {}

EmulatedModule::~EmulatedModule() {
  unplug();
  closeStandIn();
}

bool EmulatedModule::plugged() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return current != nullptr;
}

std::string EmulatedModule::devnodeOf(int devnum) {
  char node[64];
  snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
  return node;
}

std::string EmulatedModule::devnode() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return current != nullptr ? devnodeOf(current->devnum) : "";
}

bool EmulatedModule::connectStandIn() {
  closeStandIn();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return false;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  socketFd = fd;
  standInGone = false;
  standInWatch = g_unix_fd_add(fd, G_IO_IN, onStandInBytes, this);
  return true;
}

void EmulatedModule::closeStandIn() {
  if (standInWatch != 0) g_source_remove(standInWatch);
  standInWatch = 0;
  if (socketFd >= 0) close(socketFd);
  socketFd = -1;
}

// The stand-in's reply completes the transfer waiting for it at once, and
// wakes its program's poll(); a stand-in that closed leaves the bus at once.
gboolean EmulatedModule::onStandInBytes(gint, GIOCondition, gpointer data) {
  EmulatedModule& module = *static_cast<EmulatedModule*>(data);
  std::lock_guard<std::recursive_mutex> guard(module.lock);
  module.takeStandInBytes();
  if (!module.standInGone) return G_SOURCE_CONTINUE;
  module.standInWatch = 0;  // this source ends with the return
  module.unplug();
  module.closeStandIn();
  return G_SOURCE_REMOVE;
}

bool EmulatedModule::plug(int devnum) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (plugged()) return true;
  if (socketFd < 0 && !connectStandIn()) return false;
  char path[128];
  snprintf(path, sizeof path, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", devnum);
  const std::string syspath = path;
  const std::string node = devnodeOf(devnum);
  std::string blob = hexUpper(descriptorBlob(identity));
  char ids[160];
  snprintf(ids, sizeof ids, "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: busnum=1\\n\nA: devnum=%d\\n\n",
           identity.vendor, identity.product, devnum);
  std::string description = "P: " + syspath + "\nE: SUBSYSTEM=usb\n" +
                            (announceArrivals ? "E: DEVTYPE=usb_device\n" : "") + "E: BUSNUM=001\nE: DEVNUM=" +
                            node.substr(17) + "\nE: DEVNAME=" + node + "\n" + ids +
                            "A: serial=" + identity.serial + "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n" +
                            "H: descriptors=" + blob + "\n";
  // The node is there before the device appears: a program that lists the
  // bus at that moment opens it at once. The testbed's /dev entry leads to
  // the node's file in the bridge's filesystem.
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  Node& added = nodes.emplace_back(this, devnum, "/sys" + syspath, root + node);
  g_free(root);
  const std::string served = usbfs.add(devnum, &added, descriptorBlob(identity));
  GError* error = nullptr;
  if (g_mkdir_with_parents(added.link.substr(0, added.link.rfind('/')).c_str(), 0755) != 0 ||
      symlink(served.c_str(), added.link.c_str()) != 0 ||
      !umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
    fprintf(stderr, "usb_bridge: cannot add %s: %s\n", identity.serial.c_str(),
            error != nullptr ? error->message : strerror(errno));
    if (error != nullptr) g_error_free(error);
    added.alive = false;  // its file stays, refusing requests
    return false;
  }
  current = &added;
  if (!announceArrivals) {
    // Adding a device raises an event by itself: this one was added as no
    // USB device, which a listener for USB devices passes over, and becomes
    // one now (or after the incomplete time), which raises nothing.
    if (incompleteMs > 0)
      completion = g_timeout_add(incompleteMs, onComplete, this);
    else
      umockdev_testbed_set_property(testbed, added.syspath.c_str(), "DEVTYPE", "usb_device");
    return true;
  }
  umockdev_testbed_uevent(testbed, added.syspath.c_str(), "add");
  return true;
}

gboolean EmulatedModule::onComplete(gpointer data) {
  EmulatedModule* module = static_cast<EmulatedModule*>(data);
  std::lock_guard<std::recursive_mutex> guard(module->lock);
  module->completion = 0;
  if (module->plugged())
    umockdev_testbed_set_property(module->testbed, module->current->syspath.c_str(), "DEVTYPE", "usb_device");
  return G_SOURCE_REMOVE;
}

void EmulatedModule::unplug() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (completion != 0) g_source_remove(completion);
  completion = 0;
  if (!plugged()) return;
  disconnect(*current);
  // The device leaves sysfs as a real one does; programs still holding its
  // node keep the file, which tells them that the device is gone.
  umockdev_testbed_uevent(testbed, current->syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed, current->syspath.c_str());
  unlink(current->link.c_str());
  current = nullptr;
  received.clear();
}

void EmulatedModule::poll(int& nextDevnum) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  takeStandInBytes();
  if (standInGone && plugged()) {
    unplug();
    closeStandIn();
  }
  replug(nextDevnum);
}

void EmulatedModule::replug(int& nextDevnum) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (!plugged() && autoReplug && connectStandIn()) plug(nextDevnum++);
}

// Takes whatever the stand-in has sent, without waiting.
void EmulatedModule::pump() {
  if (socketFd < 0) return;
  char chunk[4096];
  for (;;) {
    ssize_t n = recv(socketFd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      received.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) standInGone = true;
    return;
  }
}

void* EmulatedModule::Node::open() {
  std::lock_guard<std::recursive_mutex> guard(module->lock);
  ++module->openCount;
  return &clients.emplace_back();
}

// The file's transfers and its claim go with it, as the kernel releases them.
void EmulatedModule::Node::release(void* file) {
  std::lock_guard<std::recursive_mutex> guard(module->lock);
  if (claimant == file) claimant = nullptr;
  clients.remove_if([file](const Client& client) { return &client == file; });
}

int EmulatedModule::Node::ioctl(void* file, UsbfsRequest& asked) {
  std::lock_guard<std::recursive_mutex> guard(module->lock);
  ++module->requestCount;
  return module->request(*this, *static_cast<Client*>(file), asked);
}

// As usbfs: writable while a completed transfer waits for its reap, hung up
// once the device is gone.
unsigned EmulatedModule::Node::poll(void* file, fuse_pollhandle* waiter) {
  std::lock_guard<std::recursive_mutex> guard(module->lock);
  Client& client = *static_cast<Client*>(file);
  client.waiter.reset(waiter);
  unsigned events = 0;
  if (std::any_of(client.urbs.begin(), client.urbs.end(), [](const Urb& urb) { return urb.done; }))
    events |= POLLOUT | POLLWRNORM;
  if (!alive) events |= POLLHUP | POLLERR;
  return events;
}

void EmulatedModule::disconnect(Node& node) {
  node.alive = false;
  for (Client& client : node.clients) {
    for (Urb& urb : client.urbs) {
      if (!urb.done) urb.status = -ESHUTDOWN;
      urb.done = true;
    }
    client.waiter.wake();
  }
}

bool EmulatedModule::claim(Node& node, Client& client) {
  if (node.claimant != nullptr && node.claimant != &client) return false;
  node.claimant = &client;
  return true;
}

void EmulatedModule::stallNext(uint8_t endpoint, int afterOuts) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  Faults& target = afterOuts > 0 ? pending : live;
  (endpoint & 0x80 ? target.stallIn : target.stallOut) = true;
  if (afterOuts > 0) outsBeforePending = afterOuts;
}

void EmulatedModule::failNext(int count, int directions, int afterOuts) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  Faults& target = afterOuts > 0 ? pending : live;
  target.failures = count;
  target.failDirections = directions;
  if (afterOuts > 0) outsBeforePending = afterOuts;
}

void EmulatedModule::countOut() {
  if (outsBeforePending == 0 || --outsBeforePending > 0) return;
  live.stallIn = live.stallIn || pending.stallIn;
  live.stallOut = live.stallOut || pending.stallOut;
  if (pending.failures > 0) {
    live.failures = pending.failures;
    live.failDirections = pending.failDirections;
  }
  pending = Faults{};
}

void EmulatedModule::answerControl(pid_t caller, Urb& urb) {
  usb_ctrlrequest setup;
  if (urb.length < static_cast<int>(sizeof setup) || !readCaller(caller, urb.buffer, &setup, sizeof setup)) {
    urb.status = -EFAULT;
    return;
  }
  std::string reply;
  if (setup.bRequest == USB_REQ_GET_DESCRIPTOR && (setup.wValue >> 8) == USB_DT_STRING)
    reply = stringDescriptor(static_cast<uint8_t>(setup.wValue & 0xFF), identity);
  size_t n = std::min({reply.size(), static_cast<size_t>(setup.wLength), urb.length - sizeof setup});
  urb.data = reply.substr(0, n);
  urb.offset = sizeof setup;  // the data stage follows the setup packet
  urb.actual = static_cast<int>(n);
  urb.status = reply.empty() ? -EPIPE : 0;  // an unknown request stalls ep0
}

int EmulatedModule::submit(Node& node, Client& client, pid_t caller, uint64_t address) {
  usbdevfs_urb urb;
  if (!readCaller(caller, address, &urb, sizeof urb)) return -EFAULT;
  if (urb.buffer_length < 0) return -EINVAL;
  // A bulk transfer claims the interface when nobody holds it, as usbfs does.
  if (urb.type == USBDEVFS_URB_TYPE_BULK && !claim(node, client)) return -EBUSY;
  const bool in = (urb.endpoint & 0x80) != 0;
  Urb& added = client.urbs.emplace_back(
      Urb{address, reinterpret_cast<uint64_t>(urb.buffer), urb.buffer_length, in, true, 0, 0, {}, 0});
  if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
    answerControl(caller, added);
  } else if (urb.type != USBDEVFS_URB_TYPE_BULK) {
    added.status = -EINVAL;
  } else if (live.failures > 0 && (live.failDirections & (in ? kIn : kOut)) != 0) {
    --live.failures;
    added.status = -EPROTO;
  } else if (stallOf(urb.endpoint)) {
    added.status = -EPIPE;
  } else if (!in) {
    outLengths.push_back(urb.buffer_length);
    std::string bytes(static_cast<size_t>(urb.buffer_length), '\0');
    ssize_t sent = socketFd < 0 || !readCaller(caller, added.buffer, bytes.data(), bytes.size())
                       ? -1
                       : send(socketFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    added.status = sent == urb.buffer_length ? 0 : -EPROTO;
    added.actual = sent > 0 ? static_cast<int>(sent) : 0;
    if (added.status == 0) countOut();
  } else {
    added.done = false;  // completed when the stand-in has bytes
    completeIn(node);
    return 0;
  }
  client.waiter.wake();
  return 0;
}

// Whoever reads the stand-in's bytes hands them on at once: a transfer
// waiting for them is never left to its time-out.
void EmulatedModule::takeStandInBytes() {
  if (current != nullptr)
    completeIn(*current);
  else
    pump();
}

// Bulk IN data goes to the client holding the interface.
void EmulatedModule::completeIn(Node& node) {
  pump();
  if (node.claimant == nullptr || !node.alive) return;
  bool completed = false;
  for (Urb& waiting : node.claimant->urbs) {
    if (waiting.done || !waiting.in || received.empty()) continue;
    size_t n = std::min(static_cast<size_t>(waiting.length), received.size());
    waiting.data = received.substr(0, n);
    received.erase(0, n);
    waiting.actual = static_cast<int>(n);
    waiting.status = 0;
    waiting.done = true;
    completed = true;
  }
  if (completed) node.claimant->waiter.wake();
}

// The oldest completed transfer goes back to its program: its data, status
// and length in the program's usbdevfs_urb, and its address in the slot.
int EmulatedModule::reap(Client& client, pid_t caller, uint64_t slot) {
  auto ready = std::find_if(client.urbs.begin(), client.urbs.end(), [](const Urb& urb) { return urb.done; });
  if (ready == client.urbs.end()) return -EAGAIN;
  const Urb urb = std::move(*ready);
  client.urbs.erase(ready);
  bool written = writeCaller(caller, {{urb.buffer + urb.offset, urb.data.data(), urb.data.size()},
                                      {urb.address + offsetof(usbdevfs_urb, status), &urb.status, sizeof urb.status},
                                      {urb.address + offsetof(usbdevfs_urb, actual_length), &urb.actual,
                                       sizeof urb.actual},
                                      {slot, &urb.address, sizeof urb.address}});
  return written ? 0 : -EFAULT;
}

int EmulatedModule::request(Node& node, Client& client, UsbfsRequest& asked) {
  if (standInGone && node.alive) disconnect(node);
  // A module that is gone refuses everything new; what completed is reaped.
  if (!node.alive && asked.command != USBDEVFS_REAPURB && asked.command != USBDEVFS_REAPURBNDELAY &&
      asked.command != USBDEVFS_DISCARDURB)
    return -ENODEV;
  switch (asked.command) {
    case USBDEVFS_GET_CAPABILITIES: {
      // One URB per transfer: no packet-size limit.
      uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
      asked.out.assign(reinterpret_cast<const char*>(&value), sizeof value);
      return 0;
    }
    case USBDEVFS_CLAIMINTERFACE:
      return claim(node, client) ? 0 : -EBUSY;
    case USBDEVFS_RELEASEINTERFACE:
      if (node.claimant != &client) return -EINVAL;
      node.claimant = nullptr;
      return 0;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESETEP:
      return 0;
    case USBDEVFS_CLEAR_HALT: {
      unsigned endpoint = 0;
      if (!readCaller(asked.caller, asked.argument, &endpoint, sizeof endpoint)) return -EFAULT;
      stallOf(static_cast<uint8_t>(endpoint)) = false;
      return 0;
    }
    case USBDEVFS_GETDRIVER:
      return -ENODATA;  // no kernel driver bound
    case USBDEVFS_SUBMITURB:
      return submit(node, client, asked.caller, asked.argument);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      int result = reap(client, asked.caller, asked.argument);
      return result == -EAGAIN && !node.alive ? -ENODEV : result;
    }
    case USBDEVFS_DISCARDURB:
      // A cancelled transfer (libusb's time-out) is reaped with -ENOENT.
      for (Urb& urb : client.urbs) {
        if (urb.address == asked.argument && !urb.done) {
          urb.status = -ENOENT;
          urb.done = true;
          client.waiter.wake();
          return 0;
        }
      }
      return -EINVAL;
    default:
      return -ENOTTY;
  }
}

}  // namespace usbsim
