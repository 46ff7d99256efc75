#include "core/siphash.hpp"

#include <bit>
#include <cstring>

#if defined(__linux__)
#include <sys/random.h>
#endif
#include <chrono>
#include <random>

namespace tavik {
namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept {
  return (x << b) | (x >> (64 - b));
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  inline void round() noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  inline void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

std::uint64_t siphash24(const SipKey& key, const void* data, std::size_t len) noexcept {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t whole = len & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le64(p + i));

  // The last block holds the remaining bytes and the length's low byte in its top byte.
  const std::size_t rest = len - whole;
  unsigned char tail[8] = {};
  if (rest > 0) std::memcpy(tail, p + whole, rest);
  std::uint64_t last = load_le64(tail) | (static_cast<std::uint64_t>(len & 0xff) << 56);
  s.compress(last);

  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

SipKey random_sip_key() noexcept {
  SipKey key;
  unsigned char buf[16];
#if defined(__linux__)
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = getrandom(buf + got, sizeof buf - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == sizeof buf) {
    std::memcpy(&key.k0, buf, 8);
    std::memcpy(&key.k1, buf + 8, 8);
    return key;
  }
#endif
  // No usable system source: std::random_device, mixed with the clock in case it is deterministic.
  try {
    std::random_device rd;
    key.k0 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    key.k1 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
  }
  key.k0 ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  (void)buf;
  return key;
}

}  // namespace tavik
