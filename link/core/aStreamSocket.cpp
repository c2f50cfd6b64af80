// TCP socket stream. Non-blocking socket; a read that finds nothing waits for
// readability for a bounded time, so an idle reader sleeps instead of
// spinning, and a lost connection is re-established inside get and write.
// The wait ends early when the stream is interrupted (a stop), and a
// connection the module closed is reported as lost until one is made anew.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <new>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/core/aStream.h"
#include "link/core/aTime.h"
#include "link/core/aWaker.h"

#define aSOCKET_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1
// Longest wait for readability inside one get (bounds how long a stop takes).
#define aSOCKET_READ_WAIT_MS 100
#define aSOCKET_WRITE_RETRIES 10
#define aSOCKET_RETRY_PAUSE_MS 60

namespace {

struct SocketStream {
  uint16_t port;
  sockaddr_in address;
  // The reader and the writer may each re-establish a lost connection: each
  // I/O call holds the lock shared, a reconnection holds it alone.
  std::atomic<int> fd;
  std::atomic<uint32_t> flags;
  // Set when the module closed its end; cleared by a new connection.
  std::atomic<bool> peerClosed{false};
  // Connections made anew inside get and write: the module lost the one
  // before, however quickly a new one was accepted.
  std::atomic<uint32_t> reconnections{0};
  aWaker* waker = nullptr;
  std::shared_mutex ioLock;
  uint16_t check;
  // Received bytes not yet handed out (the reader reads one byte per call).
  uint8_t rx[1024];
  size_t rxPos;
  size_t rxCount;
};

bool sValid(const SocketStream* s) { return s != nullptr && s->check == aSOCKET_CHECK; }
bool sConnected(const SocketStream* s) { return (s->flags & aSOCKET_CONNECTED) != 0; }
bool sLostConnection(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }

// True when a socket was open.
bool sClose(SocketStream* s) {
  int fd = s->fd.exchange(-1);
  if (fd < 0) return false;
  s->flags &= ~aSOCKET_CONNECTED;
  close(fd);
  return true;
}

aErr sApplyOptions(int fd) {
  int on = 1;
  timeval noTimeout{};
  linger hardClose{};
  hardClose.l_onoff = 1;
  hardClose.l_linger = 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return aErrIO;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0) return aErrIO;
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &hardClose, sizeof hardClose) != 0) return aErrIO;
  if (ioctl(fd, FIONBIO, &on) != 0) return aErrIO;
  return aErrNone;
}

// Closes any open socket and connects anew (blocking connect).
aErr sReset(SocketStream* s) {
  std::unique_lock<std::shared_mutex> guard(s->ioLock);
  if (sClose(s)) aTime_MSSleep(10);  // the module sees the old connection go first
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address) != 0) {
    int error = errno;
    close(fd);
    bool refused = error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED;
    return refused ? aErrConnection : aErrIO;
  }
  aErr result = sApplyOptions(fd);
  if (result != aErrNone) {
    close(fd);
    return result;
  }
  s->fd = fd;
  s->flags |= aSOCKET_CONNECTED;
  s->peerClosed = false;
  return aErrNone;
}

// Refills the receive buffer with what the socket holds. Mirrors the one-byte
// peek-and-receive rules: nothing pending is not-ready (after a bounded wait),
// a lost connection is re-established and tried again.
aErr sSocketStreamGet(uint8_t* byte, void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (s->rxPos < s->rxCount) {
    *byte = s->rx[s->rxPos++];
    return aErrNone;
  }
  if (!sConnected(s)) return aErrConnection;
  bool waited = false;
  for (;;) {
    std::shared_lock<std::shared_mutex> io(s->ioLock);
    ssize_t n = recv(s->fd, s->rx, sizeof s->rx, 0);
    if (n > 0) {
      s->rxCount = static_cast<size_t>(n);
      s->rxPos = 1;
      *byte = s->rx[0];
      return aErrNone;
    }
    if (n == 0) {
      // Peer closed its end: nothing will come. The reader hears of it at
      // once; after that it pauses here instead of spinning.
      bool known = s->peerClosed.exchange(true);
      io.unlock();
      if (known) aWaker_WaitReadable(s->waker, -1, aSOCKET_READ_WAIT_MS);
      return aErrNotReady;
    }
    int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (waited || !aWaker_WaitReadable(s->waker, s->fd, aSOCKET_READ_WAIT_MS)) return aErrNotReady;
      waited = true;
      continue;
    }
    if (!sLostConnection(error)) return aErrConnection;
    io.unlock();
    aErr result = sReset(s);
    if (result != aErrNone) return result;
    ++s->reconnections;
  }
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  if (!sValid(s)) return aErrParam;
  if (!sConnected(s)) return aErrConnection;
  size_t sent = 0;
  int retries = 0;
  while (sent < length && retries < aSOCKET_WRITE_RETRIES) {
    ssize_t n;
    int error;
    {
      std::shared_lock<std::shared_mutex> io(s->ioLock);
      n = send(s->fd, data + sent, length - sent, MSG_NOSIGNAL);
      error = errno;
    }
    if (n >= 0 && static_cast<size_t>(n) == length - sent) return aErrNone;
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      retries = 1;
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
      ++retries;
    } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
      aErr result = sReset(s);
      if (result != aErrNone) return result;
      ++s->reconnections;
      ++retries;
    } else {
      return aErrIO;
    }
    aTime_MSSleep(aSOCKET_RETRY_PAUSE_MS);
  }
  return aErrNone;  // the unsent rest, if any, is dropped
}

aErr sSocketStreamPut(uint8_t byte, void* reference) { return sSocketStreamWrite(&byte, 1, reference); }

void sSocketStreamInterrupt(void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  if (sValid(s)) aWaker_Wake(s->waker);
}

bool sSocketStreamLost(void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  return sValid(s) && (s->peerClosed || !sConnected(s));
}

uint32_t sSocketStreamReconnections(void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  return sValid(s) ? s->reconnections.load() : 0;
}

void sRelease(SocketStream* s) {
  sClose(s);
  aWaker_Destroy(&s->waker);
  s->check = 0;
  delete s;
}

aErr sSocketStreamDelete(void* reference) {
  SocketStream* s = static_cast<SocketStream*>(reference);
  if (!sValid(s)) return aErrIO;
  sRelease(s);
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  SocketStream* s = new (std::nothrow) SocketStream();
  if (s == nullptr) return aErrResource;
  s->check = aSOCKET_CHECK;
  s->port = port;
  s->fd = -1;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  s->waker = aWaker_Create();
  if (s->waker == nullptr || sReset(s) != aErrNone) {
    sRelease(s);
    return aErrResource;
  }
  aStream* created = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                    sSocketStreamDelete, s);
  if (created == nullptr) {
    sRelease(s);
    return aErrResource;
  }
  aStream_SetInterruptProc(created, sSocketStreamInterrupt);
  aStream_SetLostProc(created, sSocketStreamLost);
  aStream_SetReconnectionsProc(created, sSocketStreamReconnections);
  *stream = created;
  return aErrNone;
}
