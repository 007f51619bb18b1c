// Generation-checked handles for the agent's clients and bindings.  The loop
// marks its own handles with a kind in the two lowest bits (1..3); ours keep
// those bits at 0 and carry their kind just above, so no handle of one table
// can pass for a live entry of another.  Values stay below 2^62, so the two
// highest bits are equal and a handle survives a 63-bit tagged integer.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace wex {

enum class HandleKind : uint64_t { kClient = 1, kBinding = 2 };

template <typename T, HandleKind Kind>
class HandleTable {
 public:
  uint64_t issue(T *object) {
    uint32_t index;
    if (free_.size() > kReuseDelay) {
      // FIFO reuse: a slot waits behind many others before it comes back,
      // so a stale handle meets a recycled slot only after a long time, and
      // then the generation tells them apart anyway.
      index = free_.front();
      free_.pop_front();
    } else {
      index = uint32_t(slots_.size());
      slots_.push_back(Slot{});
    }
    slots_[index].object = object;
    return encode(index, slots_[index].generation);
  }

  T *find(uint64_t handle) const {
    if ((handle & 15) != uint64_t(Kind) << 2) return nullptr;
    uint64_t index = (handle >> kIndexShift) & kIndexMask;
    uint64_t generation = handle >> kGenerationShift;
    if (index >= slots_.size()) return nullptr;
    const Slot &slot = slots_[index];
    if (slot.object == nullptr || slot.generation != generation) return nullptr;
    return slot.object;
  }

  void retire(uint64_t handle) {
    if (find(handle) == nullptr) return;
    uint32_t index = uint32_t((handle >> kIndexShift) & kIndexMask);
    Slot &slot = slots_[index];
    slot.object = nullptr;
    slot.generation = (slot.generation + 1) & kGenerationMask;
    free_.push_back(index);
  }

 private:
  static constexpr int kIndexShift = 4;
  static constexpr uint64_t kIndexMask = (uint64_t{1} << 30) - 1;
  static constexpr int kGenerationShift = 34;
  static constexpr uint32_t kGenerationMask = (1u << 28) - 1;
  static constexpr size_t kReuseDelay = 64;

  struct Slot {
    uint32_t generation = 0;
    T *object = nullptr;
  };
  static uint64_t encode(uint32_t index, uint32_t generation) {
    return uint64_t{generation} << kGenerationShift | uint64_t{index} << kIndexShift |
           uint64_t(Kind) << 2;
  }

  std::vector<Slot> slots_;
  std::deque<uint32_t> free_;
};

}  // namespace wex
