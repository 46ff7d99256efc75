// A set of places in the kernel's order, iterated smallest first: the engine's index of its dirty
// nodes by place. A bit per place and a summary bit per 64 places, so that finding the next
// member costs a word or two, plus one summary word per 4,096 places skipped.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavik::engine {

class Places {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  /// Room for the places [0, places). May throw std::bad_alloc; the set is unchanged if it does.
  void reserve(std::size_t places) {
    const std::size_t words = (places + 63) / 64;
    if (words <= bits_.size()) return;
    const std::size_t grown = std::max(words, 2 * bits_.size());
    std::vector<std::uint64_t> bits(grown, 0), summary((grown + 63) / 64, 0);
    std::copy(bits_.begin(), bits_.end(), bits.begin());
    std::copy(summary_.begin(), summary_.end(), summary.begin());
    bits_.swap(bits);
    summary_.swap(summary);
  }

  void insert(std::uint32_t p) noexcept {
    std::uint64_t& word = bits_[p >> 6];
    if (word & bit(p)) return;
    word |= bit(p);
    summary_[p >> 12] |= bit(p >> 6);
    ++size_;
  }
  void erase(std::uint32_t p) noexcept {
    std::uint64_t& word = bits_[p >> 6];
    if (!(word & bit(p))) return;
    word &= ~bit(p);
    if (word == 0) summary_[p >> 12] &= ~bit(p >> 6);
    --size_;
  }
  bool empty() const noexcept { return size_ == 0; }

  /// The smallest member at or after `p`, or kNone.
  std::uint32_t next(std::uint32_t p) const noexcept {
    std::size_t w = p >> 6;
    if (w >= bits_.size()) return kNone;
    std::uint64_t word = bits_[w] & (~std::uint64_t{0} << (p & 63));
    if (word == 0) {
      w = next_word(w + 1);
      if (w == kNone) return kNone;
      word = bits_[w];
    }
    return static_cast<std::uint32_t>((w << 6) | static_cast<std::size_t>(std::countr_zero(word)));
  }
  template <class F>
  void for_each(const F& f) const {
    for (std::uint32_t p = next(0); p != kNone; p = next(p + 1)) f(p);
  }
  void clear() noexcept {
    std::fill(bits_.begin(), bits_.end(), 0);
    std::fill(summary_.begin(), summary_.end(), 0);
    size_ = 0;
  }

 private:
  static constexpr std::uint64_t bit(std::size_t k) noexcept {
    return std::uint64_t{1} << (k & 63);
  }
  /// The first non-empty word at or after word `w`, or kNone.
  std::size_t next_word(std::size_t w) const noexcept {
    std::size_t s = w >> 6;
    if (s >= summary_.size()) return kNone;
    std::uint64_t word = summary_[s] & (~std::uint64_t{0} << (w & 63));
    while (word == 0) {
      if (++s == summary_.size()) return kNone;
      word = summary_[s];
    }
    return (s << 6) | static_cast<std::size_t>(std::countr_zero(word));
  }

  std::vector<std::uint64_t> bits_;
  std::vector<std::uint64_t> summary_;
  std::size_t size_ = 0;
};

}  // namespace tavik::engine
