#include "EmulatedHid.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/hidraw.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace usbsim {

namespace {

// A vendor-defined page with 1024-byte output and 64-byte input reports:
// enough for hidapi to treat reports as numbered.
const char kReportDescriptor[] =
    "0600FF0901A101"            // usage page vendor, usage 1, collection application
    "8501750896000409019102"    // report 1: 1024 bytes out
    "8502750896000409019102"    // report 2: 1024 bytes out
    "850375089504090181" "02"   // report 3: 4 bytes in
    "850475089540090181" "02"   // report 4: 64 bytes in
    "C0";

}  // namespace

EmulatedHid::EmulatedHid(UMockdevTestbed* testbed_, uint16_t vendor_, uint16_t product_, std::string serial_,
                         std::string host_, int port_)
    : testbed(testbed_), vendor(vendor_), product(product_), serial(std::move(serial_)), host(std::move(host_)),
      port(port_) {}

EmulatedHid::~EmulatedHid() {
  if (handler != nullptr) {
    GError* error = nullptr;
    umockdev_testbed_detach_ioctl(testbed, devnode().c_str(), &error);
    if (error != nullptr) g_error_free(error);
    g_object_unref(handler);
  }
  if (socketFd >= 0) close(socketFd);
}

std::string EmulatedHid::devnode() const { return "/dev/hidraw" + std::to_string(hidrawIndex); }

bool EmulatedHid::plug(int devnum, int index) {
  socketFd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (socketFd < 0 || connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  int one = 1;
  setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  hidrawIndex = index;

  char ids[64];
  snprintf(ids, sizeof ids, "%04X:%04X", vendor, product);
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(devnum);
  const std::string interface = usb + "/1-" + std::to_string(devnum) + ":1.0";
  const std::string hid = interface + "/0003:" + ids + "." + std::to_string(1000 + index);
  const std::string raw = "hidraw" + std::to_string(index);
  char hidId[64], vid[16], pid[16];
  snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
  snprintf(vid, sizeof vid, "%04x", vendor);
  snprintf(pid, sizeof pid, "%04x", product);
  // Child first, then its parents: hidraw node, hid device, interface, USB device.
  std::string description =
      "P: " + hid + "/hidraw/" + raw + "\nN: " + raw + "=00\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + raw +
      "\nL: device=../../../" + hid.substr(interface.size() + 1) + "\n\n" +
      "P: " + hid + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=" + hidId +
      "\nE: HID_NAME=Serial download mode\nE: HID_PHYS=usb-0000:00:14.0-" + std::to_string(devnum) +
      "/input0\nE: HID_UNIQ=" + serial + "\nH: report_descriptor=" + kReportDescriptor + "\n\n" +
      "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\\n\n"
      "A: bInterfaceClass=03\\n\n\n" +
      "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=" + std::to_string(devnum) +
      "\nA: idVendor=" + vid + "\\n\nA: idProduct=" + pid + "\\n\nA: manufacturer=Veltrane\\n\n"
      "A: product=Serial download mode\\n\nA: serial=" + serial + "\\n\nA: bcdDevice=0001\\n\nA: busnum=1\\n\n"
      "A: devnum=" + std::to_string(devnum) + "\\n\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) {
    fprintf(stderr, "usb_bridge: cannot add HID device: %s\n", error->message);
    g_error_free(error);
    return false;
  }
  handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
  g_signal_connect(handler, "handle-read", G_CALLBACK(onRead), this);
  g_signal_connect(handler, "handle-write", G_CALLBACK(onWrite), this);
  if (!umockdev_testbed_attach_ioctl(testbed, devnode().c_str(), handler, &error)) {
    fprintf(stderr, "usb_bridge: cannot attach %s: %s\n", devnode().c_str(), error->message);
    g_error_free(error);
    return false;
  }
  return true;
}

gboolean EmulatedHid::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
    int value = static_cast<int>(strlen(kReportDescriptor) / 2);
    memcpy(size->data, &value, sizeof value);
    g_object_unref(size);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }
  if (error != nullptr) g_error_free(error);
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return TRUE;
}

void EmulatedHid::receive(int waitMs) {
  if (socketFd < 0) return;
  if (reports.empty() && waitMs > 0) {
    pollfd ready{socketFd, POLLIN, 0};
    ::poll(&ready, 1, waitMs);
  }
  char chunk[4096];
  for (ssize_t n; (n = recv(socketFd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) pending.append(chunk, static_cast<size_t>(n));
  while (pending.size() >= 2) {
    size_t length = (static_cast<unsigned char>(pending[0]) << 8) | static_cast<unsigned char>(pending[1]);
    if (pending.size() < 2 + length) break;
    reports.push_back(pending.substr(2, length));
    pending.erase(0, 2 + length);
  }
}

// hidraw reads cannot wait here (poll is not emulated), so a read gives the
// stand-in a short moment to answer and otherwise reports nothing queued.
gboolean EmulatedHid::onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  EmulatedHid& hid = *static_cast<EmulatedHid*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  hid.receive(20);
  if (hid.reports.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  std::string report = hid.reports.front();
  hid.reports.pop_front();
  size_t n = std::min(static_cast<size_t>(arg->data_len), report.size());
  memcpy(arg->data, report.data(), n);
  umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
  return TRUE;
}

gboolean EmulatedHid::onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  EmulatedHid& hid = *static_cast<EmulatedHid*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::string frame;
  frame.push_back(static_cast<char>((arg->data_len >> 8) & 0xFF));
  frame.push_back(static_cast<char>(arg->data_len & 0xFF));
  frame.append(reinterpret_cast<const char*>(arg->data), static_cast<size_t>(arg->data_len));
  ssize_t sent = hid.socketFd < 0 ? -1 : send(hid.socketFd, frame.data(), frame.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(frame.size())) {
    umockdev_ioctl_client_complete(client, -1, EIO);
  } else {
    umockdev_ioctl_client_complete(client, arg->data_len, 0);
  }
  return TRUE;
}

}  // namespace usbsim
