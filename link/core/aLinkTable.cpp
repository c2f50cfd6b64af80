// The process-wide link table: entries newest first under "aLink_Managed".
#include <atomic>
#include <mutex>
#include <new>

#include "link/core/aLinkInternal.h"

namespace {

aMutex* gTableLock = nullptr;
std::once_flag gTableOnce;
aLinkEntry* gEntries = nullptr;
aLinkRef gNextId = 1;
std::atomic<int32_t> gClientIndex{0};

struct TableGuard {
  TableGuard() {
    std::call_once(gTableOnce, [] { gTableLock = aMutex_Create("aLink_Managed"); });
    aMutex_Lock(gTableLock);
  }
  ~TableGuard() { aMutex_Unlock(gTableLock); }
};

template <typename Match>
aLinkEntry* sFind(Match match) {
  TableGuard guard;
  for (aLinkEntry* entry = gEntries; entry != nullptr; entry = entry->next)
    if (match(entry)) return entry;
  return nullptr;
}

}  // namespace

aLinkEntry* sCreateEntry(linkType type, uint32_t identifier, uint16_t port, int32_t clientIndex) {
  aLinkEntry* entry = new (std::nothrow) aLinkEntry{};
  if (entry == nullptr) return nullptr;
  entry->record = new (std::nothrow) aLinkRecord();
  if (entry->record == nullptr) {
    delete entry;
    return nullptr;
  }
  entry->identifier = identifier;
  entry->port = port;
  entry->clientIndex = clientIndex;
  entry->type = type;
  TableGuard guard;
  entry->id = gNextId++;
  entry->record->id = entry->id;
  entry->next = gEntries;
  gEntries = entry;
  return entry;
}

aLinkEntry* sLookupEntryByID(aLinkRef id) {
  if (id == 0) return nullptr;
  return sFind([id](const aLinkEntry* e) { return e->id == id; });
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier) {
  return sFind([identifier](const aLinkEntry* e) { return e->identifier == identifier; });
}

aLinkEntry* sLookupEntryByClient(uint32_t identifier, uint16_t port, int32_t clientIndex) {
  return sFind([=](const aLinkEntry* e) {
    return e->identifier == identifier && e->port == port && e->clientIndex == clientIndex;
  });
}

aLinkRecord* sLookupRecord(aLinkRef id) {
  aLinkEntry* entry = sLookupEntryByID(id);
  return entry != nullptr ? entry->record : nullptr;
}

bool sRemoveEntry(aLinkEntry* entry) {
  TableGuard guard;
  for (aLinkEntry** at = &gEntries; *at != nullptr; at = &(*at)->next) {
    if (*at == entry) {
      *at = entry->next;
      entry->next = nullptr;
      return true;
    }
  }
  return false;
}

void sAddUse(aLinkEntry* entry) {
  TableGuard guard;
  ++entry->uses;
}

int16_t sDropUse(aLinkEntry* entry) {
  TableGuard guard;
  return --entry->uses;
}

int32_t sCurrentClientIndex(void) { return gClientIndex.load(); }
int32_t sNextClientIndex(void) { return gClientIndex++; }
