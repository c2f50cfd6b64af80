// One emulated USB module: answers the usbdevfs requests on its device node
// and carries bulk OUT bytes to a module stand-in over TCP and the stand-in's
// bytes back as bulk IN data. The device logic stays in the stand-in.
//
// Requests come on the node filesystem's thread; the stand-in's bytes, the
// plugging and the fault switches on the bridge's main loop. One lock keeps
// them apart. The filesystem must have stopped before a module goes.
#pragma once

#include <glib.h>
#include <umockdev.h>

#include <atomic>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "UsbDescriptors.h"
#include "UsbfsMount.h"

namespace usbsim {

class EmulatedModule {
 public:
  EmulatedModule(UMockdevTestbed* testbed, UsbfsMount& usbfs, ModuleIdentity identity, std::string host, int port);
  ~EmulatedModule();

  // Connects to the stand-in and plugs the device in; false when the
  // stand-in cannot be reached.
  bool plug(int devnum);
  // Unplugs the device: pending transfers fail, the node disappears.
  void unplug();
  bool plugged() const;
  // Called periodically: notices a stand-in that closed its end (the module
  // re-enumerates) and plugs the device in again when it is back.
  void poll(int& nextDevnum);
  // Plugs the device in again when it is off the bus and its stand-in
  // accepts again; does nothing while it is plugged.
  void replug(int& nextDevnum);

  // Fault switches for tests. Each takes effect once `afterOuts` further
  // bulk OUT transfers have gone through (at once for 0), so that a test can
  // place it in the middle of a long transfer.
  enum Directions { kIn = 1, kOut = 2, kBoth = 3 };
  void stallNext(uint8_t endpoint, int afterOuts = 0);
  void failNext(int count, int directions = kBoth, int afterOuts = 0);
  void setAutoReplug(bool on) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    autoReplug = on;
  }
  // Off: a plug raises no hotplug event (the device only shows in sysfs),
  // as in a container that the kernel's uevents do not reach.
  void setAnnounceArrivals(bool on) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    announceArrivals = on;
  }
  // With arrivals unannounced: a plug shows the device's vendor in sysfs
  // this long before it becomes a USB device that an enumeration lists.
  void setIncompleteMs(unsigned ms) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    incompleteMs = ms;
  }

  const ModuleIdentity& id() const { return identity; }
  // How often programs opened the device node, and the requests they made
  // on it, over all its appearances.
  int opens() const { return openCount.load(); }
  int requests() const { return requestCount.load(); }
  // Lengths of the bulk OUT transfers received, oldest first (for tests of
  // the host's chunking); taking them clears the record.
  std::vector<int> takeOutLengths() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return std::exchange(outLengths, {});
  }
  std::string devnode() const;

 private:
  // A transfer a program submitted, until the program reaps it.
  struct Urb {
    uint64_t address;  // the program's usbdevfs_urb
    uint64_t buffer;
    int length;
    bool in;
    bool done;
    int status;
    int actual;
    std::string data;  // written to the buffer, after `offset` bytes, at the reap
    size_t offset;
  };
  // One open file of a node: its transfers, and its program waiting in poll().
  struct Client {
    std::deque<Urb> urbs;
    UsbfsWaiter waiter;
  };
  // One appearance of the module on the bus. An unplugged node stays so that
  // programs still holding it open learn that it is gone. One client at a
  // time holds the interface, as usbfs keeps them apart.
  struct Node : UsbfsDevice {
    Node(EmulatedModule* owner, int number, std::string path, std::string entry)
        : module(owner), devnum(number), syspath(std::move(path)), link(std::move(entry)) {}
    void* open() override;
    void release(void* file) override;
    int ioctl(void* file, UsbfsRequest& request) override;
    unsigned poll(void* file, fuse_pollhandle* waiter) override;

    EmulatedModule* module;
    int devnum;
    std::string syspath;
    std::string link;  // the testbed's /dev entry, leading to the node's file
    std::list<Client> clients;
    Client* claimant = nullptr;
    bool alive = true;
  };

  int request(Node& node, Client& client, UsbfsRequest& request);
  // False when another client holds the interface.
  bool claim(Node& node, Client& client);
  int submit(Node& node, Client& client, pid_t caller, uint64_t address);
  int reap(Client& client, pid_t caller, uint64_t slot);
  void answerControl(pid_t caller, Urb& urb);
  // Hands the stand-in's bytes to the claimant's pending IN transfers.
  void completeIn(Node& node);
  void takeStandInBytes();
  // A module that is gone completes what was pending, as the kernel does.
  void disconnect(Node& node);
  static gboolean onStandInBytes(gint fd, GIOCondition condition, gpointer module);
  static std::string devnodeOf(int devnum);
  void pump();
  bool connectStandIn();
  void closeStandIn();

  UMockdevTestbed* testbed;
  UsbfsMount& usbfs;
  ModuleIdentity identity;
  std::string host;
  int port;
  int socketFd = -1;
  guint standInWatch = 0;  // the stand-in's bytes, handed on as they come
  std::deque<Node> nodes;  // stable addresses: the filesystem points at its nodes
  Node* current = nullptr;
  std::string received;  // stand-in bytes not yet handed to an IN transfer
  struct Faults {
    bool stallIn = false, stallOut = false;
    int failures = 0;
    int failDirections = kBoth;
  };
  // Sets the pending faults live once their OUT count has run down.
  void countOut();
  bool& stallOf(uint8_t endpoint) { return endpoint & 0x80 ? live.stallIn : live.stallOut; }

  Faults live;
  Faults pending;
  int outsBeforePending = 0;
  bool autoReplug = true;
  bool announceArrivals = true;
  unsigned incompleteMs = 0;
  guint completion = 0;  // the pending completion of a plug
  static gboolean onComplete(gpointer module);
  bool standInGone = false;
  std::vector<int> outLengths;
  std::atomic<int> openCount{0};
  std::atomic<int> requestCount{0};

  // Everything above belongs to whoever holds the lock: the filesystem's
  // thread while it answers a request, or the bridge's main loop.
  mutable std::recursive_mutex lock;
};

}  // namespace usbsim
