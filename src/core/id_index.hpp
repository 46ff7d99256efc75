// The keyed id index: an open-addressing hash table from id bytes to node index.
//
// The table stores node indices only; the ids themselves live once, in the node records, and
// lookups compare against them through the `key_of` accessor the caller passes in. Each slot
// packs the upper half of the id's hash (to skip most byte comparisons) with the node index
// plus one (zero marks an empty slot). The hash is keyed per index from the operating
// system's random source, so callers cannot choose ids that collide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/siphash.hpp"

namespace tavik {

class IdIndex {
 public:
  static constexpr std::uint32_t kNotFound = UINT32_MAX;

  IdIndex() noexcept : key_(random_sip_key()) {}
  explicit IdIndex(SipKey key) noexcept : key_(key) {}

  /// The keyed hash of `id` under this index's key.
  std::uint64_t hash(std::string_view id) const noexcept {
    return siphash24(key_, id.data(), id.size());
  }

  /// The node index of `id`, or kNotFound. Allocates nothing.
  template <class KeyOf>
  std::uint32_t find(std::string_view id, const KeyOf& key_of) const noexcept {
    if (size_ == 0) return kNotFound;
    const std::uint64_t h = hash(id);
    const std::uint64_t tag = h >> 32;
    for (std::size_t pos = static_cast<std::size_t>(h) & mask_;; pos = (pos + 1) & mask_) {
      const std::uint64_t slot = slots_[pos];
      if (slot == 0) return kNotFound;
      if ((slot >> 32) == tag) {
        const auto node = static_cast<std::uint32_t>(slot) - 1;
        if (key_of(node) == id) return node;
      }
    }
  }

  /// Makes room for `count` entries, so that the same number of `insert` calls cannot fail.
  /// May throw std::bad_alloc; the index is unchanged if it does.
  template <class KeyOf>
  void reserve(std::size_t count, const KeyOf& key_of) {
    if (count <= grow_at_) return;
    std::size_t capacity = capacity_ == 0 ? 16 : capacity_;
    while (count > capacity / 8 * 7) capacity *= 2;
    auto slots = std::make_unique<std::uint64_t[]>(capacity);  // zeroed: every slot empty
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < capacity_; ++i) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) continue;
      const std::uint64_t h = hash(key_of(static_cast<std::uint32_t>(slot) - 1));
      place(slots.get(), mask, h, static_cast<std::uint32_t>(slot) - 1);
    }
    slots_ = std::move(slots);
    capacity_ = capacity;
    mask_ = mask;
    grow_at_ = capacity / 8 * 7;
  }

  /// Adds `node` under `id`, which must not be present; room must have been reserved.
  void insert(std::string_view id, std::uint32_t node) noexcept {
    place(slots_.get(), mask_, hash(id), node);
    ++size_;
  }

  /// Removes `node`, registered under `id`, if present, by moving later entries of its probe
  /// sequence back into the gap (no tombstones). Allocates nothing; hashes the ids it moves.
  template <class KeyOf>
  void erase(std::string_view id, std::uint32_t node, const KeyOf& key_of) noexcept {
    if (size_ == 0) return;
    const std::uint64_t h = hash(id);
    const std::uint64_t entry = ((h >> 32) << 32) | (static_cast<std::uint64_t>(node) + 1);
    std::size_t hole = static_cast<std::size_t>(h) & mask_;
    for (; slots_[hole] != entry; hole = (hole + 1) & mask_) {
      if (slots_[hole] == 0) return;
    }
    // An entry after the gap may move into it when its home slot is not after the gap (in the
    // cyclic sense): its probe from home to where it sits is at least as long as from the gap.
    for (std::size_t j = (hole + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
      const auto moved = static_cast<std::uint32_t>(slots_[j]) - 1;
      const std::size_t home = static_cast<std::size_t>(hash(key_of(moved))) & mask_;
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = 0;
    --size_;
  }

  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  SipKey key() const noexcept { return key_; }

 private:
  static void place(std::uint64_t* slots, std::size_t mask, std::uint64_t h,
                    std::uint32_t node) noexcept {
    std::size_t pos = static_cast<std::size_t>(h) & mask;
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = ((h >> 32) << 32) | (static_cast<std::uint64_t>(node) + 1);
  }

  SipKey key_;
  std::unique_ptr<std::uint64_t[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t mask_ = 0;
  std::size_t grow_at_ = 0;
  std::size_t size_ = 0;
};

}  // namespace tavik
