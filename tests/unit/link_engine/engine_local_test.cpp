// The engine over a caller-supplied stream the test controls byte by byte,
// and the creation paths that must fail cleanly on this machine.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "engine_helpers.h"
#include "link/api/aServer.h"
#include "link/core/tvusb.h"

namespace {

// A device the test plays: bytes pushed by the test are read by the in-pipe;
// every write of the out-pipe is recorded. A gate can hold writes back.
struct FakeDevice {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<uint8_t> incoming;
  std::vector<std::vector<uint8_t>> writes;
  bool gateClosed = false;
  int heldAtGate = 0;          // writes waiting for the gate to open
  int writesBeforeGate = -1;  // the gate closes by itself after this many writes (-1: never)
  bool failReads = false;
  // With holdReads an empty device blocks the reader until bytes come (or
  // the link interrupts it) instead of answering "not ready": the link never
  // sees an idle line, so nothing it does on one depends on time passing.
  bool holdReads = false;
  bool readerHeld = false;
  bool interrupted = false;

  void push(std::initializer_list<uint8_t> bytes) {
    std::lock_guard<std::mutex> g(lock);
    incoming.insert(incoming.end(), bytes);
    changed.notify_all();
  }
  void openGate() {
    std::lock_guard<std::mutex> g(lock);
    gateClosed = false;
    writesBeforeGate = -1;
    changed.notify_all();
  }
  std::vector<std::vector<uint8_t>> taken() {
    std::lock_guard<std::mutex> g(lock);
    return writes;
  }
  size_t bytesWritten() {
    size_t n = 0;
    for (auto& w : taken()) n += w.size();
    return n;
  }
  int countWritten(std::initializer_list<uint8_t> packet) {
    std::vector<uint8_t> wanted(packet);
    int n = 0;
    for (auto& w : taken())
      for (size_t at = 0; at + wanted.size() <= w.size(); at += 2 + w[at + 1])
        if (std::equal(wanted.begin(), wanted.end(), w.begin() + at)) ++n;
    return n;
  }

  void holdReader() {
    std::lock_guard<std::mutex> g(lock);
    holdReads = true;
    interrupted = false;  // the link's start interrupts its reader once
  }
  void releaseReader() {
    std::lock_guard<std::mutex> g(lock);
    holdReads = false;
    changed.notify_all();
  }
  // Every pushed byte was taken and handled: the reader waits for more.
  bool readerIdle() {
    std::lock_guard<std::mutex> g(lock);
    return readerHeld && incoming.empty();
  }

