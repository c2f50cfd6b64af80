#include "link/core/aStream.h"

#include <new>
#include <stdlib.h>
#include <string.h>

#define aSTREAM_RING_STEP 512

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* reference) {
  aStream* stream = new (std::nothrow) aStream{};
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->del = del;
  stream->reference = reference;
  stream->check = aSTREAM_CHECK;
  return stream;
}

aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_WaitReadable(aStream* stream, uint32_t milliseconds) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->pushCount > 0 || stream->wait == nullptr) return aErrNone;
  return stream->wait(milliseconds, stream->reference);
}

aErr aStream_SetInterruptProc(aStream* stream, aStreamInterruptProc interrupt) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->interrupt = interrupt;
  return aErrNone;
}

aErr aStream_Interrupt(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->interrupt != nullptr) stream->interrupt(stream->reference);
  return aErrNone;
}

aErr aStream_SetLostProc(aStream* stream, aStreamLostProc lost) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->lost = lost;
  return aErrNone;
}

bool aStream_IsLost(aStream* stream) {
  return aVALIDSTREAM(stream) && stream->lost != nullptr && stream->lost(stream->reference);
}

aErr aStream_SetReconnectionsProc(aStream* stream, aStreamReconnectionsProc reconnections) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->reconnections = reconnections;
  return aErrNone;
}

uint32_t aStream_Reconnections(aStream* stream) {
  if (!aVALIDSTREAM(stream) || stream->reconnections == nullptr) return 0;
  return stream->reconnections(stream->reference);
}

namespace {

// Grows the ring by one step, unrolling it so that head becomes 0.
bool sGrowRing(aStream* stream) {
  size_t capacity = stream->pushCapacity + aSTREAM_RING_STEP;
  uint8_t* ring = static_cast<uint8_t*>(malloc(capacity));
  if (ring == nullptr) return false;
  for (size_t i = 0; i < stream->pushCount; ++i)
    ring[i] = stream->pushBack[(stream->pushHead + i) % stream->pushCapacity];
  free(stream->pushBack);
  stream->pushBack = ring;
  stream->pushHead = 0;
  stream->pushTail = stream->pushCount;
  stream->pushCapacity = capacity;
  return true;
}

bool sPopByte(aStream* stream, uint8_t* byte) {
  if (stream->pushCount == 0) return false;
  *byte = stream->pushBack[stream->pushHead];
  stream->pushHead = (stream->pushHead + 1) % stream->pushCapacity;
  --stream->pushCount;
  return true;
}

// One byte: push-back ring first, then the get procedure.
aErr sGetByte(aStream* stream, uint8_t* byte) {
  if (sPopByte(stream, byte)) return aErrNone;
  return stream->get(byte, stream->reference);
}

}  // namespace

aErr aStream_PushBack(aStream* stream, const uint8_t* bytes, size_t count) {
  if (!aVALIDSTREAM(stream) || (bytes == nullptr && count > 0)) return aErrParam;
  if (count == 0) return aErrNone;
  // The pushed bytes go before whatever the ring already holds, so build the
  // new order in a scratch copy: pushed bytes, then the older pending ones.
  size_t pending = stream->pushCount;
  uint8_t* merged = static_cast<uint8_t*>(malloc(count + pending));
  if (merged == nullptr) return aErrMemory;
  memcpy(merged, bytes, count);
  for (size_t i = 0; i < pending; ++i) sPopByte(stream, &merged[count + i]);
  aErr result = aErrNone;
  for (size_t i = 0; i < count + pending; ++i) {
    if (stream->pushCapacity == 0 || stream->pushCount >= stream->pushCapacity - 1) {
      if (!sGrowRing(stream)) {
        result = aErrMemory;
        break;
      }
    }
    stream->pushBack[stream->pushTail] = merged[i];
    stream->pushTail = (stream->pushTail + 1) % stream->pushCapacity;
    ++stream->pushCount;
  }
  free(merged);
  return result;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  if (size == 1 && stream->pushCount == 0) return stream->get(buffer, stream->reference);
  uint8_t* copy = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) return aErrResource;
  size_t collected = 0;
  aErr result = aErrNone;
  while (collected < size) {
    result = sGetByte(stream, &copy[collected]);
    if (result != aErrNone) break;
    ++collected;
  }
  if (result == aErrNone || result == aErrEOF) {
    memcpy(buffer, copy, collected);
  } else if (result == aErrNotReady) {
    aStream_PushBack(stream, copy, collected);
  }
  free(copy);
  return result;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length) {
  if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
  if (stream->write == nullptr && stream->put == nullptr) return aErrMode;
  if (stream->write != nullptr && length > 1) return stream->write(data, length, stream->reference);
  if (stream->put == nullptr) return stream->write(data, length, stream->reference);
  for (size_t i = 0; i < length; ++i) {
    aErr result = stream->put(data[i], stream->reference);
    if (result != aErrNone) return result;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr || terminatorLength == 0)
    return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  uint8_t* record = static_cast<uint8_t*>(malloc(capacity > 0 ? capacity : 1));
  if (record == nullptr) return aErrResource;
  size_t stored = 0;
  size_t matched = 0;
  aErr result = aErrNone;
  while (stored < capacity && matched < terminatorLength) {
    uint8_t byte = 0;
    result = aStream_Read(stream, &byte, 1);
    if (result != aErrNone) break;
    // A matching byte advances the terminator and is not stored; the match is
    // never restarted after a mismatch (partly matched bytes are dropped).
    if (byte == terminator[matched]) {
      ++matched;
    } else {
      record[stored++] = byte;
    }
  }
  if (result == aErrNotReady) {
    aStream_PushBack(stream, record, stored);
  } else if (result == aErrEOF && stored > 0) {
    result = aErrNone;
  }
  if (result == aErrNone) {
    memcpy(buffer, record, stored);
    if (length != nullptr) *length = stored;
  } else if (result == aErrEOF && length != nullptr) {
    *length = 0;
  }
  free(record);
  return result;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
  if (!aVALIDSTREAM(stream) || data == nullptr || terminator == nullptr || terminatorLength == 0)
    return aErrParam;
  aErr result = aStream_Write(stream, data, length);
  if (result == aErrNone) result = aStream_Write(stream, terminator, terminatorLength);
  return result;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  static const uint8_t kNul = 0;
  if (buffer == nullptr || size < 1) return aErrParam;
  size_t length = 0;
  aErr result = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, &kNul, 1);
  if (result == aErrNone) buffer[length] = '\0';
  return result;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  static const uint8_t kNul = 0;
  if (text == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text), &kNul, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
  if (buffer == nullptr || terminator == nullptr || size < 1) return aErrParam;
  size_t length = 0;
  aErr result = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                   reinterpret_cast<const uint8_t*>(terminator), strlen(terminator));
  if (result == aErrNone) buffer[length] = '\0';
  return result;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
  if (text == nullptr || terminator == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(terminator), strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
  if (source->get == nullptr || destination->put == nullptr) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    aErr result = aStream_Read(source, &byte, 1);
    if (result == aErrEOF) return aErrNone;
    if (result != aErrNone) return result;
    result = destination->put(byte, destination->reference);
    if (result != aErrNone) return result;
  }
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr) return aErrParam;
  aStream* s = *stream;
  *stream = nullptr;
  if (!aVALIDSTREAM(s)) return aErrParam;
  aErr result = s->del != nullptr ? s->del(s->reference) : aErrNone;
  free(s->pushBack);
  s->check = 0;
  delete s;
  return result;
}
