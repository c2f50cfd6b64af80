// The sharing server's record and the pieces its actors share. Only the
// server's own files include this.
//
// Threads and what each one owns:
//   broker      frontend, the broker ends of both pipes, the beacon (beacon
//               mode), the reply routing list, the streaming clients, pools
//   worker      the worker end of the synchronous pipe; the only writer of
//               requests to the shared link
//   discovery   the multicast endpoints (multicast mode)
//   in-pipe     the stream filter: the stream batch and the filter end of
//               the streaming pipe
#pragma once

#include <czmq.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <list>
#include <string>
#include <vector>

#include "link/api/aServer.h"
#include "link/core/aDebug.h"
#include "link/core/aLink.h"
#include "link/core/linkSpec.h"

#define aSERVER_CHECK 0x5E4F
#define aSERVER_BATCH_SIZE 4096
// A batch holding more than this is sent at once: one more packet always fits.
#define aSERVER_BATCH_SEND 4065
#define aSERVER_POOL_TTL 2000
#define aSERVER_REPLY_WAIT_MS 2000
#define aSERVER_POLL_MS 1000
#define aSERVER_BEACON_SILENCE_MS 2000
#define aSERVER_INTERFACE_LIMIT 50
#define aSERVER_FLUSH_SIGNAL 5

// Server commands, worker to broker.
#define aSERVER_CMD_SIZE 3
#define aSERVER_CMD_DROPPED_PACKET 0
#define aSERVER_CMD_INCOMING_PACKETS 1

// Packet frames: address, data size, data.
#define aSERVER_FRAME_MIN 2
#define aSERVER_FRAME_MAX 30

// Trace levels of the server.
#define aTRACE_SERVER_INIT 0x01
#define aTRACE_SERVER 0x04
#define aTRACE_SERVER_INTERFACES 0x10

// One client's multi-packet byte-block write, held back until its last chunk
// so that the chunks reach the module back to back.
struct aServerPool {
  std::string identity;
  std::vector<aPacket*> packets;
  uint8_t count;  // sequence number of the last chunk appended
  uint32_t ttl;
};

struct aServer {
  uint16_t check;
  aLinkRef linkId;
  uint32_t serialNumber;
  std::atomic<uint8_t> model;
  std::atomic<uint8_t> moduleAddress;
  bool localOnly;
  uint32_t interfaceAddress;  // network byte order
  uint16_t requestedPort;     // 0: the system picks

  // Beacon state, broker only once started.
  uint32_t beaconStart;
  bool beaconPublishing;

  zactor_t* broker;
  zactor_t* worker;
  zactor_t* discovery;  // multicast worker, or the czmq beacon
  bool discoveryIsBeacon;
  std::atomic<int> discoveryOffset;
  // Each actor sets its flag as its last touch of the record; a stop waits
  // for it after the actor has answered, so the record outlives its users.
  std::atomic<bool> brokerExited;
  std::atomic<bool> workerExited;
  std::atomic<bool> discoveryExited;

  std::atomic<uint16_t> port;
  zsock_t* frontend;
  zsock_t* syncBroker;
  zsock_t* syncWorker;
  int syncPort;  // number of the in-process pipe
  zsock_t* streamBroker;
  zsock_t* streamFilter;
  int streamPort;  // number of the in-process pipe
  bool syncConnected;
  bool streamConnected;
  uint32_t beaconHost;  // network byte order

  uint8_t batch[aSERVER_BATCH_SIZE];
  uint16_t batchFill;
  bool filterInstalled;

  // Broker only.
  std::list<aServerPool>* pools;
  std::deque<std::string> routing;
  std::vector<std::string> streaming;
  uint32_t expected;
  // Requests at the worker whose command has not come back yet, and after a
  // flush the worker's answers still due for requests it forgot: those are
  // discarded rather than routed to whoever asked next.
  uint32_t inFlight;
  uint32_t skipAnswers;
  uint32_t skipFrames;
};

// Frames (aServerFrames.cpp).
// A packet frame to a packet; null (with the debug line) when malformed.
aPacket* aServerFrame_ToPacket(const uint8_t* bytes, size_t size);
// A packet's wire bytes; returns their count.
size_t aServerFrame_FromPacket(const aPacket* packet, uint8_t* wire);
// Non-blocking sends; false when the socket would not take the part.
bool aServerFrame_Send(zsock_t* socket, const void* data, size_t size, bool more);
// One whole message, each part copied out; false when nothing could be read.
bool aServerFrame_Receive(zsock_t* socket, std::vector<std::string>& parts);
// A server command goes as [empty marker, 3-byte command], a reply packet
// as one frame, so a reply with one data byte (3 bytes too) is never taken
// for a command.
bool aServerFrame_SendCommand(zsock_t* socket, uint8_t command, uint16_t count);
bool aServerFrame_IsCommand(const std::vector<std::string>& parts);
// True when the module answers this request: not route control, and not an
// intermediate chunk of a byte-block write. Broker and worker both use it,
// so a routing entry exists exactly for each request the worker answers.
bool aServer_ExpectsReply(const aPacket* packet);
// A full byte-array packet with the continue bit: more of the block follows.
bool aServer_IsContinuedChunk(const aPacket* packet);

// Actors.
void aServer_BrokerActor(zsock_t* pipe, void* server);
void aServer_WorkerActor(zsock_t* pipe, void* server);
void aServer_MulticastActor(zsock_t* pipe, void* server);

// Broker pieces.
void aServer_OnClientPacket(aServer* server, const std::string& identity, const std::string& frame);
void aServer_OnWorkerMessage(aServer* server, const std::vector<std::string>& parts);
// Pooling: true when the packet was taken (held or dropped) by the pools.
bool aServer_PoolPacket(aServer* server, const std::string& identity, const aPacket* packet);
void aServer_DestroyPools(aServer* server);
// Sends a packet to the worker; false when the pipe would not take it.
bool aServer_Forward(aServer* server, const aPacket* packet);
// Forwards a request that expects a reply, with its routing entry.
bool aServer_ForwardRequest(aServer* server, const std::string& identity, const aPacket* packet);

// Discovery.
// The record discovery hands out: type 4, serial, model, address and port.
linkSpec aServer_DiscoveryRecord(const aServer* server, uint32_t ipAddress);
aErr aServer_StartDiscovery(aServer* server);
void aServer_StopDiscovery(aServer* server);
void aServer_OnBeacon(aServer* server);
void aServer_SilenceBeacon(aServer* server);

// Streaming: the user packet filter on the shared link's receiving thread.
bool aServer_StreamFilter(const aPacket* packet, void* server);

// Asks for a fixed public port (before aServer_Start), so that a server can
// come back where its clients expect it.
aErr _aServer_RequestPort(aServer* server, uint16_t port);