  static aErr get(uint8_t* byte, void* ref) {
    auto* d = static_cast<FakeDevice*>(ref);
    std::unique_lock<std::mutex> g(d->lock);
    if (d->holdReads && d->incoming.empty() && !d->failReads) {
      d->readerHeld = true;
      d->changed.wait(g, [d] { return !d->incoming.empty() || d->interrupted || d->failReads || !d->holdReads; });
      d->readerHeld = false;
      d->interrupted = false;
    }
    if (d->failReads) return aErrIO;
    if (d->incoming.empty()) return aErrNotReady;
    *byte = d->incoming.front();
    d->incoming.pop_front();
    return aErrNone;
  }
  static aErr write(const uint8_t* data, size_t length, void* ref) {
    auto* d = static_cast<FakeDevice*>(ref);
    std::unique_lock<std::mutex> g(d->lock);
    if (d->writesBeforeGate == 0) d->gateClosed = true;
    ++d->heldAtGate;
    d->changed.wait(g, [d] { return !d->gateClosed; });
    --d->heldAtGate;
    if (d->writesBeforeGate > 0) --d->writesBeforeGate;
    d->writes.emplace_back(data, data + length);
    return aErrNone;
  }
  static aErr put(uint8_t byte, void* ref) { return write(&byte, 1, ref); }
  static void interrupt(void* ref) {
    auto* d = static_cast<FakeDevice*>(ref);
    std::lock_guard<std::mutex> g(d->lock);
    d->interrupted = true;
    d->changed.notify_all();
  }
  static aErr wait(uint32_t ms, void* ref) {
    auto* d = static_cast<FakeDevice*>(ref);
    std::unique_lock<std::mutex> g(d->lock);
    d->changed.wait_for(g, std::chrono::milliseconds(ms), [d] { return !d->incoming.empty(); });
    return aErrNone;
  }
};

class LocalLink : public ::testing::Test {
 protected:
  void SetUp() override {
    aStream* stream = aStream_Create(FakeDevice::get, FakeDevice::put, FakeDevice::write, nullptr, &device);
    aStream_SetWaitProc(stream, FakeDevice::wait);
    aStream_SetInterruptProc(stream, FakeDevice::interrupt);
    id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    // Route control 1 goes out first.
    ASSERT_TRUE(waitUntil([this] { return device.countWritten({0xAF, 1, 1}) == 1; }));
  }
  void TearDown() override {
    device.releaseReader();
    if (id != 0) aLink_Destroy(&id);
  }
  int syncRequests() { return device.countWritten({0xAD, 0}); }
  FakeDevice device;
  aLinkRef id = 0;
};

// The reader is held on an empty device: requests come only from the bytes
// the test pushes, never from a resync period running out.
TEST_F(LocalLink, SyncStateMachine) {
  ASSERT_EQ(aLink_GetStatus(id), linkStateRunning);
  device.holdReader();
  device.push({0x03});  // an odd address: out of step
  ASSERT_TRUE(waitUntil([this] { return syncRequests() == 6; }));
  EXPECT_EQ(aLink_GetStatus(id), linkStateSynchronising);
  device.push({4, 0, 6});
  ASSERT_TRUE(waitUntil([this] { return device.readerIdle(); }));
  EXPECT_EQ(aLink_GetStatus(id), linkStateSynchronising);
  EXPECT_EQ(syncRequests(), 6);
  device.push({0});  // A,0,B,0 with B != A: six new requests at the fourth byte
  ASSERT_TRUE(waitUntil([this] { return syncRequests() == 12; }));
  device.push({4, 0, 4, 0});
  ASSERT_TRUE(waitUntil([this] { return aLink_GetStatus(id) == linkStateRunning; }));
  // Later replies are ordinary zero-length packets.
  device.push({4, 0});
  aPacket* p = aLink_AwaitPacket(id, 1000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->length, 0);
  aPacket_Destroy(&p);
}

TEST_F(LocalLink, OddFirstReplyRestartsSync) {
  device.holdReader();
  device.push({0});  // address 0: out of step
  ASSERT_TRUE(waitUntil([this] { return syncRequests() == 6; }));
  device.push({5});
  ASSERT_TRUE(waitUntil([this] { return syncRequests() == 12; }));
  ASSERT_TRUE(waitUntil([this] { return device.readerIdle(); }));
  EXPECT_EQ(syncRequests(), 12);
}

TEST_F(LocalLink, ASyncEndingBeforeItsSpareRequestsWentOutTakesOnlyTheAnswersOfThoseSent) {
  {
    std::lock_guard<std::mutex> g(device.lock);
    device.writesBeforeGate = 2;  // a slow stream: the third request is still being written
  }
  auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
  ASSERT_TRUE(waitUntil([this] {
    std::lock_guard<std::mutex> g(device.lock);
    return device.heldAtGate == 1;
  }));
  ASSERT_EQ(syncRequests(), 2);
  // Two answers frame the stream; the third answers the request in the write.
  device.push({4, 0, 4, 0, 4, 0});
  EXPECT_EQ(sync.get(), aErrNone);
  device.openGate();
  // The requests left queued were dropped unsent, and no answer is left over
  // for the caller.
  aPacket* request = echoRequest(4, 7);
  ASSERT_EQ(aLink_PutPacket(id, request), aErrNone);
  aPacket_Destroy(&request);
  ASSERT_TRUE(waitUntil([this] { return device.countWritten({4, 3, 23, 7, static_cast<uint8_t>(~7)}) == 1; }));
  EXPECT_EQ(syncRequests(), 3);
  device.push({4, 3, 23, 7, static_cast<uint8_t>(~7)});
  aPacket* reply = aLink_AwaitPacket(id, 2000);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->length, 3);
  aPacket_Destroy(&reply);
}

