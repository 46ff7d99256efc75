// The graph kernel: node registry, build and topological order, propagation schedules, and
// memo bookkeeping. Plain C++: it never sees a Python object. Every operation returns its
// value or a GraphError and validates all of its arguments before it changes anything; the
// only exception it lets escape is std::bad_alloc, raised before any change is made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/id_index.hpp"

namespace tavik {

/// Position of a node in registration order; never changes and is never reused, except by
/// compact() on a live graph.
using NodeIndex = std::uint32_t;

/// No node: a hole in the order, a dead slot in compact()'s map.
inline constexpr NodeIndex kNoNode = UINT32_MAX;

/// The most nodes one graph can hold.
inline constexpr std::size_t kMaxNodes = UINT32_MAX - 1;

enum class NodeKind : std::uint8_t { Input = 0, Source = 1, Reactive = 2, View = 3 };
enum class NodeState : std::uint8_t { Clean = 0, Dirty = 1, Computing = 2 };

/// Start and multiplier of the dependency-signature fold.
inline constexpr std::uint64_t kSignatureBasis = 0x14650FB0739D0383ULL;
inline constexpr std::uint64_t kSignaturePrime = 0x100000001B3ULL;

/// The boundary spellings of the kinds and the states, indexed by their values.
inline constexpr std::array<std::string_view, 4> kKindNames = {"input", "source", "reactive",
                                                               "view"};
inline constexpr std::array<std::string_view, 3> kStateNames = {"clean", "dirty", "computing"};

/// The kind spelled exactly `name`, or nothing.
std::optional<NodeKind> parse_kind(std::string_view name) noexcept;

/// A read-only view of one registered node, assembled from the graph's arrays; valid until the
/// graph next changes.
struct Node {
  std::string_view id;
  std::span<const NodeIndex> deps;  ///< inbound edges, in declared order, no repeats
  std::uint64_t signature = 0;      ///< meaningful only when has_signature
  std::uint64_t content_hash = 0;   ///< meaningful only when has_content_hash
  std::uint64_t epoch = 0;          ///< clock value of the last commit_node; 0 if none
  NodeState state = NodeState::Dirty;
  NodeKind kind = NodeKind::Input;
  bool has_signature = false;
  bool has_content_hash = false;

  std::span<const NodeIndex> dep_span() const noexcept { return deps; }
};

/// The per-node answer of the recompute decision.
struct CheckResult {
  NodeKind kind;
  bool needs_recompute;
  std::uint64_t signature;
};

class Graph {
 public:
  /// An empty graph whose id index is keyed from the operating system's random source.
  Graph() = default;
  /// An empty graph with a fixed index key (for tests and fuzzing).
  explicit Graph(SipKey key) noexcept : index_(key) {}

  Graph(Graph&&) noexcept = default;
  Graph& operator=(Graph&&) noexcept = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // ---- registry ------------------------------------------------------------------------------

  /// Number of registered nodes, removed ones included until compact() (see dead()).
  std::size_t size() const noexcept { return records_.size(); }
  /// The index of the node with exactly these id bytes, or kNoNode. Allocates nothing.
  NodeIndex find_index(std::string_view id) const noexcept { return find(id); }
  /// Whether a node with exactly these id bytes is registered.
  bool contains(std::string_view id) const noexcept { return find(id) != IdIndex::kNotFound; }
  /// The index of `id`: the lookup behind every operation that takes an id. Errors:
  /// UnknownNode. Allocates only on failure.
  Result<NodeIndex> idx(std::string_view id) const;

  /// Registers a new Dirty node. Errors: DuplicateNode (checked first), InvalidKind.
  Status add_node(std::string_view id, std::string_view kind);
  /// Replaces the node's dependencies, dropping repeats, in time linear in their number.
  /// Errors: UnknownNode(id), then per entry in order SelfDependency(id) or UnknownNode(entry).
  Status set_deps(std::string_view id, std::span<const std::string_view> deps);

  Result<NodeKind> kind_of(std::string_view id) const;
  Result<NodeState> state_of(std::string_view id) const;
  /// The node's dependencies in stored order. Errors: UnknownNode.
  Result<std::span<const NodeIndex>> deps_of(std::string_view id) const;

  // ---- build and order -----------------------------------------------------------------------

