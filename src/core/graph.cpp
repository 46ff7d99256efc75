#include "core/graph.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <new>

namespace tavik {
namespace {

constexpr std::array<std::string_view, 4> kKindNames = {"input", "source", "reactive", "view"};
constexpr std::array<std::string_view, 3> kStateNames = {"clean", "dirty", "computing"};

}  // namespace

std::string_view kind_name(NodeKind kind) noexcept {
  return kKindNames[static_cast<std::size_t>(kind)];
}

std::string_view state_name(NodeState state) noexcept {
  return kStateNames[static_cast<std::size_t>(state)];
}

bool parse_kind(std::string_view name, NodeKind& out) noexcept {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (name == kKindNames[i]) {
      out = static_cast<NodeKind>(i);
      return true;
    }
  }
  return false;
}

// ---- registry ----------------------------------------------------------------------------------

Result<NodeIndex> Graph::idx(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  return i;
}

Status Graph::add_node(std::string_view id, std::string_view kind) {
  if (find(id) != IdIndex::kNotFound) return GraphError::duplicate_node(std::string(id));
  NodeKind parsed;
  if (!parse_kind(kind, parsed)) return GraphError::invalid_kind(std::string(kind));
  if (nodes_.size() >= kMaxNodes) throw std::bad_alloc();

  // Everything that can allocate happens before the first write.
  Node node;
  node.id.assign(id);
  node.kind = parsed;
  if (nodes_.size() == nodes_.capacity())
    nodes_.reserve(std::max<std::size_t>(16, nodes_.size() * 2));
  const auto key_of = [this](NodeIndex i) { return std::string_view(nodes_[i].id); };
  index_.reserve(nodes_.size() + 1, key_of);

  const auto i = static_cast<NodeIndex>(nodes_.size());
  nodes_.push_back(std::move(node));  // cannot reallocate: room was reserved
  index_.insert(nodes_[i].id, i);
  built_ = false;
  return {};
}

Status Graph::set_deps(std::string_view id, std::span<const std::string_view> deps) {
  const std::uint32_t self = find(id);
  if (self == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));

  std::unique_ptr<NodeIndex[]> list;
  if (!deps.empty()) list = std::make_unique_for_overwrite<NodeIndex[]>(deps.size());
  std::uint32_t count = 0;
  for (const std::string_view dep : deps) {
    if (dep == id) return GraphError::self_dependency(std::string(id));
    const std::uint32_t d = find(dep);
    if (d == IdIndex::kNotFound) return GraphError::unknown_node(std::string(dep));
    // Lists are short in practice; a linear scan beats a set until they are not.
    if (std::find(list.get(), list.get() + count, d) == list.get() + count) list[count++] = d;
  }

  Node& node = nodes_[self];
  node.deps = std::move(list);
  node.dep_count = count;
  built_ = false;
  return {};
}

Result<NodeKind> Graph::kind_of(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  return nodes_[i].kind;
}

Result<NodeState> Graph::state_of(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  return nodes_[i].state;
}

Result<std::span<const NodeIndex>> Graph::deps_of(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  return nodes_[i].dep_span();
}

// ---- build and order ---------------------------------------------------------------------------

std::span<const NodeIndex> Graph::dependents(NodeIndex i) const noexcept {
  if (static_cast<std::size_t>(i) + 1 >= roffs_.size()) return {};
  return {rdeps_.data() + roffs_[i], rdeps_.data() + roffs_[i + 1]};
}