TEST_F(LocalLink, HeartbeatAnswersNeverReachTheQueue) {
  device.push({8, 2, 0, 0});
  device.push({8, 2, 0, 1});
  ASSERT_TRUE(waitUntil([this] { return device.countWritten({8, 2, 0, 3}) == 1; }));
  EXPECT_EQ(device.countWritten({8, 2, 0, 2}), 1);
  EXPECT_EQ(aLink_AwaitPacket(id, 100), nullptr);
  device.push({8, 2, 0, 7});  // another value: answered as value + 2, still consumed
  ASSERT_TRUE(waitUntil([this] { return device.countWritten({8, 2, 0, 9}) == 1; }));
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LocalLink, PooledWritesCarryAtMost136Packets) {
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  size_t before = device.taken().size();
  {
    std::lock_guard<std::mutex> g(device.lock);
    device.gateClosed = true;  // hold the out-pipe in its first write
  }
  uint8_t data[28];
  auto put = [&](int i) {
    for (uint8_t& b : data) b = static_cast<uint8_t>(i);
    aPacket* p = aPacket_CreateWithData(2, 28, data);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
  };
  // The first packet alone goes out and is held at the gate; only then is
  // the backlog queued, so how it is packed never depends on how fast the
  // out-pipe took the first packets.
  put(0);
  ASSERT_TRUE(waitUntil([this] {
    std::lock_guard<std::mutex> g(device.lock);
    return device.heldAtGate == 1;
  }));
  for (int i = 1; i < 200; ++i) put(i);
  device.openGate();
  ASSERT_TRUE(waitUntil([&] { return device.bytesWritten() >= 3 + 200 * 30; }));
  auto writes = device.taken();
  size_t largest = 0;
  int packets = 0;
  for (size_t w = before; w < writes.size(); ++w) {
    EXPECT_LE(writes[w].size(), 136u * 30u);
    EXPECT_EQ(writes[w].size() % 30, 0u);
    largest = std::max(largest, writes[w].size());
    packets += static_cast<int>(writes[w].size() / 30);
  }
  EXPECT_EQ(packets, 200);
  EXPECT_EQ(largest, 136u * 30u);  // the backlog is packed as full as allowed
  // In order: the first byte of each packet's data counts up.
  std::vector<uint8_t> all;
  for (size_t w = before; w < writes.size(); ++w) all.insert(all.end(), writes[w].begin(), writes[w].end());
  for (int i = 0; i < 200; ++i) ASSERT_EQ(all[i * 30 + 2], static_cast<uint8_t>(i));
}

// Users' packets go straight to the stream while nothing is queued and
// through the out-pipe while something is (here: heartbeat answers and a
// write held at the gate); either way each sender's packets keep their order.
TEST_F(LocalLink, DirectAndQueuedWritesKeepEachSendersOrder) {
  size_t before = device.taken().size();
  std::thread heartbeats([this] {
    for (int i = 0; i < 40; ++i) {
      device.push({2, 2, 0, static_cast<uint8_t>(i % 2)});
      if (i == 20) {
        std::lock_guard<std::mutex> g(device.lock);
        device.gateClosed = true;
      }
      if (i == 25) device.openGate();
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  auto sender = [this](uint8_t tag) {
    for (int n = 0; n < 150; ++n) {
      uint8_t data[3] = {23, tag, static_cast<uint8_t>(n)};
      aPacket* p = aPacket_CreateWithData(2, 3, data);
      EXPECT_EQ(aLink_PutPacket(id, p), aErrNone);
      aPacket_Destroy(&p);
    }
  };
  std::thread first(sender, 1), second(sender, 2);
  first.join();
  second.join();
  heartbeats.join();
  device.openGate();
  ASSERT_TRUE(waitUntil([&] { return device.countWritten({2, 2, 0, 2}) + device.countWritten({2, 2, 0, 3}) == 40; }));
  ASSERT_TRUE(waitUntil([&] {
    size_t n = 0;
    auto writes = device.taken();
    for (size_t w = before; w < writes.size(); ++w) n += writes[w].size();
    return n >= 300u * 5u + 40u * 4u;
  }));
  int next[3] = {0, 0, 0};
  auto writes = device.taken();
  for (size_t w = before; w < writes.size(); ++w) {
    const auto& bytes = writes[w];
    for (size_t at = 0; at + 2 <= bytes.size(); at += 2 + bytes[at + 1]) {
      if (bytes[at + 1] != 3 || bytes[at + 2] != 23) continue;
      uint8_t tag = bytes[at + 3];
      ASSERT_EQ(bytes[at + 4], next[tag]) << "sender " << int(tag);
      ++next[tag];
    }
  }
  EXPECT_EQ(next[1], 150);
  EXPECT_EQ(next[2], 150);
}

TEST_F(LocalLink, UnpooledWritesArePacketByPacket) {
  size_t before = device.taken().size();
  for (uint8_t tag = 0; tag < 5; ++tag) {
    aPacket* p = echoRequest(2, tag);
    aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
  }
  ASSERT_TRUE(waitUntil([&] { return device.taken().size() >= before + 5; }));
  for (auto& w : device.taken()) EXPECT_LE(w.size(), 30u);
}

TEST_F(LocalLink, PacketLogRing) {
  EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 64), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 128), aErrBusy);
  uint8_t bytes[62];
  for (uint8_t i = 0; i < 62; ++i) bytes[i] = i;
  EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 62, bytes), aErrOverrun);  // 62 + 2 is not below 64
  ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 30, bytes), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 30, bytes + 1), aErrNone);  // no room for both
  uint8_t direction = 0;
  uint8_t buffer[64];
  uint32_t length = 2;
  EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 30u);
  length = sizeof buffer;
  ASSERT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNone);  // the record stayed
  EXPECT_EQ(direction, 3);
  EXPECT_EQ(length, 30u);
  EXPECT_EQ(buffer[0], 1);  // the newest record survived
  EXPECT_EQ(aLink_PacketDebug_Read(id, &direction, &length, buffer), aErrNotFound);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
}

