// The client byte stream of a sharing server. Each write goes to the server
// as one packet frame; reads hand out the bytes of the frames the server
// sends (replies and stream batches), which the link engine parses.
//
// The server socket belongs to a client actor; the stream's reader and
// writer reach it through two in-process socket pairs, since zmq sockets
// must not be shared between threads.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "link/api/aDiscovery.h"
#include "link/api/aServer.h"
#include "link/core/aDebug.h"
#include "link/core/aThreadSanitizer.h"
#include "link/core/aTime.h"
#include "link/core/aWaker.h"

#include <czmq.h>

#define aCLIENT_CHECK 0xC11E
#define aCLIENT_POLL_MS 1000
#define aCLIENT_READ_WAIT_MS 1000
#define aCLIENT_SEND_TRIES 100

namespace {

struct ClientStream {
  uint16_t check = aCLIENT_CHECK;
  zsock_t* outBound = nullptr;      // written by the stream
  zsock_t* outConnected = nullptr;  // read by the actor
  zsock_t* inBound = nullptr;       // read by the stream
  zsock_t* inConnected = nullptr;   // written by the actor
  zsock_t* server = nullptr;        // the actor's
  zactor_t* actor = nullptr;
  std::atomic<bool> actorExited{false};
  aWaker* waker = nullptr;  // ends the reader's wait on a stop
  // The frame being read and how far.
  zmq_msg_t current;
  size_t position = 0;
  bool hasCurrent = false;
};

zsock_t* sSocket() {
  zsock_t* socket = zsock_new(ZMQ_DEALER);
  if (socket != nullptr) zsock_set_linger(socket, 0);
  return socket;
}

// One of the stream's internal pairs, in-process like the server's pipes.
bool sPair(zsock_t* bound, zsock_t* connected) {
  static std::atomic<int> counter{0};
  int number = ++counter;
  return zsock_bind(bound, "inproc://tv-client-pair-%d", number) == 0 &&
         zsock_connect(connected, "inproc://tv-client-pair-%d", number) == 0;
}

// Sends one received message part on, retrying while the peer's queue is
// full or not yet connected.
bool sRelay(zmq_msg_t* message, zsock_t* to, int tries) {
  int flags = ZMQ_DONTWAIT | (zmq_msg_more(message) ? ZMQ_SNDMORE : 0);
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (zmq_msg_send(message, zsock_resolve(to), flags) >= 0) return true;
    if (attempt + 1 < tries) aTime_MSSleep(1);
  }
  return false;
}

void sMove(zsock_t* from, zsock_t* to, int tries) {
  zmq_msg_t message;
  zmq_msg_init(&message);
  if (zmq_msg_recv(&message, zsock_resolve(from), ZMQ_DONTWAIT) >= 0 && !sRelay(&message, to, tries) && tries > 1)
    aTRACE(aTRACE_CLIENT, "Client send error Frontend->incomming: %d\n", zmq_errno());
  zmq_msg_close(&message);
}

// czmq's own SIGINT handler only records the interrupt, which would leave a
// Ctrl+C without effect in a program that never asks czmq. Hand the signal
// to what the program had before czmq (the default action if nothing), then
// put czmq's handler back.
void sForwardInterrupt() {
  struct sigaction czmqAction{};
  sigaction(SIGINT, nullptr, &czmqAction);
  zsys_handler_reset();
  struct sigaction now{};
  sigaction(SIGINT, nullptr, &now);
  if (now.sa_handler == czmqAction.sa_handler) {
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGINT, &fallback, nullptr);
  }
  // The program's handler has seen this interrupt: do not forward it again.
  zsys_interrupted = 0;
  // Raised on this thread, the signal is handled before raise returns,
  // while the program's handler is still the one installed.
  int result = raise(SIGINT);
  aTRACE(aTRACE_CLIENT, "Ctrl+C signal for pid: %d Success: %d\n", static_cast<int>(getpid()), result == 0);
  sigaction(SIGINT, &czmqAction, nullptr);
}

void sClientActor(zsock_t* pipe, void* argument) {
  ClientStream* s = static_cast<ClientStream*>(argument);
  zpoller_t* poller = zpoller_new(pipe, s->server, s->outConnected, nullptr);
  if (poller != nullptr) zpoller_set_nonstop(poller, true);
  zsock_signal(pipe, 0);
  while (poller != nullptr) {
    void* which = zpoller_wait(poller, aCLIENT_POLL_MS);
    if (which == pipe) break;
    if (which == s->server) sMove(s->server, s->inConnected, aCLIENT_SEND_TRIES);
    else if (which == s->outConnected) sMove(s->outConnected, s->server, 1);
    if (zsys_interrupted) sForwardInterrupt();
  }
  zpoller_destroy(&poller);
  s->actorExited = true;
}