  /// Derives reverse edges, checks acyclicity and caches the lexicographically smallest
  /// topological order by registration index. Errors: Cycle (reverse edges stay rebuilt; order,
  /// positions and the built flag stay as they were).
  Status build();
  bool built() const noexcept { return built_; }
  /// The cached order (kNoNode at the places of removed nodes). Errors: NotBuilt.
  Result<std::span<const NodeIndex>> topo_order() const;
  /// The View nodes in cached order. Errors: NotBuilt.
  Result<std::vector<NodeIndex>> views() const;

  // ---- propagation ---------------------------------------------------------------------------

  /// Nodes strictly downstream of `id`, in order. Errors: NotBuilt, UnknownNode.
  Result<std::vector<NodeIndex>> downstream(std::string_view id) const;
  /// The seeds and all nodes downstream of them, in order. Errors: NotBuilt, UnknownNode.
  Result<std::vector<NodeIndex>> dirty_subgraph(std::span<const std::string_view> seeds) const;
  /// As dirty_subgraph, and marks every listed node Dirty. Errors: NotBuilt, UnknownNode.
  Result<std::vector<NodeIndex>> mark_dirty(std::span<const std::string_view> seeds);
  /// Every Dirty node, in cached order. Errors: NotBuilt.
  Result<std::vector<NodeIndex>> dirty_nodes() const;

  // ---- memo bookkeeping ----------------------------------------------------------------------
  // Each validates only the id (UnknownNode) and works on unbuilt graphs and any kind.

  Status set_dirty(std::string_view id) { return set_state(id, NodeState::Dirty); }
  Status set_computing(std::string_view id) { return set_state(id, NodeState::Computing); }
  Status set_clean(std::string_view id, std::uint64_t hash) { return record_signature(id, hash); }
  Status skip_node(std::string_view id, std::uint64_t signature) {
    return record_signature(id, signature);
  }
  Status commit_input(std::string_view id, std::uint64_t content_hash);
  /// Advances the clock (wrapping) and stamps the node with it. Errors: UnknownNode.
  Status commit_node(std::string_view id, std::uint64_t signature);

  /// Kind, recompute decision and dependency signature of the node. Errors: UnknownNode.
  Result<CheckResult> check_node(std::string_view id) const;
  /// Whether the node's signature is absent or differs from `input_hash`. Errors: UnknownNode.
  Result<bool> needs_recompute(std::string_view id, std::uint64_t input_hash) const;
  /// The dependency signature of node `i`.
  std::uint64_t signature_of(NodeIndex i) const noexcept;

  // ---- live graphs: the index-level operations of an engine -----------------------------------
  // A live graph is empty or built, and stays built across these operations: each keeps the
  // order, the positions and the reverse edges current without a new build(). Removed nodes
  // leave a dead slot, a hole in the order and their id bytes behind until compact().
  // Preconditions are the caller's (asserted in debug builds); each operation either completes
  // or throws std::bad_alloc before any change.

  /// Registers a Dirty node depending on the live nodes `deps` (no repeats), placed last in the
  /// order and added to each dependency's dependents. Errors: DuplicateNode. Needs built() or an
  /// empty graph.
  Result<NodeIndex> append_node(std::string_view id, NodeKind kind,
                                std::span<const NodeIndex> deps);
  /// Undoes the last append_node, whose node nothing depends on yet (so it is still placed
  /// last), in O(its deps): its index, place, id bytes and dependency slots are reused.
  void undo_append() noexcept;
  /// The cycle that giving `i` the dependencies `deps` would close, as [i, d, ..., i] where each
  /// node depends on the next; empty if none. Searches only nodes placed after `i`: a stack
  /// seeded with `deps` in reverse order, each node's deps pushed in reverse order when popped,
  /// a node's parent being the node that pushed it first; the search ends when `i` is pushed
  /// (so `deps` naming `i` itself gives [i, i]).
  std::vector<NodeIndex> cycle_through(NodeIndex i, std::span<const NodeIndex> deps) const;
  /// Replaces the dependencies of `i` with the live nodes `deps` (no repeats, no cycle). When a
  /// new dependency is placed after `i`, the nodes placed from `i` to the last such dependency
  /// that `i` reaches move, in their order, after the others of that span, which keep theirs:
  /// nothing outside the span moves, and the holes inside it stay where they are. Costs the
  /// span's length plus the dependents of the nodes that move, never the graph's size.
  void replace_deps(NodeIndex i, std::span<const NodeIndex> deps);
  /// Removes `i`, which nothing depends on: from its dependencies' dependents, the id index and
  /// the order. Its slot is dead until compact(); its index is not handed out before then.
  void remove_node(NodeIndex i);
  /// Whether slot `i` holds a node (not removed).
  bool alive(NodeIndex i) const noexcept { return i < records_.size() && !records_[i].dead; }
  /// Removed nodes whose slots compact() would reclaim.
  std::size_t dead() const noexcept { return dead_; }
  /// Renumbers the live nodes in index order, dropping dead slots, holes and garbage; the result
  /// maps each old index to its new one (kNoNode for a dead slot). Keeps states, memo, the
  /// order of the live nodes and the order within each dependents list. (On a graph that is not
  /// built, the stale order is dropped.)
  std::vector<NodeIndex> compact();

