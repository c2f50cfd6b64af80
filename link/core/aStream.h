// Byte streams: four optional procedures over an opaque reference, with a
// push-back ring so that a partial read is never lost. One reader thread and
// one writer thread may use a stream at once; nothing here locks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "link/core/aErr.h"

#define aSTREAM_CHECK 0x4321

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Optional: waits until a byte may be read or `milliseconds` pass. Lets an
// idle reader sleep on streams whose get answers at once (serial, kernel node).
typedef aErr (*aStreamWaitProc)(uint32_t milliseconds, void* reference);
// Optional: ends the reader's wait in progress (or its next one) at once.
typedef void (*aStreamInterruptProc)(void* reference);
// Optional: true while the far end has closed the connection and the
// stream has not re-established it.
typedef bool (*aStreamLostProc)(void* reference);
// Optional: how many connections the stream made anew by itself after losing
// one. Bytes on a new connection follow a gap the far end did not bridge.
typedef uint32_t (*aStreamReconnectionsProc)(void* reference);

typedef struct aStream {
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* reference;
  uint8_t* pushBack;
  size_t pushCount;
  size_t pushCapacity;
  size_t pushHead;
  size_t pushTail;
  uint16_t check;
  aStreamWaitProc wait;
  aStreamInterruptProc interrupt;
  aStreamLostProc lost;
  aStreamReconnectionsProc reconnections;
} aStream;

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAM_CHECK)

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference);
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);
// Waits for readability through the wait procedure; returns at once when
// bytes are pushed back or the stream has no wait procedure.
aErr aStream_WaitReadable(aStream* stream, uint32_t milliseconds);
aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt);
// Wakes the reader: its wait for bytes (in a read or in aStream_WaitReadable)
// ends now with not-ready, or the next one does when none is in progress.
aErr aStream_Interrupt(aStream* stream);
aErr aStream_SetLostProc(aStream* stream, aStreamLostProc lost);
// True while the far end has closed the connection (false for streams that
// cannot tell).
bool aStream_IsLost(aStream* stream);
aErr aStream_SetReconnectionsProc(aStream* stream, aStreamReconnectionsProc reconnections);
// Connections made anew so far (0 for streams that never make one).
uint32_t aStream_Reconnections(aStream* stream);

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size);
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length);
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
aErr aStream_Flush(aStream* source, aStream* destination);
aErr aStream_Destroy(aStream** stream);

// Concrete kinds.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);
aErr aStream_CreateSerial(const char* path, int baudIndex, bool parity, int dataBits, int stopBits,
                          aStream** stream);
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// Pushes bytes back so later reads deliver them first (in this order).
aErr aStream_PushBack(aStream* stream, const uint8_t* bytes, size_t count);
