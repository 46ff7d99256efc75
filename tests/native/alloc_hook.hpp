// Test-only allocation failure: the global operator new of the test executable can be told to
// throw std::bad_alloc at its Nth call from now. Linked into native tests only.
#pragma once

#include <cstddef>

namespace tavik_test::alloc {

/// Makes the allocation `n` calls from now throw std::bad_alloc (0: the very next one). Only one
/// allocation fails; later ones succeed again.
void fail_at(std::size_t n) noexcept;
/// Cancels a pending failure.
void disarm() noexcept;
/// Whether the failure armed by the last `fail_at` has happened.
bool fired() noexcept;
/// The number of allocations made through operator new since the program started.
std::size_t count() noexcept;

/// Arms a failure at allocation `n` for the lifetime of the guard; disarms on destruction.
class FailAt {
 public:
  explicit FailAt(std::size_t n) noexcept { fail_at(n); }
  ~FailAt() { disarm(); }
  FailAt(const FailAt&) = delete;
  FailAt& operator=(const FailAt&) = delete;
};

}  // namespace tavik_test::alloc