  /// The place of live node `i` in the order.
  std::uint32_t position(NodeIndex i) const noexcept { return position_[i]; }
  /// The node at place `p` (kNoNode for a hole), for p < order_size().
  NodeIndex at(std::uint32_t p) const noexcept { return order_[p]; }
  /// Places in the order, holes included.
  std::size_t order_size() const noexcept { return order_.size(); }
  /// The dependencies of node `i`, in stored order.
  std::span<const NodeIndex> deps(NodeIndex i) const noexcept { return deps_span(i); }
  NodeKind kind(NodeIndex i) const noexcept { return records_[i].kind; }
  NodeState state(NodeIndex i) const noexcept { return records_[i].state; }
  void set_state(NodeIndex i, NodeState state) noexcept { records_[i].state = state; }
  /// What the dependents of `i` fold: its content hash if an input, its epoch otherwise.
  std::uint64_t stamp(NodeIndex i) const noexcept { return stamps_[i]; }
  /// Whether `i` has a signature recorded and it equals `signature`.
  bool holds(NodeIndex i, std::uint64_t signature) const noexcept {
    return records_[i].has_signature && records_[i].signature == signature;
  }
  /// commit_node by index: advances the clock, stamps `i` with it, Clean with `signature`.
  void commit(NodeIndex i, std::uint64_t signature) noexcept;
  /// skip_node by index: Clean with `signature`, its stamp kept.
  void skip(NodeIndex i, std::uint64_t signature) noexcept { record_clean(i, signature); }
  /// An input whose value changed: advances the clock, which becomes its content hash (and
  /// signature); Clean.
  void commit_changed_input(NodeIndex i) noexcept;
  /// An input whose value did not change: Clean, its content hash kept.
  void commit_unchanged_input(NodeIndex i) noexcept;

  // ---- read access for the binding, tests and invariant checks -------------------------------

  /// A view of node `i`'s fields.
  Node node(NodeIndex i) const noexcept {
    const NodeRecord& r = records_[i];
    Node view;
    view.id = id_of(i);
    view.deps = deps_span(i);
    view.signature = r.signature;
    view.content_hash = content_hash_of(i);
    view.epoch = epoch_of(i);
    view.state = r.state;
    view.kind = r.kind;
    view.has_signature = r.has_signature;
    view.has_content_hash = r.has_content_hash;
    return view;
  }
  std::string_view id_of(NodeIndex i) const noexcept {
    const NodeRecord& r = records_[i];
    const std::size_t end = i + 1 < records_.size() ? records_[i + 1].id_begin : id_bytes_.size();
    return {id_bytes_.data() + r.id_begin, end - r.id_begin - r.id_padding};
  }
  std::uint64_t clock() const noexcept { return clock_; }
  /// Reverse edges as the last build derived them (ascending), kept current by the live
  /// operations (in no particular order). Empty for a node registered since the last build.
  std::span<const NodeIndex> dependents(NodeIndex i) const noexcept {
    if (i >= rev_.size()) return {};
    return {rev_pool_.data() + rev_[i].begin, rev_[i].count};
  }
  /// Whether every invariant of the records holds (for tests and fuzzing; O(n + e)).
  bool check_invariants() const;

 private:
  friend struct GraphTestAccess;  // native tests only: reach state no public call can set up

