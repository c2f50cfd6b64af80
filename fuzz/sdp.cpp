// SDP replies of an i.MX boot ROM, over both transports. The input after
// its first byte is a list of replies, each a length byte and that many
// bytes. Over HID each read of a report takes the next reply (length 0: a
// time-out); over the serial transport, a pseudo-terminal stands for the
// line and each wait of the host lets the next reply arrive on it. The
// first byte picks the transport (bit 0) and where in the dialogue to
// start (fingerprint, loader write, jump).
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "FuzzSupport.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"

namespace {

std::vector<std::string> gReplies;
size_t gNext = 0;

bool nextReply(std::string& reply) {
  if (gNext >= gReplies.size()) return false;
  reply = gReplies[gNext++];
  return true;
}

std::vector<std::string> replies(const uint8_t* data, size_t size) {
  std::vector<std::string> out;
  for (size_t i = 0; i < size;) {
    size_t length = data[i++];
    if (length > size - i) length = size - i;
    out.emplace_back(reinterpret_cast<const char*>(data + i), length);
    i += length;
  }
  return out;
}

// The HID stand-in: one device, every read the next reply.
hid_device* const kHandle = reinterpret_cast<hid_device*>(0x5D9);
char gPath[] = "/dev/hidraw-fuzz";
hid_device_info gInfo{};
int hInit() { return 0; }
int hExit() { return 0; }
hid_device_info* hEnumerate(unsigned short, unsigned short) {
  gInfo = hid_device_info{};
  gInfo.path = gPath;
  return &gInfo;
}
void hFree(hid_device_info*) {}
hid_device* hOpen(const char*) { return kHandle; }
int hWrite(hid_device*, const unsigned char*, size_t length) { return static_cast<int>(length); }
int hRead(hid_device*, unsigned char* out, size_t length, int) {
  std::string reply;
  if (!nextReply(reply)) return 0;
  const size_t n = std::min(reply.size(), length);
  memcpy(out, reply.data(), n);
  return static_cast<int>(n);
}
void hClose(hid_device*) {}
const HidApi kHid = {hInit, hExit, hEnumerate, hFree, hOpen, hWrite, hRead, hClose};

// The serial line: the master side of a pseudo-terminal, and a second
// handle on the terminal to see when written bytes have reached it.
struct Line {
  int master = -1;
  int watch = -1;
  std::string path;
};

Line& line() {
  static Line l = [] {
    Line opened;
    opened.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened.master < 0 || grantpt(opened.master) != 0 || unlockpt(opened.master) != 0) abort();
    opened.path = ptsname(opened.master);
    opened.watch = open(opened.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened.watch < 0) abort();
    return opened;
  }();
  return l;
}

void drainHostBytes() {
  char sink[4096];
  while (read(line().master, sink, sizeof sink) > 0) {
  }
}

// Delivers the next reply and waits (briefly, in real time) until the
// terminal holds it, so that the host's next read sees it.
void deliverOnWait() {
  drainHostBytes();
  std::string reply;
  if (!nextReply(reply) || reply.empty()) return;
  int pending = 0;
  ioctl(line().watch, FIONREAD, &pending);
  if (write(line().master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) return;
  const int want = pending + static_cast<int>(reply.size());
  for (int spin = 0; spin < 100000; ++spin) {
    if (ioctl(line().watch, FIONREAD, &pending) != 0 || pending >= want) break;
    sched_yield();
  }
}

void dialogue(SDPLoader& loader, int first) {
  static const std::vector<uint8_t> kImage(1500, 0xA5);
  uint64_t fingerprint = 0;
  if (first <= 0) loader.getFingerprint(fingerprint);
  if (first <= 1) loader.writeLoader(kImage, 0x20000000);
  loader.startLoader(0x20000400);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietVerbose();
  line();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8 * 1024) return 0;
  gReplies = replies(data + 1, size - 1);
  gNext = 0;
  const int first = (data[0] >> 1) % 3;
  SDPLoader loader;
  if ((data[0] & 1) == 0) {
    loader.setLoader(std::make_unique<HID_SDPLoader>(0x1FC9, 0x0135, kHid));
    if (loader.init() != 0) abort();
    dialogue(loader, first);
  } else {
    loader.setLoader(std::make_unique<Serial_SDPLoader>(line().path));
    if (loader.init() != 0) abort();
    fuzz::onSleep = deliverOnWait;
    dialogue(loader, first);
    fuzz::onSleep = nullptr;
    drainHostBytes();
  }
  return 0;
}
