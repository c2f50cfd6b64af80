#include "EmulatedModule.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace usbsim {

namespace {

usbdevfs_urb* urbOf(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

UMockdevIoctlData* resolveBuffer(UMockdevIoctlData* urbData) {
  GError* error = nullptr;
  UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                                          static_cast<gsize>(urbOf(urbData)->buffer_length), &error);
  if (error != nullptr) g_error_free(error);
  return buffer;
}

}  // namespace

EmulatedModule::EmulatedModule(UMockdevTestbed* testbed_, ModuleIdentity identity_, std::string host_, int port_)
    : testbed(testbed_), identity(std::move(identity_)), host(std::move(host_)), port(port_) {
  server = std::thread(&EmulatedModule::serve, this);
}

EmulatedModule::~EmulatedModule() {
  // No new requests, then the thread ends; what it had not taken fails.
  for (Node& node : nodes) {
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed, devnodeOf(node.devnum).c_str(), &error);
    if (error != nullptr) g_error_free(error);
  }
  {
    std::lock_guard<std::mutex> guard(jobsLock);
    stopping = true;
  }
  jobsReady.notify_one();
  server.join();
  for (Job& job : jobs) {
    if (!job.vanished) umockdev_ioctl_client_complete(job.client, -1, ENODEV);
    g_object_unref(job.client);
  }
  unplug();
  closeStandIn();
  for (Node& node : nodes) {
    g_object_unref(node.handler);
    for (auto& [client, urbs] : node.urbs)
      for (Urb& urb : urbs) g_object_unref(urb.data);
  }
}

void EmulatedModule::post(Job job) {
  g_object_ref(job.client);
  {
    std::lock_guard<std::mutex> guard(jobsLock);
    if (!stopping) {
      jobs.push_back(job);
      jobsReady.notify_one();
      return;
    }
  }
  if (!job.vanished) umockdev_ioctl_client_complete(job.client, -1, ENODEV);
  g_object_unref(job.client);
}

void EmulatedModule::serve() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(jobsLock);
      jobsReady.wait(guard, [this] { return stopping || !jobs.empty(); });
      if (stopping) return;
      job = jobs.front();
      jobs.pop_front();
    }
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      if (job.vanished)
        vanish(*job.node, job.client);
      else
        handle(*job.node, job.client);
    }
    g_object_unref(job.client);
  }
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
  return true;
}

void EmulatedModule::closeStandIn() {
  if (socketFd >= 0) close(socketFd);
  socketFd = -1;
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
  std::string description = "P: " + syspath + "\nN: bus/usb/001/" + node.substr(17) + "=" + blob +
                            "\nE: SUBSYSTEM=usb\n" + (announceArrivals ? "E: DEVTYPE=usb_device\n" : "") + "E: BUSNUM=001\nE: DEVNUM=" +
                            node.substr(17) + "\nE: DEVNAME=" + node + "\n" + ids +
                            "A: serial=" + identity.serial + "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n" +
                            "H: descriptors=" + blob + "\n";
  // The ioctl channel goes up before the device appears: a program that
  // lists the bus at that moment opens the node at once, and the preload
  // library ends a program whose node has no channel yet.
  GError* error = nullptr;
  nodes.push_back(Node{this, devnum, "/sys" + syspath, umockdev_ioctl_base_new(), {}, nullptr, true});
  Node& added = nodes.back();
  g_signal_connect(added.handler, "handle-ioctl", G_CALLBACK(onIoctl), &added);
  g_signal_connect(added.handler, "client-connected", G_CALLBACK(onClientConnected), &added);
  g_signal_connect(added.handler, "client-vanished", G_CALLBACK(onClientVanished), &added);
  if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), added.handler, &error)) {
    fprintf(stderr, "usb_bridge: cannot attach %s: %s\n", node.c_str(), error->message);
    g_error_free(error);
    g_object_unref(added.handler);
    nodes.pop_back();
    return false;
  }
  if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
    fprintf(stderr, "usb_bridge: cannot add %s: %s\n", identity.serial.c_str(), error->message);
    g_error_free(error);
    umockdev_testbed_detach_ioctl(testbed, node.c_str(), nullptr);
    g_object_unref(added.handler);
    nodes.pop_back();
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
  current->alive = false;
  // The sysfs device stays, but without descriptors and vendor enumeration
  // skips it; removing it would also cut the ioctl channel of programs that
  // still hold the node open, and they must learn that the device is gone.
  umockdev_testbed_set_attribute(testbed, current->syspath.c_str(), "idVendor", "0000\n");
  umockdev_testbed_set_attribute_binary(testbed, current->syspath.c_str(), "descriptors", nullptr, 0);
  umockdev_testbed_uevent(testbed, current->syspath.c_str(), "remove");
  current = nullptr;
  received.clear();
}