  /// The fields that a node's own calls read and write, together in one small record. The id
  /// and the dependency list live in shared blocks that the record points into, and what the
  /// node's dependents read of it lives in stamps_, so that those reads stay dense.
  struct NodeRecord {
    std::uint64_t signature = 0;    ///< meaningful only when has_signature
    std::uint64_t other_stamp = 0;  ///< the epoch of an input, the content hash of other kinds
    std::uint32_t id_begin = 0;     ///< in id_bytes_, a multiple of 8
    std::uint32_t deps_begin = 0;   ///< in dep_pool_
    std::uint32_t dep_count = 0;
    NodeKind kind = NodeKind::Input;
    NodeState state = NodeState::Dirty;
    bool has_signature : 1 = false;
    bool has_content_hash : 1 = false;
    std::uint8_t id_padding : 3 = 0;  ///< bytes between the id's end and the next id
    bool dead : 1 = false;            ///< removed: no id in the index, no edges, no place
    bool rev_header : 1 = false;      ///< its dependents list has spare room, sized in a header
  };
  static_assert(sizeof(NodeRecord) == 32, "the flags share one byte");

  /// Where the dependents of one node are in rev_pool_: `count` of them from `begin`. A list
  /// whose record has rev_header set has room for rev_pool_[begin - 1] of them; any other list
  /// is full. build() leaves every list full, packed in node order.
  struct RevList {
    std::uint32_t begin = 0;
    std::uint32_t count = 0;
  };

  /// The most bytes of ids, and the most stored dependencies, one graph can hold (32-bit offsets).
  static constexpr std::size_t kMaxIdBytes = UINT32_MAX;
  static constexpr std::size_t kMaxDepSlots = UINT32_MAX;

  std::uint32_t find(std::string_view id) const noexcept {
    // An engine asks about the same node several times in a row (check, then commit or skip),
    // and walks its schedules in the cached order: the node found last is compared first, then
    // the one after it in that order, and only another id pays for the hash and the index's
    // cache miss. The hint never names a removed node.
    if (last_found_ < records_.size()) {
      if (id_of(last_found_) == id) return last_found_;
      if (built_) {
        const std::size_t next = std::size_t{position_[last_found_]} + 1;
        if (next < order_.size() && order_[next] != kNoNode && id_of(order_[next]) == id) {
          return last_found_ = order_[next];
        }
      }
    }
    const std::uint32_t i = index_.find(id, [this](NodeIndex n) { return id_of(n); });
    if (i != IdIndex::kNotFound) last_found_ = i;
    return i;
  }
  std::span<const NodeIndex> deps_span(NodeIndex i) const noexcept {
    return {dep_pool_.data() + records_[i].deps_begin, records_[i].dep_count};
  }
  /// The epoch and the content hash of node `i`: one of them is its stamp, the other in its record.
  std::uint64_t& epoch_ref(NodeIndex i) noexcept {
    return records_[i].kind == NodeKind::Input ? records_[i].other_stamp : stamps_[i];
  }
  std::uint64_t& content_hash_ref(NodeIndex i) noexcept {
    return records_[i].kind == NodeKind::Input ? stamps_[i] : records_[i].other_stamp;
  }
  std::uint64_t epoch_of(NodeIndex i) const noexcept {
    return records_[i].kind == NodeKind::Input ? records_[i].other_stamp : stamps_[i];
  }
  std::uint64_t content_hash_of(NodeIndex i) const noexcept {
    return records_[i].kind == NodeKind::Input ? stamps_[i] : records_[i].other_stamp;
  }
  /// Copies every live dependency list into a fresh block with room for `extra` more, dropping
  /// the garbage. May throw std::bad_alloc; the graph is unchanged if it does.
  void compact_deps(std::size_t extra);
  /// Makes room at the dependency block's end for a list of `count`, compacting the block first
  /// when its garbage outweighs the lists. May throw std::bad_alloc (the lists unchanged).
  void reserve_deps(std::size_t count);
  /// Makes set_deps' scratch marks cover every node. May throw std::bad_alloc.
  void reserve_marks();

