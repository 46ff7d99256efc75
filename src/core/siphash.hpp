// SipHash-2-4: a keyed 64-bit hash for short inputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavik {

/// The 128-bit key of a SipHash instance.
struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

/// SipHash-2-4 of `len` bytes at `data` under `key`.
std::uint64_t siphash24(const SipKey& key, const void* data, std::size_t len) noexcept;

/// A fresh key from the operating system's random source; where that is unavailable, from
/// std::random_device mixed with the steady clock.
SipKey random_sip_key() noexcept;

}  // namespace tavik