Status Graph::build() {
  const std::size_t n = nodes_.size();
  std::size_t edges = 0;
  for (const Node& node : nodes_) edges += node.dep_count;

  // Allocate all working storage first, so that running out of memory changes nothing.
  std::vector<std::size_t> roffs(n + 1, 0);
  std::vector<NodeIndex> rdeps(edges);
  std::vector<std::uint32_t> indegree(n);
  std::vector<std::uint64_t> ready((n + 63) / 64, 0);
  std::vector<NodeIndex> heap;
  heap.reserve(n);
  std::vector<NodeIndex> order;
  order.reserve(n);
  std::vector<NodeIndex> position(n);

  // Reverse edges: counting pass, prefix sums, then a fill in ascending node order, which
  // leaves each node's dependents ascending and (as deps hold no repeats) without repeats.
  for (const Node& node : nodes_) {
    for (const NodeIndex d : node.dep_span()) ++roffs[d + 1];
  }
  for (std::size_t i = 0; i < n; ++i) roffs[i + 1] += roffs[i];
  {
    std::vector<std::size_t>& fill = roffs;  // advanced per node below, then restored
    for (std::size_t i = 0; i < n; ++i) {
      for (const NodeIndex d : nodes_[i].dep_span()) rdeps[fill[d]++] = static_cast<NodeIndex>(i);
    }
    // Each fill[d] now points at the end of d's run, i.e. the start of d + 1's: shift back.
    for (std::size_t i = n; i > 0; --i) roffs[i] = roffs[i - 1];
    roffs[0] = 0;
  }
  roffs_.swap(roffs);
  rdeps_.swap(rdeps);

  // Kahn's algorithm, always emitting the smallest ready index: the lexicographically smallest
  // topological order by registration index. The ready set is a min-heap in general, but most
  // nodes become ready after the last emitted index (dependencies are usually registered before
  // their dependents), and those go into a bitset scanned by a cursor that only moves forward.
  // Nodes that become ready below the cursor go to a small heap; they are always smaller than
  // everything in the bitset, so the heap, when not empty, holds the minimum.
  const std::greater<NodeIndex> later;
  std::size_t cursor = 0;  // every index in `ready` is >= cursor
  const auto make_ready = [&](NodeIndex k) {
    if (k >= cursor) {
      ready[k >> 6] |= std::uint64_t{1} << (k & 63);
    } else {
      heap.push_back(k);
      std::push_heap(heap.begin(), heap.end(), later);
    }
  };
  std::size_t pending = 0;  // ready nodes in the bitset
  for (std::size_t i = 0; i < n; ++i) {
    indegree[i] = nodes_[i].dep_count;
    if (indegree[i] == 0) {
      make_ready(static_cast<NodeIndex>(i));
      ++pending;
    }
  }
  while (!heap.empty() || pending > 0) {
    NodeIndex m;
    if (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), later);
      m = heap.back();
      heap.pop_back();
    } else {
      std::size_t word = cursor >> 6;
      std::uint64_t bits = ready[word] & (~std::uint64_t{0} << (cursor & 63));
      while (bits == 0) bits = ready[++word];
      m = static_cast<NodeIndex>((word << 6) | static_cast<std::size_t>(std::countr_zero(bits)));
      ready[word] &= ~(std::uint64_t{1} << (m & 63));
      cursor = m;
      --pending;
    }
    order.push_back(m);
    for (std::size_t e = roffs_[m]; e < roffs_[m + 1]; ++e) {
      const NodeIndex k = rdeps_[e];
      if (--indegree[k] == 0) {
        if (k >= cursor) ++pending;
        make_ready(k);
      }
    }
  }

  if (order.size() < n) {
    std::vector<std::string> blocked;
    for (std::size_t i = 0; i < n; ++i) {
      if (indegree[i] > 0) blocked.push_back(nodes_[i].id);
    }
    return GraphError::cycle(std::move(blocked));
  }

  for (std::size_t k = 0; k < n; ++k) position[order[k]] = static_cast<NodeIndex>(k);
  order_.swap(order);
  position_.swap(position);
  built_ = true;
  return {};
}

Result<std::span<const NodeIndex>> Graph::topo_order() const {
  if (!built_) return GraphError::not_built();
  return std::span<const NodeIndex>(order_);
}

Result<std::vector<NodeIndex>> Graph::views() const {
  if (!built_) return GraphError::not_built();
  std::vector<NodeIndex> out;
  for (const NodeIndex i : order_) {
    if (nodes_[i].kind == NodeKind::View) out.push_back(i);
  }
  return out;
}

// ---- propagation -------------------------------------------------------------------------------

