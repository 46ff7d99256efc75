// Replaces the global allocation functions of a test executable (see alloc_hook.hpp). Every
// throwing form funnels into `allocate`; the nothrow forms turn its failure into a null pointer.
#include "alloc_hook.hpp"

#include <cstdlib>
#include <new>

namespace tavik_test::alloc {
namespace {

constexpr std::size_t kDisarmed = static_cast<std::size_t>(-1);
std::size_t g_countdown = kDisarmed;  // allocations left before the failure
bool g_fired = false;
std::size_t g_count = 0;

void* allocate(std::size_t size) {
  ++g_count;
  if (g_countdown != kDisarmed) {
    if (g_countdown == 0) {
      g_countdown = kDisarmed;
      g_fired = true;
      throw std::bad_alloc();
    }
    --g_countdown;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void fail_at(std::size_t n) noexcept {
  g_countdown = n;
  g_fired = false;
}
void disarm() noexcept {
  g_countdown = kDisarmed;
}
bool fired() noexcept {
  return g_fired;
}
std::size_t count() noexcept {
  return g_count;
}

}  // namespace tavik_test::alloc

void* operator new(std::size_t size) {
  return tavik_test::alloc::allocate(size);
}
void* operator new[](std::size_t size) {
  return tavik_test::alloc::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return tavik_test::alloc::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return tavik_test::alloc::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
