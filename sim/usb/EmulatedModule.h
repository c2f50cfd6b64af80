// One emulated USB module: answers the usbdevfs requests of its device node
// and carries bulk OUT bytes to a module stand-in over TCP and the stand-in's
// bytes back as bulk IN data. The device logic stays in the stand-in.
//
// umockdev hands every node's requests to one worker thread, and answering
// one takes several exchanges with the program that made it. Each module
// answers its requests on a thread of its own, so that the modules of a bus
// work side by side as real ones do; a lock keeps the bridge's own calls
// (plugging, fault switches, the stand-in's bytes) apart from it.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "UsbDescriptors.h"

namespace usbsim {

class EmulatedModule {
 public:
  EmulatedModule(UMockdevTestbed* testbed, ModuleIdentity identity, std::string host, int port);
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
  // How often programs opened the device node, over all its appearances.
  int opens() const { return openCount.load(); }
  // Lengths of the bulk OUT transfers received, oldest first (for tests of
  // the host's chunking); taking them clears the record.
  std::vector<int> takeOutLengths() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return std::exchange(outLengths, {});
  }
  std::string devnode() const;

 private:
  struct Urb {
    UMockdevIoctlData* data;
    bool done;
  };
  // One appearance of the module on the bus. An unplugged node stays
  // attached so that programs still holding it open learn that it is gone.
  // Each open file of the node (a client) has its own transfers, and one of
  // them at a time holds the interface, as usbfs keeps them apart.
  struct Node {
    EmulatedModule* module;
    int devnum;
    std::string syspath;
    UMockdevIoctlBase* handler;
    std::map<UMockdevIoctlClient*, std::deque<Urb>> urbs;
    UMockdevIoctlClient* claimant;
    bool alive;
  };

  // A request (or, with no request, a client gone) for the module's thread.
  struct Job {
    Node* node;
    UMockdevIoctlClient* client;
    bool vanished;
  };
  void post(Job job);
  void serve();
  void vanish(Node& node, UMockdevIoctlClient* client);

  static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer node);
  static void onClientConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer node);
  static void onClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer node);
  bool handle(Node& node, UMockdevIoctlClient* client);
  // False when another client holds the interface.
  bool claim(Node& node, UMockdevIoctlClient* client);
  void submit(Node& node, UMockdevIoctlClient* client, UMockdevIoctlData* urbData);
  void answerControl(UMockdevIoctlData* urbData);
  void completeIn(Node& node);
  static std::string devnodeOf(int devnum);
  void pump();
  bool connectStandIn();
  void closeStandIn();

  UMockdevTestbed* testbed;
  ModuleIdentity identity;
  std::string host;
  int port;
  int socketFd = -1;
  std::deque<Node> nodes;  // stable addresses: handlers point at their node
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
  std::atomic<int> openCount{0};  // counted on umockdev's worker thread

  // Everything above belongs to whoever holds the lock: the module's thread
  // while it answers a request, or the bridge's main loop.
  mutable std::recursive_mutex lock;
  std::mutex jobsLock;
  std::condition_variable jobsReady;
  std::deque<Job> jobs;
  bool stopping = false;
  std::thread server;  // last: it starts once everything above exists
};

}  // namespace usbsim