void EmulatedModule::poll(int& nextDevnum) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  pump();
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

gboolean EmulatedModule::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Node& node = *static_cast<Node*>(data);
  node.module->post({&node, client, false});  // answered on the module's thread
  return TRUE;
}

void EmulatedModule::onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer data) {
  ++static_cast<Node*>(data)->module->openCount;
}

// After the client's last request: the module's thread takes them in order.
void EmulatedModule::onClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Node& node = *static_cast<Node*>(data);
  node.module->post({&node, client, true});
}

// A client that umockdev reports gone gives up its transfers and the
// interface, as the kernel releases them when the file goes.
void EmulatedModule::vanish(Node& node, UMockdevIoctlClient* client) {
  auto found = node.urbs.find(client);
  if (found != node.urbs.end()) {
    for (Urb& urb : found->second) g_object_unref(urb.data);
    node.urbs.erase(found);
  }
  if (node.claimant == client) node.claimant = nullptr;
}

bool EmulatedModule::claim(Node& node, UMockdevIoctlClient* client) {
  if (node.claimant != nullptr && node.claimant != client) return false;
  node.claimant = client;
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

void EmulatedModule::answerControl(UMockdevIoctlData* urbData) {
  usbdevfs_urb* urb = urbOf(urbData);
  UMockdevIoctlData* buffer = resolveBuffer(urbData);
  if (buffer == nullptr) {  // the client went away with the request in flight
    urb->status = -ESHUTDOWN;
    return;
  }
  const usb_ctrlrequest* setup = reinterpret_cast<const usb_ctrlrequest*>(buffer->data);
  std::string reply;
  if (setup->bRequest == USB_REQ_GET_DESCRIPTOR && (setup->wValue >> 8) == USB_DT_STRING) {
    reply = stringDescriptor(static_cast<uint8_t>(setup->wValue & 0xFF), identity);
  }
  size_t room = static_cast<size_t>(std::max(0, urb->buffer_length - 8));
  size_t n = std::min({reply.size(), static_cast<size_t>(setup->wLength), room});
  memcpy(buffer->data + 8, reply.data(), n);
  urb->actual_length = static_cast<int>(n);
  urb->status = reply.empty() ? -EPIPE : 0;  // an unknown request stalls ep0
  g_object_unref(buffer);
}

void EmulatedModule::submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* urbData) {
  usbdevfs_urb* urb = urbOf(urbData);
  std::deque<Urb>& urbs = node.urbs[client];
  urb->actual_length = 0;
  bool in = (urb->endpoint & 0x80) != 0;
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    answerControl(urbData);
  } else if (urb->type != USBDEVFS_URB_TYPE_BULK) {
    urb->status = -EINVAL;
  } else if (live.failures > 0 && (live.failDirections & (in ? kIn : kOut)) != 0) {
    --live.failures;
    urb->status = -EPROTO;
  } else if (stallOf(urb->endpoint)) {
    urb->status = -EPIPE;
  } else if (!in) {
    outLengths.push_back(urb->buffer_length);
    UMockdevIoctlData* buffer = resolveBuffer(urbData);
    ssize_t sent = socketFd < 0 || buffer == nullptr
                       ? -1
                       : send(socketFd, buffer->data, static_cast<size_t>(urb->buffer_length), MSG_NOSIGNAL);
    if (buffer != nullptr) g_object_unref(buffer);
    urb->status = sent == urb->buffer_length ? 0 : -EPROTO;
    urb->actual_length = sent > 0 ? static_cast<int>(sent) : 0;
    if (urb->status == 0) countOut();
  } else {
    urbs.push_back({urbData, false});  // completed when the stand-in has bytes
    return;
  }
  urbs.push_back({urbData, true});
}

