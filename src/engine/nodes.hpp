// What the engine keeps of each node beside the kernel graph: the references the kernel cannot
// hold (id, value, function or pending value, equality, failure) and what an explanation needs.
// Edges, order, states and memo live in the kernel only; a node's slot sits at its kernel index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/graph.hpp"
#include "cpython/python.hpp"

namespace tavik::engine {

using cpython::PyRef;
using Index = NodeIndex;

enum class Reason : std::uint8_t { None, New, Redefined, Invalidated, Dependencies };
enum class Outcome : std::uint8_t { Pending, Changed, Unchanged, Reused, CutOff, Failed };

inline constexpr const char* kReasonNames[] = {"", "new", "redefined", "invalidated",
                                               "dependencies"};
inline constexpr const char* kOutcomeNames[] = {"pending", "changed", "unchanged",
                                                "reused",  "cut_off", "failed"};

/// What few nodes need: kept apart so that the common slot stays small.
struct Extra {
  PyRef equal;           ///< null: ==
  PyRef failure_origin;  ///< the id of the node whose function raised; null: no failure
  PyRef failure_error;
  PyRef explained;  ///< the changed deps of the last call as ids, once the deps were replaced
  /// Argument k is the value of deps()[args[k]]: set only when the deps as given repeat an id.
  std::vector<std::uint32_t> args;
  /// Which unique deps changed before the last call, past the first 64 (see Slot::changed).
  std::vector<std::uint64_t> wide;

  bool empty() const noexcept {
    return !equal && !failure_origin && !explained && args.empty() && wide.empty();
  }
};

/// Which of a read's two searches reached a node: the read's stamp (30 bits) and a bit each.
class Mark {
 public:
  static constexpr std::uint32_t kForward = 1;   ///< reachable from a dirty node
  static constexpr std::uint32_t kBackward = 2;  ///< in the read node's upstream cone
  static constexpr std::uint32_t kStamps = std::uint32_t{1} << 30;

  bool has(std::uint32_t stamp, std::uint32_t bit) const noexcept {
    return (word_ >> 2) == stamp && (word_ & bit) != 0;
  }
  void set(std::uint32_t stamp, std::uint32_t bit) noexcept {
    word_ = ((word_ >> 2) == stamp ? word_ : stamp << 2) | bit;
  }
  void clear() noexcept { word_ = 0; }

 private:
  std::uint32_t word_ = 0;
};

/// One node's slot. Moving one never throws.
struct Slot {
  PyRef id;     ///< the exact str the node was defined with
  PyRef value;  ///< null: none (never evaluated, or failed)
  /// A source's read or a derived node's function; an input's value set since its last visit.
  PyRef fn_or_pending;
  std::unique_ptr<Extra> extra;
  std::uint64_t called_at = 0;  ///< the kernel's clock at the last call
  /// Bit k: the k-th unique dependency had changed since the call before the last one.
  std::uint64_t changed = 0;
  Mark mark;                          ///< how the latest read's searches reached the node
  Reason reason = Reason::New;        ///< forces the next call unless None
  Reason last_reason = Reason::None;  ///< of the last call; None: never called
  Outcome outcome = Outcome::Pending;

  bool failed() const noexcept { return extra && extra->failure_error; }
  PyObject* equal() const noexcept { return extra ? extra->equal.get() : nullptr; }
};

/// Every slot, at its node's kernel index; dead kernel slots hold an empty Slot.
class Nodes {
 public:
  Slot& operator[](Index i) noexcept { return slots_[i]; }
  const Slot& operator[](Index i) const noexcept { return slots_[i]; }
  std::size_t size() const noexcept { return slots_.size(); }
  std::span<Slot> all() noexcept { return slots_; }
  std::span<const Slot> all() const noexcept { return slots_; }

  /// Room for one more slot, so that the push that follows cannot throw.
  void reserve_one_more();
  /// Appends a slot (room must have been made).
  void push(Slot slot) noexcept { slots_.push_back(std::move(slot)); }
  /// Keeps the slots whose `map` entry is not kNoNode, in order, at their new index; `fresh` is
  /// empty with room for all of them, and is left holding the old block.
  void adopt(std::span<const NodeIndex> map, std::vector<Slot>& fresh) noexcept;

 private:
  std::vector<Slot> slots_;
};

}  // namespace tavik::engine
