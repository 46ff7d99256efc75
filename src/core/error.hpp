// Errors of the graph kernel: returned as values, never thrown.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavik {

/// The kinds of failure a kernel operation can report.
enum class ErrorCode : std::uint8_t {
  DuplicateNode,   ///< payload: the id that is already registered
  UnknownNode,     ///< payload: the id that was looked up, exactly as passed
  SelfDependency,  ///< payload: the id of the node that named itself
  InvalidKind,     ///< payload: the kind string exactly as passed
  NotBuilt,        ///< no payload
  Cycle,           ///< payload: the blocked ids, in registration order
};

/// A kernel error and its owned payload.
struct GraphError {
  ErrorCode code;
  std::string text;              ///< the id or kind, for the variants that carry one
  std::vector<std::string> ids;  ///< the blocked ids of a `Cycle`

  static GraphError duplicate_node(std::string id) {
    return {ErrorCode::DuplicateNode, std::move(id), {}};
  }
  static GraphError unknown_node(std::string id) {
    return {ErrorCode::UnknownNode, std::move(id), {}};
  }
  static GraphError self_dependency(std::string id) {
    return {ErrorCode::SelfDependency, std::move(id), {}};
  }
  static GraphError invalid_kind(std::string kind) {
    return {ErrorCode::InvalidKind, std::move(kind), {}};
  }
  static GraphError not_built() { return {ErrorCode::NotBuilt, {}, {}}; }
  static GraphError cycle(std::vector<std::string> ids) {
    return {ErrorCode::Cycle, {}, std::move(ids)};
  }
};

/// The value of a kernel operation, or the error it ended with. Reading the arm that is not
/// held is a programming error (asserted in debug builds).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(GraphError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & noexcept { return *arm<0>(); }
  const T& value() const& noexcept { return *arm<0>(); }
  T&& value() && noexcept { return std::move(*arm<0>()); }
  T& operator*() & noexcept { return value(); }
  const T& operator*() const& noexcept { return value(); }
  T* operator->() noexcept { return arm<0>(); }
  const T* operator->() const noexcept { return arm<0>(); }

  GraphError& error() & noexcept { return *arm<1>(); }
  GraphError&& error() && noexcept { return std::move(*arm<1>()); }

 private:
  template <std::size_t I>
  auto* arm() noexcept {
    assert(v_.index() == I);
    return std::get_if<I>(&v_);
  }
  template <std::size_t I>
  const auto* arm() const noexcept {
    assert(v_.index() == I);
    return std::get_if<I>(&v_);
  }

  std::variant<T, GraphError> v_;
};

/// The outcome of an operation that has no value: success, or the error it ended with.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(GraphError error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  GraphError& error() & noexcept {
    assert(!ok());
    return *error_;
  }
  const GraphError& error() const& noexcept {
    assert(!ok());
    return *error_;
  }
  GraphError&& error() && noexcept {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<GraphError> error_;
};

}  // namespace tavik