// Bulk IN data goes to the client holding the interface.
void EmulatedModule::completeIn(Node& node) {
  pump();
  if (node.claimant == nullptr) return;
  for (Urb& pending : node.urbs[node.claimant]) {
    if (pending.done || received.empty()) continue;
    usbdevfs_urb* urb = urbOf(pending.data);
    UMockdevIoctlData* buffer = resolveBuffer(pending.data);
    if (buffer == nullptr) {  // its client is going: the bytes wait for the next one
      urb->status = -ESHUTDOWN;
      pending.done = true;
      continue;
    }
    size_t n = std::min(static_cast<size_t>(urb->buffer_length), received.size());
    memcpy(buffer->data, received.data(), n);
    received.erase(0, n);
    g_object_unref(buffer);
    urb->actual_length = static_cast<int>(n);
    urb->status = 0;
    pending.done = true;
  }
}

bool EmulatedModule::handle(Node& node, UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  auto done = [&](glong result, int err) {
    if (error != nullptr) g_error_free(error);
    umockdev_ioctl_client_complete(client, result, err);
    return true;
  };
  // A module that is gone completes what was pending, as the kernel does on
  // a disconnect, and refuses everything new.
  const bool gone = !node.alive || standInGone;
  std::deque<Urb>& urbs = node.urbs[client];
  if (gone) {
    for (Urb& pending : urbs) {
      if (!pending.done) urbOf(pending.data)->status = -ESHUTDOWN;
      pending.done = true;
    }
    if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB) {
      return done(-1, ENODEV);
    }
  }

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      // One URB per transfer: no packet-size limit.
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
      uint32_t value = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_CONTINUATION;
      memcpy(caps->data, &value, sizeof value);
      g_object_unref(caps);
      return done(0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE:
      return claim(node, client) ? done(0, 0) : done(-1, EBUSY);
    case USBDEVFS_RELEASEINTERFACE:
      if (node.claimant != client) return done(-1, EINVAL);
      node.claimant = nullptr;
      return done(0, 0);
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESETEP:
      return done(0, 0);
    case USBDEVFS_CLEAR_HALT: {
      UMockdevIoctlData* ep = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
      unsigned endpoint = 0;
      memcpy(&endpoint, ep->data, sizeof endpoint);
      g_object_unref(ep);
      stallOf(static_cast<uint8_t>(endpoint)) = false;
      return done(0, 0);
    }
    case USBDEVFS_GETDRIVER:
      return done(-1, ENODATA);  // no kernel driver bound
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
      if (urbData == nullptr) return done(-1, EFAULT);
      // A bulk transfer claims the interface when nobody holds it, as usbfs does.
      if (urbOf(urbData)->type == USBDEVFS_URB_TYPE_BULK && !claim(node, client)) {
        g_object_unref(urbData);
        return done(-1, EBUSY);
      }
      submit(node, client, urbData);  // the node keeps the reference until the reap
      return done(0, 0);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      // Only the claimant's own reap fills its IN buffers: a buffer lives in
      // the claimant's memory, reachable only while it waits in an ioctl.
      if (!gone && client == node.claimant) completeIn(node);
      auto ready = std::find_if(urbs.begin(), urbs.end(), [](const Urb& u) { return u.done; });
      if (ready == urbs.end()) return done(-1, gone ? ENODEV : EAGAIN);
      UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
      umockdev_ioctl_data_set_ptr(slot, 0, ready->data);
      g_object_unref(slot);
      g_object_unref(ready->data);
      urbs.erase(ready);
      return done(0, 0);
    }
    case USBDEVFS_DISCARDURB: {
      // A cancelled transfer (libusb's time-out) is reaped with -ENOENT.
      gulong address = 0;
      memcpy(&address, arg->data, sizeof address);
      for (Urb& pending : urbs) {
        if (pending.data->client_addr == address && !pending.done) {
          urbOf(pending.data)->status = -ENOENT;
          pending.done = true;
          return done(0, 0);
        }
      }
      return done(-1, EINVAL);
    }
    default:
      return done(-1, ENOTTY);
  }
}

}  // namespace usbsim
