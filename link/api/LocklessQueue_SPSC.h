// A fixed ring for exactly one producer thread and one consumer thread: no
// locks, two sequentially consistent indices. One slot always stays empty to
// tell full from empty, so it holds capacity - 1 entries.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>

namespace Veltrane {

template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t capacity)
      : slots(std::make_unique<T[]>(capacity)), capacity(capacity), writeIndex(0), readIndex(0) {}

  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  // Producer side; false when full (the value is not taken).
  bool push(const T& value) {
    uint16_t next = advance(writeIndex.load());
    if (next == readIndex.load()) return false;
    slots[next] = value;
    writeIndex.store(next);
    return true;
  }

  // Consumer side; false when empty.
  bool pop(T& value) {
    uint16_t read = readIndex.load();
    if (read == writeIndex.load()) return false;
    read = advance(read);
    value = slots[read];
    slots[read] = T();  // drop whatever the slot still refers to
    readIndex.store(read);
    return true;
  }

  bool empty() const { return readIndex.load() == writeIndex.load(); }
  uint16_t size() const {
    int count = static_cast<int>(writeIndex.load()) - static_cast<int>(readIndex.load());
    return static_cast<uint16_t>(count < 0 ? count + capacity : count);
  }
  uint16_t getCapacity() const { return capacity; }

 private:
  uint16_t advance(uint16_t index) const {
    return static_cast<uint16_t>(index + 1 == capacity ? 0 : index + 1);
  }

  std::unique_ptr<T[]> slots;
  uint16_t capacity;
  std::atomic<uint16_t> writeIndex;
  std::atomic<uint16_t> readIndex;
};

}  // namespace Veltrane
