// The creation paths: USB, TCP/IP, serial, caller stream, and the two paths
// through a link-sharing server.
#include "link/core/aDebug.h"
#include "link/core/aLinkInternal.h"
#include "link/core/aTime.h"
#include "link/core/aLinkSharing.h"

namespace {

// Baud rate to the serial stream's baud index, -1 when not offered.
int sBaudIndex(uint32_t baudRate) {
  static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (int i = 0; i < 8; ++i)
    if (kRates[i] == baudRate) return i;
  return -1;
}

aLinkRef sFail(aLinkRef id) {
  aLink_Destroy(&id);
  return 0;
}

// Removes an entry that never got a record initialised.
void sDiscardEntry(aLinkEntry* entry) {
  sRemoveEntry(entry);
  delete entry->record;
  delete entry;
}

}  // namespace

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
  aLinkEntry* existing = sLookupEntryByIdentifier(serialNumber);
  if (existing != nullptr) {
    if (existing->server != nullptr) {
      aTRACE(aTRACE_LINK, "This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
      return 0;
    }
    sAddUse(existing);
    return existing->id;
  }
  aLinkEntry* entry = sCreateEntry(linkTypeUSB, serialNumber, 0, 0);
  if (entry == nullptr) return 0;
  aLinkRef id = entry->id;
  aStream* stream = nullptr;
  if (aStream_CreateUSB(serialNumber, &stream) != aErrNone) stream = nullptr;
  if (aLink_Init(id, stream) == 0 || stream == nullptr) return sFail(id);
  sAddUse(entry);
  if (aLink_Start(id) != aErrNone || aLink_Sync(id) != aErrNone) return sFail(id);
  return id;
}

aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  aLinkEntry* existing = sLookupEntryByIdentifier(address);
  if (existing != nullptr) {
    sAddUse(existing);
    return existing->id;
  }
  aLinkEntry* entry = sCreateEntry(linkTypeTCPIP, address, port, 0);
  if (entry == nullptr) return 0;
  aLinkRef id = entry->id;
  aStream* stream = nullptr;
  if (aStream_CreateSocket(address, port, &stream) != aErrNone) return sFail(id);
  if (aLink_Init(id, stream) == 0) return sFail(id);
  if (aLink_Start(id) != aErrNone) return sFail(id);
  sAddUse(entry);
  return id;
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* devicePath, uint32_t baudRate) {
  aLinkEntry* existing = sLookupEntryByIdentifier(serialNumber);
  if (existing != nullptr) {
    sAddUse(existing);
    return existing->id;
  }
  aLinkEntry* entry = sCreateEntry(linkTypeSerial, serialNumber, 0, 0);
  if (entry == nullptr) return 0;
  aLinkRef id = entry->id;
  int baudIndex = sBaudIndex(baudRate);
  if (baudIndex < 0) {
    sDiscardEntry(entry);
    return 0;
  }
  aStream* stream = nullptr;
  bool ok = aStream_CreateSerial(devicePath, baudIndex, false, 0, 0, &stream) == aErrNone &&
            aLink_Init(id, stream) != 0;
  if (ok) {
    sAddUse(entry);
    ok = aLink_Start(id) == aErrNone;
  }
  if (!ok) {
    if (stream != nullptr && entry->record->stream == nullptr) aStream_Destroy(&stream);
    aTRACE(aTRACE_LINK, " error creating USB Link, destroying the id (%d)\n", id);
    return sFail(id);
  }
  return id;
}

aLinkRef aLink_Create(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return 0;
  aLinkEntry* entry = sCreateEntry(linkTypeStream, aLINK_LEGACY_IDENTIFIER, 0, 0);
  if (entry == nullptr) return 0;
  aLinkRef id = entry->id;
  if (aLink_Init(id, stream) == 0 || aLink_Start(id) != aErrNone) return sFail(id);
  sAddUse(entry);
  return id;
}

aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef reference) {
  if (reference != 0) {
    aLinkEntry* referenced = sLookupEntryByID(reference);
    if (referenced == nullptr) {
      aTRACE(aTRACE_LINK, "The provided ref is invalid.");
      return 0;
    }
    sAddUse(referenced);
    return reference;
  }
  aLinkEntry* existing = sLookupEntryByClient(address, port, sCurrentClientIndex());
  if (existing != nullptr) {
    sAddUse(existing);
    return existing->id;
  }
  aLinkEntry* entry = sCreateEntry(linkTypeClient, address, port, sNextClientIndex());
  if (entry == nullptr) return 0;
  aLinkRef id = entry->id;
  aStream* stream = nullptr;
  if (aLinkSharing_Procs()->createClientStream(address, port, &stream) != aErrNone) {
    sDiscardEntry(entry);
    return 0;
  }
  if (aLink_Init(id, stream) == 0 || aLink_Start(id) != aErrNone) return sFail(id);
  sAddUse(entry);
  return id;
}

aLinkRef aLink_CreateServer(uint32_t serialNumber, uint16_t* port, uint32_t* interfaceAddress, bool localOnly) {
  if (port == nullptr || interfaceAddress == nullptr) return 0;
  aLinkRef usbId = aLink_CreateUSB(serialNumber);
  aLinkRef clientId = 0;
  aLinkEntry* usbEntry = usbId != 0 ? sLookupEntryByID(usbId) : nullptr;
  uint32_t address = 0;
  const aLinkSharingProcs* sharing = aLinkSharing_Procs();
  const char* failure = nullptr;
  if (usbId == 0) {
    failure = "FAIL: aLink_CreateUSB:";
  } else if (usbEntry == nullptr) {
    failure = "FAIL: sLookupEntryByID:";
  } else if ((usbEntry->server = sharing->create(usbId, *interfaceAddress, localOnly)) == nullptr) {
    failure = "FAIL: aServer_Create:";
  } else if (sharing->start(usbEntry->server) != aErrNone) {
    failure = "FAIL: aServer_Start:";
  } else if (sharing->getPort(usbEntry->server, port) != aErrNone) {
    failure = "FAIL: aServer_GetPort:";
  } else if (sharing->getInterface(usbEntry->server, &address) != aErrNone) {
    failure = "FAIL: aServer_GetInterface:";
  } else if ((clientId = aLink_CreateClient(address, *port, 0)) == 0) {
    failure = "FAIL: aLink_CreateClient:";
  } else {
    aLinkEntry* clientEntry = sLookupEntryByID(clientId);
    if (clientEntry == nullptr) {
      failure = "FAIL: NULL != clientItem:";
    } else {
      clientEntry->linkedId = usbId;
      aErr detail = aErrNotReady;
      for (int attempt = 0; attempt < 5 && detail != aErrNone; ++attempt) {
        detail = _aLink_ConfigureServerDetails(clientId, usbEntry->server);
        if (detail != aErrNone) {
          aTRACE(aTRACE_SHARING, "FAIL: for _getDeviceInfo will try again. :");
          aTime_MSSleep(10);
        }
      }
      if (detail != aErrNone) failure = "FAIL: NULL != _getDeviceInfo:";
    }
  }
  if (failure == nullptr) {
    *interfaceAddress = address;
    return clientId;
  }
  aTRACE(aTRACE_SHARING, "%s", failure);
  aTRACE(aTRACE_SHARING, "Failed to create server");
  // The client link takes the USB link (linked id) with it once recorded.
  aLinkEntry* clientEntry = clientId != 0 ? sLookupEntryByID(clientId) : nullptr;
  bool linked = clientEntry != nullptr && clientEntry->linkedId == usbId;
  if (clientId != 0) aLink_Destroy(&clientId);
  if (usbId != 0 && !linked) aLink_Destroy(&usbId);
  return 0;
}
