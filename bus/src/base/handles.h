// Generation-checked handles, one table implementation and one bit layout for
// every kind the library hands out (timers, channels, io watches, clients,
// bindings):
//
//   bits 0..2    kind (1..5; 0 is never a handle)
//   bits 3..33   slot index
//   bits 34..61  generation of the slot when the handle was issued
//
// A slot's generation changes when it is retired, so every handle issued
// for it before goes stale; freed slots come back in FIFO order, and only
// once many others wait behind them, so a stale handle rarely even meets a
// recycled slot.  Values stay below 2^62: the two highest bits are equal and
// a handle survives a 63-bit tagged integer exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wex {

enum class HandleKind : uint8_t {
  kTimer = 1,
  kChannel = 2,
  kIoWatch = 3,
  kClient = 4,
  kBinding = 5
};

inline HandleKind handle_kind(uint64_t handle) { return HandleKind(handle & 7); }

template <typename T>
class HandleTable {
 public:
  // Stores value in a free slot; returns its handle.
  uint64_t issue(HandleKind kind, T value) {
    uint32_t index;
    if (free_.size() - free_head_ > kReuseDelay) {
      index = free_[free_head_++];
      if (free_head_ > 1024 && free_head_ * 2 > free_.size()) {
        free_.erase(free_.begin(), free_.begin() + long(free_head_));
        free_head_ = 0;
      }
    } else {
      index = uint32_t(slots_.size());
      slots_.emplace_back();
    }
    Slot &slot = slots_[index];
    slot.kind = kind;
    slot.live = true;
    slot.value = std::move(value);
    return encode(kind, index, slot.generation);
  }

  // The live value that handle names, if it is of this kind; else nullptr.
  T *find(uint64_t handle, HandleKind kind) {
    return handle_kind(handle) == kind ? find(handle) : nullptr;
  }
  T *find(uint64_t handle) {
    uint64_t index = (handle >> kIndexShift) & kIndexMask;
    if (index >= slots_.size()) return nullptr;
    Slot &slot = slots_[index];
    if (!slot.live || slot.kind != handle_kind(handle) ||
        slot.generation != handle >> kGenerationShift)
      return nullptr;
    return &slot.value;
  }

  // Slots by index, for structures (a timer heap) that refer to slots.  A
  // pointer from find() or at() is valid until the next issue().
  T *at(uint32_t index) {
    return index < slots_.size() && slots_[index].live ? &slots_[index].value : nullptr;
  }
  uint64_t handle_at(uint32_t index) const {
    const Slot &slot = slots_[index];
    return encode(slot.kind, index, slot.generation);
  }
  static uint32_t index_of(uint64_t handle) {
    return uint32_t((handle >> kIndexShift) & kIndexMask);
  }

  // Makes the handle stale and frees its slot; false when it was not live.
  bool retire(uint64_t handle) {
    if (find(handle) == nullptr) return false;
    uint32_t index = index_of(handle);
    Slot &slot = slots_[index];
    slot.live = false;
    slot.value = T{};
    slot.generation = (slot.generation + 1) & kGenerationMask;
    free_.push_back(index);
    return true;
  }

 private:
  static constexpr int kIndexShift = 3;
  static constexpr uint64_t kIndexMask = (uint64_t{1} << 31) - 1;
  static constexpr int kGenerationShift = 34;
  static constexpr uint32_t kGenerationMask = (1u << 28) - 1;
  static constexpr size_t kReuseDelay = 64;

  struct Slot {
    uint32_t generation = 0;
    HandleKind kind = HandleKind(0);
    bool live = false;
    T value{};
  };
  static uint64_t encode(HandleKind kind, uint32_t index, uint32_t generation) {
    return uint64_t{generation} << kGenerationShift | uint64_t{index} << kIndexShift |
           uint64_t(kind);
  }

  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;  // a FIFO queue: free_[free_head_] comes back first
  size_t free_head_ = 0;
};

}  // namespace wex
