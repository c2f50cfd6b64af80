// The packet log of a Link: the engine records every packet in a byte ring,
// and a logger thread drains the ring into a text file, one line a record.
#include "link/api/LinkImpl.h"
#include "link/core/aTime.h"

namespace Veltrane::Tolvarine {

namespace {

constexpr uint8_t kTextRecord = 3;
constexpr uint32_t kRecordCapacity = 64;
constexpr uint32_t kIdleSleepMs = 5;

// Logger procedure: one record per call, or a short sleep when none waits.
void sWriteRecord(aFile* file, int32_t reference) {
  uint8_t kind = 0;
  uint32_t length = kRecordCapacity;
  uint8_t bytes[kRecordCapacity];
  if (aLink_PacketDebug_Read(static_cast<aLinkRef>(reference), &kind, &length, bytes) != aErrNone) {
    aTime_MSSleep(kIdleSleepMs);
    return;
  }
  aFile_Printf(file, "%d %s ", static_cast<int>(length), kind == aPACKETLOG_SENT ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (kind == kTextRecord)
      aFile_Printf(file, "%c", bytes[i]);
    else
      aFile_Printf(file, "0x%X ", bytes[i]);
  }
  aFile_Printf(file, "\r\n");
}

}  // namespace

aErr Link::enablePacketLog(const char* path) {
  if (m_impl->linkId == 0) return aErrConfiguration;
  aErr result = aLink_PacketDebug_Enable(m_impl->linkId);
  if (result != aErrNone) return result;
  if (m_impl->packetLogger == nullptr) {
    m_impl->packetLogger = aLogger_Create(static_cast<int32_t>(m_impl->linkId), sWriteRecord, path);
    if (m_impl->packetLogger == nullptr) return aErrIO;
  }
  result = aLogger_Enable(m_impl->packetLogger);
  if (result == aErrNone) {
    static const uint8_t kStart[] = "START";
    aLink_PacketDebug_Write(m_impl->linkId, kTextRecord, sizeof kStart, kStart);
  }
  return result;
}

aErr Link::disablePacketLog() {
  if (m_impl->linkId == 0) return aErrConfiguration;
  aLink_PacketDebug_Disable(m_impl->linkId);
  return aLogger_Disable(m_impl->packetLogger);
}

}  // namespace Veltrane::Tolvarine