Result<std::vector<NodeIndex>> Graph::resolve_seeds(std::span<const std::string_view> ids) const {
  std::vector<NodeIndex> out;
  out.reserve(ids.size());
  for (const std::string_view id : ids) {
    const std::uint32_t i = find(id);
    if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
    out.push_back(i);
  }
  return out;
}

namespace {

// One zeroed flag per node, packed eight to a byte so that clearing them costs little even when
// a schedule is tiny and the graph is not.
class NodeFlags {
 public:
  explicit NodeFlags(std::size_t n) : words_((n + 63) / 64, 0) {}
  /// Sets the flag of `i`; true if it was clear.
  bool set(NodeIndex i) noexcept {
    std::uint64_t& word = words_[i >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (i & 63);
    const bool was_clear = (word & bit) == 0;
    word |= bit;
    return was_clear;
  }
  bool test(NodeIndex i) const noexcept { return (words_[i >> 6] >> (i & 63)) & 1; }

 private:
  std::vector<std::uint64_t> words_;
};

}  // namespace

std::vector<NodeIndex> Graph::closure(std::span<const NodeIndex> seeds) const {
  NodeFlags seen(nodes_.size());
  // The reached list doubles as the first-in, first-out queue: nodes leave it in the order
  // they entered, so the unread tail is exactly the queue.
  std::vector<NodeIndex> reached;
  reached.reserve(seeds.size());
  for (const NodeIndex s : seeds) {
    if (seen.set(s)) reached.push_back(s);
  }
  for (std::size_t head = 0; head < reached.size(); ++head) {
    const NodeIndex m = reached[head];
    for (std::size_t e = roffs_[m]; e < roffs_[m + 1]; ++e) {
      const NodeIndex k = rdeps_[e];
      if (seen.set(k)) reached.push_back(k);
    }
  }
  return reached;
}

void Graph::sort_by_position(std::vector<NodeIndex>& nodes) const {
  const std::size_t k = nodes.size();
  if (k < 2) return;
  // For a large share of the graph one pass over the cached order beats a comparison sort.
  const auto log2k = static_cast<std::size_t>(std::bit_width(k));
  if (k * log2k >= order_.size()) {
    NodeFlags member(nodes_.size());
    for (const NodeIndex i : nodes) member.set(i);
    std::size_t out = 0;
    for (const NodeIndex i : order_) {
      if (member.test(i)) nodes[out++] = i;
    }
    return;
  }
  std::sort(nodes.begin(), nodes.end(),
            [this](NodeIndex a, NodeIndex b) { return position_[a] < position_[b]; });
}

Result<std::vector<NodeIndex>> Graph::schedule(std::span<const std::string_view> seeds) const {
  if (!built_) return GraphError::not_built();
  auto resolved = resolve_seeds(seeds);
  if (!resolved) return std::move(resolved).error();
  std::vector<NodeIndex> reached = closure(*resolved);
  sort_by_position(reached);
  return reached;
}

Result<std::vector<NodeIndex>> Graph::downstream(std::string_view id) const {
  if (!built_) return GraphError::not_built();
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  const NodeIndex seed = i;
  std::vector<NodeIndex> reached = closure(std::span<const NodeIndex>(&seed, 1));
  reached.erase(reached.begin());  // the node itself, always first
  sort_by_position(reached);
  return reached;
}

Result<std::vector<NodeIndex>> Graph::dirty_subgraph(
    std::span<const std::string_view> seeds) const {
  return schedule(seeds);
}

Result<std::vector<NodeIndex>> Graph::mark_dirty(std::span<const std::string_view> seeds) {
  auto reached = schedule(seeds);
  if (!reached) return reached;
  for (const NodeIndex i : *reached) nodes_[i].state = NodeState::Dirty;
  return reached;
}

Result<std::vector<NodeIndex>> Graph::dirty_nodes() const {
  if (!built_) return GraphError::not_built();
  std::vector<NodeIndex> out;
  for (const NodeIndex i : order_) {
    if (nodes_[i].state == NodeState::Dirty) out.push_back(i);
  }
  return out;
}

// ---- memo bookkeeping --------------------------------------------------------------------------

Status Graph::set_state(std::string_view id, NodeState state) {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  nodes_[i].state = state;
  return {};
}

Status Graph::record_signature(std::string_view id, std::uint64_t signature) {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  Node& node = nodes_[i];
  node.state = NodeState::Clean;
  node.signature = signature;
  node.has_signature = true;
  return {};
}

Status Graph::set_dirty(std::string_view id) {
  return set_state(id, NodeState::Dirty);
}
Status Graph::set_computing(std::string_view id) {
  return set_state(id, NodeState::Computing);
}
Status Graph::set_clean(std::string_view id, std::uint64_t hash) {
  return record_signature(id, hash);
}
Status Graph::skip_node(std::string_view id, std::uint64_t signature) {
  return record_signature(id, signature);
}

Status Graph::commit_input(std::string_view id, std::uint64_t content_hash) {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  Node& node = nodes_[i];
  node.state = NodeState::Clean;
  node.signature = content_hash;
  node.has_signature = true;
  node.content_hash = content_hash;
  node.has_content_hash = true;
  return {};
}

Status Graph::commit_node(std::string_view id, std::uint64_t signature) {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  ++clock_;  // unsigned: wraps from 2^64 - 1 to 0
  Node& node = nodes_[i];
  node.state = NodeState::Clean;
  node.signature = signature;
  node.has_signature = true;
  node.epoch = clock_;
  return {};
}

std::uint64_t Graph::signature_of(NodeIndex i) const noexcept {
  std::uint64_t h = kSignatureBasis;
  for (const NodeIndex d : nodes_[i].dep_span()) {
    const Node& dep = nodes_[d];
    // An absent content hash is stored as 0, so it contributes like a hash of 0.
    const std::uint64_t v = dep.kind == NodeKind::Input ? dep.content_hash : dep.epoch;
    h = (h ^ v) * kSignaturePrime;
  }
  return h;
}

Result<CheckResult> Graph::check_node(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  const Node& node = nodes_[i];
  const std::uint64_t h = signature_of(i);
  return CheckResult{node.kind, !(node.has_signature && node.signature == h), h};
}

Result<bool> Graph::needs_recompute(std::string_view id, std::uint64_t input_hash) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  const Node& node = nodes_[i];
  return !(node.has_signature && node.signature == input_hash);
}