aErr sClientGet(uint8_t* byte, void* reference) {
  ClientStream* s = static_cast<ClientStream*>(reference);
  if (s == nullptr || s->check != aCLIENT_CHECK) return aErrParam;
  if (s->hasCurrent && s->position < zmq_msg_size(&s->current)) {
    *byte = static_cast<const uint8_t*>(zmq_msg_data(&s->current))[s->position++];
    return aErrNone;
  }
  if (s->hasCurrent) {
    zmq_msg_close(&s->current);
    s->hasCurrent = false;
  }
  zmq_pollitem_t items[2] = {{zsock_resolve(s->inBound), 0, ZMQ_POLLIN, 0},
                             {nullptr, aWaker_Descriptor(s->waker), ZMQ_POLLIN, 0}};
  int ready = zmq_poll(items, 2, aCLIENT_READ_WAIT_MS);
  if (ready == 0 || (ready < 0 && zmq_errno() == EINTR)) return aErrNotReady;
  if (ready < 0) return aErrUnknown;
  if (items[1].revents & ZMQ_POLLIN) {
    aWaker_Consume(s->waker);
    return aErrNotReady;
  }
  zmq_msg_init(&s->current);
  if (zmq_msg_recv(&s->current, zsock_resolve(s->inBound), ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&s->current);
    return aErrIO;
  }
  s->hasCurrent = true;
  s->position = 0;
  if (zmq_msg_size(&s->current) == 0) return aErrIndexRange;
  *byte = static_cast<const uint8_t*>(zmq_msg_data(&s->current))[s->position++];
  return aErrNone;
}

aErr sClientPut(uint8_t, void*) { return aErrUnimplemented; }

void sClientInterrupt(void* reference) {
  ClientStream* s = static_cast<ClientStream*>(reference);
  if (s != nullptr && s->check == aCLIENT_CHECK) aWaker_Wake(s->waker);
}

aErr sClientWrite(const uint8_t* data, size_t length, void* reference) {
  ClientStream* s = static_cast<ClientStream*>(reference);
  if (s == nullptr || s->check != aCLIENT_CHECK) return aErrParam;
  for (int attempt = 0; attempt < aCLIENT_SEND_TRIES; ++attempt) {
    if (zmq_send(zsock_resolve(s->outBound), data, length, ZMQ_DONTWAIT) >= 0) break;
    aTime_MSSleep(1);
  }
  return aErrNone;
}

void sRelease(ClientStream* s) {
  if (s->actor != nullptr) {
    zactor_destroy(&s->actor);
    while (!s->actorExited) aTime_MSSleep(1);
  }
  if (s->hasCurrent) zmq_msg_close(&s->current);
  zsock_destroy(&s->server);
  zsock_destroy(&s->outBound);
  zsock_destroy(&s->outConnected);
  zsock_destroy(&s->inBound);
  zsock_destroy(&s->inConnected);
  aWaker_Destroy(&s->waker);
  s->check = 0;
  delete s;
}

aErr sClientDelete(void* reference) {
  ClientStream* s = static_cast<ClientStream*>(reference);
  if (s == nullptr || s->check != aCLIENT_CHECK) return aErrParam;
  sRelease(s);
  return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) return aErrParam;
  aThreadSanitizer_Hook();
  ClientStream* s = new (std::nothrow) ClientStream();
  if (s == nullptr) return aErrMemory;
  s->outBound = sSocket();
  s->outConnected = sSocket();
  s->inBound = sSocket();
  s->inConnected = sSocket();
  s->server = sSocket();
  s->waker = aWaker_Create();
  if (s->waker == nullptr || s->outBound == nullptr || s->outConnected == nullptr || s->inBound == nullptr || s->inConnected == nullptr ||
      s->server == nullptr) {
    sRelease(s);
    return aErrMemory;
  }
  char dotted[16];
  bool connected = sPair(s->outBound, s->outConnected) && sPair(s->inBound, s->inConnected) &&
                   aDiscovery_ConvertIPv4Interface(address, dotted, sizeof dotted) != 0 &&
                   zsock_connect(s->server, "tcp://%s:%d", dotted, static_cast<int>(port)) == 0;
  if (!connected) {
    sRelease(s);
    return aErrConnection;
  }
  s->actor = zactor_new(sClientActor, s);
  aStream* created = s->actor != nullptr ? aStream_Create(sClientGet, sClientPut, sClientWrite, sClientDelete, s) : nullptr;
  if (created == nullptr) {
    sRelease(s);
    return aErrResource;
  }
  aStream_SetInterruptProc(created, sClientInterrupt);
  *stream = created;
  return aErrNone;
}
