// Serial port stream over termios. Reads answer at once (VMIN 0, VTIME 0):
// the LPC ISP client counts its read attempts on that timing. An idle reader
// that wants to sleep uses the stream's wait procedure instead.
#include <errno.h>
#include <fcntl.h>
#include <new>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "link/core/aFile.h"
#include "link/core/aStream.h"
#include "link/core/aWaker.h"

#define aSERIAL_CHECK 0xBEEF

namespace {

struct SerialStream {
  int baudIndex;
  char path[aFILE_MAX_PATH + 1];
  int fd;
  termios original;
  termios settings;
  uint16_t check;
  aWaker* waker;  // ends an idle reader's wait on a stop
};

bool sValid(const SerialStream* s) { return s != nullptr && s->check == aSERIAL_CHECK; }

speed_t sSpeed(int baudIndex) {
  static const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
  if (baudIndex < 0 || baudIndex > 7) return B0;
  return kSpeeds[baudIndex];
}

aErr sStreamOpenSerial(SerialStream* s, bool parity, int dataBits, int stopBits) {
  s->fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES) return aErrPermission;
    return aErrIO;
  }
  if (fcntl(s->fd, F_SETFL, 0) != 0) return aErrIO;
  if (tcgetattr(s->fd, &s->original) != 0) return aErrIO;
  s->settings = s->original;
  termios& t = s->settings;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
              (stopBits == 1 ? CSTOPB : 0);
  cfsetispeed(&t, sSpeed(s->baudIndex));
  cfsetospeed(&t, sSpeed(s->baudIndex));
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(s->fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(s->fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  SerialStream* s = static_cast<SerialStream*>(reference);
  if (!sValid(s)) return aErrParam;
  ssize_t n = read(s->fd, byte, 1);
  if (n == 1) return aErrNone;
  return n == 0 ? aErrNotReady : aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* reference) {
  SerialStream* s = static_cast<SerialStream*>(reference);
  if (!sValid(s)) return aErrParam;
  ssize_t n = write(s->fd, data, length);
  if (n < 0 || static_cast<size_t>(n) != length) return aErrIO;
  tcdrain(s->fd);
  return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* reference) { return sSerialWrite(&byte, 1, reference); }

aErr sSerialWait(uint32_t milliseconds, void* reference) {
  SerialStream* s = static_cast<SerialStream*>(reference);
  if (!sValid(s)) return aErrParam;
  aWaker_WaitReadable(s->waker, s->fd, milliseconds);
  return aErrNone;
}

void sSerialInterrupt(void* reference) {
  SerialStream* s = static_cast<SerialStream*>(reference);
  if (sValid(s)) aWaker_Wake(s->waker);
}

aErr sSerialDelete(void* reference) {
  SerialStream* s = static_cast<SerialStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (s->fd >= 0) {
    tcsetattr(s->fd, TCSANOW, &s->original);
    close(s->fd);
  }
  aWaker_Destroy(&s->waker);
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, int baudIndex, bool parity, int dataBits, int stopBits,
                          aStream** stream) {
  if (path == nullptr || stream == nullptr) return aErrParam;
  if ((dataBits != 0 && dataBits != 1) || (stopBits != 0 && stopBits != 1)) return aErrParam;
  if (strlen(path) > aFILE_MAX_PATH) return aErrParam;
  SerialStream* s = new (std::nothrow) SerialStream{};
  if (s == nullptr) return aErrMemory;
  s->check = aSERIAL_CHECK;
  s->baudIndex = baudIndex;
  s->fd = -1;
  strcpy(s->path, path);
  s->waker = aWaker_Create();
  aStream* created =
      s->waker != nullptr ? aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, s) : nullptr;
  if (created == nullptr) {
    aWaker_Destroy(&s->waker);
    delete s;
    return aErrResource;
  }
  aStream_SetWaitProc(created, sSerialWait);
  aStream_SetInterruptProc(created, sSerialInterrupt);
  aErr result = sStreamOpenSerial(s, parity, dataBits, stopBits);
  if (result != aErrNone) {
    if (s->fd >= 0) {
      close(s->fd);
      s->fd = -1;
    }
    aStream_Destroy(&created);
    return result;
  }
  *stream = created;
  return aErrNone;
}
