// What an evaluation reports and why a node was last computed: the lists a walk fills, by node,
// and the Python objects built from them when asked.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/graph.hpp"
#include "cpython/python.hpp"

namespace tavik::engine {

struct State;
using Indices = std::vector<NodeIndex>;

/// The lists of one stabilize, in the order the walk visited the nodes.
class Recorder {
 public:
  enum List : std::size_t { Schedule, Computed, Changed, CutOff, Reused, Failed, kLists };

  /// Room for one more entry in `list`, so that the `add` that follows cannot throw.
  void reserve(List list) {
    Indices& l = lists_[list];
    if (l.size() == l.capacity()) l.reserve(l.capacity() < 16 ? 16 : 2 * l.capacity());
  }
  void add(List list, NodeIndex i) noexcept { lists_[list].push_back(i); }
  /// Empties the lists; large ones give their memory back, so that a big update leaves none
  /// behind.
  void clear() noexcept {
    for (Indices& l : lists_) {
      if (l.capacity() > kKept) {
        Indices().swap(l);
      } else {
        l.clear();
      }
    }
  }
  const Indices& list(List list) const noexcept { return lists_[list]; }

 private:
  static constexpr std::size_t kKept = 4096;
  std::array<Indices, kLists> lists_;
};

/// Makes the report of a stabilize: an instance of a slotted class whose first seven slots are
/// the six lists and the seconds, filled through the slots themselves, without running the
/// class's Python code.
class ReportMaker {
 public:
  /// Takes the class; false with an exception set if it has not the seven slots.
  bool init(PyObject* type) noexcept;
  /// A new report of the recorder's lists; null with an exception set.
  PyObject* make(const State& s, double seconds) const noexcept;
  PyObject* type() const noexcept { return type_.get(); }

 private:
  static constexpr std::size_t kFields = 7;
  cpython::PyRef type_;
  std::array<cpython::PyRef, kFields> slots_;
  std::array<descrsetfunc, kFields> set_{};
};

/// A new list of the ids of `nodes`; null with an exception set.
PyObject* id_list(const State& s, const Indices& nodes) noexcept;
/// A new list of the ids of the dependencies that had changed before the node's last call, in
/// deps order; null with an exception set.
PyObject* changed_deps(const State& s, NodeIndex i) noexcept;
/// A new (reason, changed deps) tuple of the node's last call, or None; null with an exception.
PyObject* explanation(const State& s, NodeIndex i) noexcept;
/// A new tuple of the node's deps as given (repeats kept); null with an exception set.
PyObject* deps_as_given(const State& s, NodeIndex i) noexcept;

}  // namespace tavik::engine