// ---- invariants --------------------------------------------------------------------------------

bool Graph::check_invariants() const {
  const std::size_t n = nodes_.size();
  if (index_.size() != n) return false;
  std::vector<std::size_t> last_seen(n, n);  // the node whose deps last named each index
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = nodes_[i];
    if (find(node.id) != i) return false;
    if (static_cast<std::uint8_t>(node.kind) > 3 || static_cast<std::uint8_t>(node.state) > 2) {
      return false;
    }
    if (!node.has_content_hash && node.content_hash != 0) return false;
    for (const NodeIndex d : node.dep_span()) {
      if (d >= n || d == i || last_seen[d] == i) return false;
      last_seen[d] = i;
    }
  }
  if (!built_) return true;
  if (order_.size() != n || position_.size() != n || roffs_.size() != n + 1) return false;
  for (std::size_t k = 0; k < n; ++k) {
    if (order_[k] >= n || position_[order_[k]] != k) return false;
  }
  std::size_t edges = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (const NodeIndex d : nodes_[i].dep_span()) {
      if (position_[d] >= position_[i]) return false;
    }
    edges += nodes_[i].dep_count;
    const auto rs = dependents(static_cast<NodeIndex>(i));
    for (std::size_t j = 0; j < rs.size(); ++j) {
      if (j > 0 && rs[j - 1] >= rs[j]) return false;
      const auto ds = nodes_[rs[j]].dep_span();
      if (std::find(ds.begin(), ds.end(), static_cast<NodeIndex>(i)) == ds.end()) return false;
    }
  }
  return rdeps_.size() == edges;
}

}  // namespace tavik