  // The dependents lists, kept current one edge at a time (live_graph.cpp).
  /// The slots at the block's end that adding one dependent to `d` takes: none while its list
  /// has room, else a fresh place with twice the room (one slot, unheaded, for an empty list).
  std::size_t rev_growth(NodeIndex d) const noexcept;
  /// Makes room for one more dependent of each of `targets` (no repeats), so that as many
  /// rev_insert calls cannot fail. May throw std::bad_alloc (the lists unchanged).
  void reserve_rev(std::span<const NodeIndex> targets);
  /// Copies every dependents list, full, into a fresh block with room for `extra` more, dropping
  /// the garbage and the spare room. May throw std::bad_alloc; nothing changes if it does.
  void compact_rev(std::size_t extra);
  /// Adds `k` at the end of the dependents of `d`; needs the room reserve_rev made.
  void rev_insert(NodeIndex d, NodeIndex k) noexcept;
  /// Removes `k` from the dependents of `d`, keeping the others' order; O(that list).
  void rev_erase(NodeIndex d, NodeIndex k) noexcept;
  /// `deps`, or a copy of it in `copy` if it lies in one of the blocks an operation may move.
  std::span<const NodeIndex> stable(std::span<const NodeIndex> deps,
                                    std::vector<NodeIndex>& copy) const;

  // The steps of build(): the reverse edges (packed lists, ascending) of the current deps; the
  // smallest topological order of the live nodes, short of the nodes on or behind a cycle,
  // which keep a nonzero `indegree`; the Cycle error naming those nodes.
  struct ReverseEdges {
    std::vector<RevList> lists;
    std::vector<NodeIndex> targets;
  };
  ReverseEdges reverse_edges() const;
  std::vector<NodeIndex> ordered_walk(const ReverseEdges& reverse,
                                      std::vector<std::uint32_t>& indegree) const;
  GraphError cycle_error(const std::vector<std::uint32_t>& indegree) const;

  /// Indices of `ids`, same order, repeats kept. Errors: UnknownNode for the first unknown id.
  Result<std::vector<NodeIndex>> resolve_seeds(std::span<const std::string_view> ids) const;
  /// Every node reachable downstream from the seeds, seeds included, each once. Needs built().
  std::vector<NodeIndex> closure(std::span<const NodeIndex> seeds) const;
  /// Orders the nodes by their place in the cached order. Needs built().
  void sort_by_position(std::vector<NodeIndex>& nodes) const;

  Status set_state(std::string_view id, NodeState state);
  /// Makes node `i` Clean with `signature` recorded.
  void record_clean(NodeIndex i, std::uint64_t signature) noexcept;
  Status record_signature(std::string_view id, std::uint64_t signature);

  std::vector<NodeRecord> records_;
  // What a dependent folds into its signature, per node: the content hash of an input, the
  // epoch of any other kind (an absent content hash is 0). check_node reads one per dependency.
  std::vector<std::uint64_t> stamps_;
  // All ids in registration order, each starting on an 8-byte boundary: the interpreter decodes
  // an aligned id a word at a time when it makes a string of it.
  std::vector<char> id_bytes_;
  // All dependency lists in one block. A list replaced by a longer one is left behind as
  // garbage, and the block is compacted once the garbage outweighs the live lists.
  std::vector<NodeIndex> dep_pool_;
  std::size_t dep_garbage_ = 0;
  std::vector<NodeIndex> order_;
  std::vector<NodeIndex> position_;  ///< position_[i] is the place of node i in order_
  // Reverse edges as of the last build, then kept current by the live operations: one list per
  // node (rev_[i], for every i < rev_.size()) in one block. A full list that must grow moves to
  // the block's end with twice the room, leaving its old place behind as garbage, and a list
  // that falls to a quarter of its room gives up half of it; the block is compacted once the
  // garbage outweighs the lists.
  std::vector<RevList> rev_;
  std::vector<NodeIndex> rev_pool_;
  std::size_t rev_garbage_ = 0;
  IdIndex index_;
  // Scratch of set_deps: one bit per node, all clear between calls.
  std::vector<std::uint64_t> dep_marks_;
  // A lookup hint, never a result. Written by const lookups: kernel calls on one graph never
  // overlap (each runs to completion on the thread that holds the interpreter lock).
  mutable std::uint32_t last_found_ = IdIndex::kNotFound;
  std::uint64_t clock_ = 0;
  std::size_t dead_ = 0;
  bool built_ = false;
};

}  // namespace tavik