TEST_F(LocalLink, PacketLogRecordsBothDirections) {
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  device.push({2, 3, 23, 1, 2});
  aPacket* in = aLink_AwaitPacket(id, 1000);
  ASSERT_NE(in, nullptr);
  aPacket_Destroy(&in);
  aPacket* out = echoRequest(2, 9);
  aLink_PutPacket(id, out);
  aPacket_Destroy(&out);
  ASSERT_TRUE(waitUntil([this] { return device.countWritten({2, 3, 23, 9}) == 1; }));
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> records;
  uint8_t direction;
  uint8_t buffer[255];
  for (;;) {
    uint32_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(id, &direction, &length, buffer) != aErrNone) break;
    if (buffer[0] != aPACKET_ADDR_ROUTE) records.emplace_back(direction, std::vector<uint8_t>(buffer, buffer + length));
  }
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].first, aPACKETLOG_RECEIVED);
  EXPECT_EQ(records[0].second, (std::vector<uint8_t>{2, 3, 23, 1, 2}));
  EXPECT_EQ(records[1].first, aPACKETLOG_SENT);
  EXPECT_EQ(records[1].second[0], 2);
}

TEST_F(LocalLink, AwaitFirstOnAFailedStreamReturnsAtOnce) {
  {
    std::lock_guard<std::mutex> g(device.lock);
    device.failReads = true;
  }
  ASSERT_TRUE(waitUntil([this] { return aLink_GetStatus(id) == linkStateIOError; }));
  uint8_t tag = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(id, isEcho, &tag, 3000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(LocalLink, UnknownIdsAreAnsweredNotFaulted) {
  aLinkRef none = 9999;
  aPacket* p = echoRequest(2, 1);
  EXPECT_EQ(aLink_GetStatus(none), linkStateNoStream);
  EXPECT_EQ(aLink_PutPacket(none, p), aErrParam);
  EXPECT_EQ(aLink_AwaitPacket(none, 10), nullptr);
  EXPECT_EQ(aLink_DrainPackets(none, isEcho, nullptr), 0u);
  EXPECT_EQ(aLink_ForceRoute(none, 1), aErrNotFound);
  EXPECT_EQ(aLink_Start(none), aErrParam);
  EXPECT_EQ(aLink_Sync(none), aErrParam);
  EXPECT_EQ(aLink_Reset(none), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(none, true), aErrParam);
  EXPECT_EQ(aLink_InstallUserPacketFilter(none, nullptr, nullptr), aErrParam);
  EXPECT_EQ(aLink_Destroy(&none), aErrParam);
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
  aPacket_Destroy(&p);
}

TEST_F(LocalLink, ACallerStreamCannotBeRecreatedByReset) {
  EXPECT_EQ(aLink_Reset(id), aErrParam);
  EXPECT_EQ(aLink_GetStatus(id), linkStateNoStream);
}

// No USB bus here: the USB paths fail cleanly and leave nothing behind.
TEST(NoUsb, CreateUSBFailsAndLeavesNoEntry) {
  EXPECT_EQ(aLink_CreateUSB(0x40F5849A), 0u);
  EXPECT_EQ(aLink_CreateUSB(0x40F5849A), 0u);
  uint16_t port = 0;
  uint32_t address = 0;
  EXPECT_EQ(aLink_CreateServer(0x40F5849A, &port, &address, true), 0u);
  EXPECT_EQ(aLink_CreateServer(0x40F5849A, nullptr, &address, true), 0u);
  Tolvarine_libusb_exit();
}

// A client link needs no server to be made: the connection follows when a
// server listens there. A reference must name an existing link.
TEST(SharingPaths, ClientLinksAndServersOfUnknownLinks) {
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 9000, 4242), 0u);
  aLinkRef id = aLink_CreateClient(0x0100007F, 9000, 0);
  ASSERT_NE(id, 0u);
  aLinkRef again = aLink_CreateClient(0, 0, id);
  EXPECT_EQ(again, id);
  EXPECT_EQ(aLink_Destroy(&again), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), linkStateRunning);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aServer_Create(987654, 0, true), nullptr);
  EXPECT_NE(_aLink_ConfigureServerDetails(987654, nullptr), aErrNone);
}

}  // namespace
