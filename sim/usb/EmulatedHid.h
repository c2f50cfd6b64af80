// One emulated USB HID device seen through hidraw: output reports go to a
// stand-in over TCP and its input reports come back, each report framed on
// the socket as a 2-byte big-endian length and the report bytes (report id
// first). The device logic stays in the stand-in.
#pragma once

#include <umockdev.h>

#include <deque>
#include <string>

namespace usbsim {

class EmulatedHid {
 public:
  EmulatedHid(UMockdevTestbed* testbed, uint16_t vendor, uint16_t product, std::string serial, std::string host,
              int port);
  ~EmulatedHid();

  // Connects to the stand-in and adds the device as hidrawN on USB device 1-devnum.
  bool plug(int devnum, int hidrawIndex);
  std::string devnode() const;

 private:
  static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  // Moves whole frames from the socket into `reports`, waiting up to waitMs
  // for the first one when none is queued.
  void receive(int waitMs);

  UMockdevTestbed* testbed;
  uint16_t vendor, product;
  std::string serial, host;
  int port;
  int socketFd = -1;
  int hidrawIndex = -1;
  UMockdevIoctlBase* handler = nullptr;
  std::string pending;               // bytes of a frame not yet complete
  std::deque<std::string> reports;   // input reports for the host
};

}  // namespace usbsim
