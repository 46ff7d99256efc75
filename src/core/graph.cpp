#include "core/graph.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <new>

namespace tavik {
namespace {

// The bit of node `i` in its 64-bit word of a per-node bitset.
constexpr std::uint64_t bit(NodeIndex i) noexcept {
  return std::uint64_t{1} << (i & 63);
}

}  // namespace

std::optional<NodeKind> parse_kind(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    if (name == kKindNames[i]) return static_cast<NodeKind>(i);
  }
  return std::nullopt;
}

// ---- registry ----------------------------------------------------------------------------------

Result<NodeIndex> Graph::idx(std::string_view id) const {
  const std::uint32_t i = find(id);
  if (i == IdIndex::kNotFound) return GraphError::unknown_node(std::string(id));
  return i;
}

Status Graph::add_node(std::string_view id, std::string_view kind) {
  if (contains(id)) return GraphError::duplicate_node(std::string(id));
  const std::optional<NodeKind> parsed = parse_kind(kind);
  if (!parsed) return GraphError::invalid_kind(std::string(kind));
  if (nodes_.size() >= kMaxNodes) throw std::bad_alloc();

  // Everything that can allocate happens before the first write.
  Node node;
  node.id.assign(id);
  node.kind = *parsed;
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
  auto self = idx(id);
  if (!self) return std::move(self).error();

  std::unique_ptr<NodeIndex[]> list;
  if (!deps.empty()) list = std::make_unique_for_overwrite<NodeIndex[]>(deps.size());
  const std::size_t words = (nodes_.size() + 63) / 64;
  if (dep_marks_.size() < words) dep_marks_.resize(words, 0);

  // Repeats are dropped by a mark per listed node, which every way out of here clears again
  // (the list holds exactly the marked nodes): linear in the length of `deps`.
  std::uint32_t count = 0;
  struct Unmark {
    std::uint64_t* marks;
    const NodeIndex* list;
    const std::uint32_t& count;
    ~Unmark() {
      for (std::uint32_t k = 0; k < count; ++k) marks[list[k] >> 6] &= ~bit(list[k]);
    }
  } unmark{dep_marks_.data(), list.get(), count};
  for (const std::string_view dep : deps) {
    if (dep == id) return GraphError::self_dependency(std::string(id));
    auto d = idx(dep);
    if (!d) return std::move(d).error();
    std::uint64_t& word = dep_marks_[*d >> 6];
    if ((word & bit(*d)) == 0) {
      word |= bit(*d);
      list[count++] = *d;
    }
  }

  Node& node = nodes_[*self];
  node.deps = std::move(list);
  node.dep_count = count;
  built_ = false;
  return {};
}

Result<NodeKind> Graph::kind_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return nodes_[*i].kind;
}

Result<NodeState> Graph::state_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return nodes_[*i].state;
}

Result<std::span<const NodeIndex>> Graph::deps_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return nodes_[*i].dep_span();
}

// ---- build and order ---------------------------------------------------------------------------

std::span<const NodeIndex> Graph::dependents(NodeIndex i) const noexcept {
  if (static_cast<std::size_t>(i) + 1 >= roffs_.size()) return {};
  return {rdeps_.data() + roffs_[i], rdeps_.data() + roffs_[i + 1]};
}

Graph::ReverseEdges Graph::reverse_edges() const {
  const std::size_t n = nodes_.size();
  std::size_t edges = 0;
  for (const Node& node : nodes_) edges += node.dep_count;
  ReverseEdges reverse{std::vector<std::size_t>(n + 1, 0), std::vector<NodeIndex>(edges)};
  std::vector<std::size_t>& offsets = reverse.offsets;

  // Counting pass, prefix sums, then a fill in ascending node order, which leaves each node's
  // dependents ascending and (as deps hold no repeats) without repeats.
  for (const Node& node : nodes_) {
    for (const NodeIndex d : node.dep_span()) ++offsets[d + 1];
  }
  for (std::size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
  std::vector<std::size_t>& fill = offsets;  // advanced per node below, then restored
  for (std::size_t i = 0; i < n; ++i) {
    for (const NodeIndex d : nodes_[i].dep_span()) {
      reverse.targets[fill[d]++] = static_cast<NodeIndex>(i);
    }
  }
  // Each fill[d] now points at the end of d's run, i.e. the start of d + 1's: shift back.
  for (std::size_t i = n; i > 0; --i) offsets[i] = offsets[i - 1];
  offsets[0] = 0;
  return reverse;
}

std::vector<NodeIndex> Graph::ordered_walk(const ReverseEdges& reverse,
                                           std::vector<std::uint32_t>& indegree) const {
  // Kahn's algorithm, always emitting the smallest ready index: the lexicographically smallest
  // topological order by registration index. The ready set is a min-heap in general, but most
  // nodes become ready after the last emitted index (dependencies are usually registered before
  // their dependents), and those go into a bitset scanned by a cursor that only moves forward.
  // Nodes that become ready below the cursor go to a small heap; they are always smaller than
  // everything in the bitset, so the heap, when not empty, holds the minimum.
  const std::size_t n = nodes_.size();
  std::vector<std::uint64_t> ready((n + 63) / 64, 0);
  std::vector<NodeIndex> heap;
  heap.reserve(n);
  std::vector<NodeIndex> order;
  order.reserve(n);

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
    for (std::size_t e = reverse.offsets[m]; e < reverse.offsets[m + 1]; ++e) {
      const NodeIndex k = reverse.targets[e];
      if (--indegree[k] == 0) {
        if (k >= cursor) ++pending;
        make_ready(k);
      }
    }
  }
  return order;
}

GraphError Graph::cycle_error(const std::vector<std::uint32_t>& indegree) const {
  std::vector<std::string> blocked;
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    if (indegree[i] > 0) blocked.push_back(nodes_[i].id);
  }
  return GraphError::cycle(std::move(blocked));
}

Status Graph::build() {
  // Every step that allocates runs before the first write, so that running out of memory
  // changes nothing.
  const std::size_t n = nodes_.size();
  ReverseEdges reverse = reverse_edges();
  std::vector<std::uint32_t> indegree(n);
  std::vector<NodeIndex> order = ordered_walk(reverse, indegree);
  std::vector<NodeIndex> position(n);

  roffs_.swap(reverse.offsets);
  rdeps_.swap(reverse.targets);
  if (order.size() < n) return cycle_error(indegree);

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
    auto i = idx(id);
    if (!i) return std::move(i).error();
    out.push_back(*i);
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

Result<std::vector<NodeIndex>> Graph::dirty_subgraph(
    std::span<const std::string_view> seeds) const {
  if (!built_) return GraphError::not_built();
  auto resolved = resolve_seeds(seeds);
  if (!resolved) return std::move(resolved).error();
  std::vector<NodeIndex> reached = closure(*resolved);
  sort_by_position(reached);
  return reached;
}

Result<std::vector<NodeIndex>> Graph::downstream(std::string_view id) const {
  if (!built_) return GraphError::not_built();
  auto i = idx(id);
  if (!i) return std::move(i).error();
  std::vector<NodeIndex> reached = closure(std::span<const NodeIndex>(&*i, 1));
  reached.erase(reached.begin());  // the node itself, always first
  sort_by_position(reached);
  return reached;
}

Result<std::vector<NodeIndex>> Graph::mark_dirty(std::span<const std::string_view> seeds) {
  auto reached = dirty_subgraph(seeds);
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
  auto i = idx(id);
  if (!i) return std::move(i).error();
  nodes_[*i].state = state;
  return {};
}

Node& Graph::record_clean(NodeIndex i, std::uint64_t signature) noexcept {
  Node& node = nodes_[i];
  node.state = NodeState::Clean;
  node.signature = signature;
  node.has_signature = true;
  return node;
}

Status Graph::record_signature(std::string_view id, std::uint64_t signature) {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  record_clean(*i, signature);
  return {};
}

Status Graph::commit_input(std::string_view id, std::uint64_t content_hash) {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  Node& node = record_clean(*i, content_hash);
  node.content_hash = content_hash;
  node.has_content_hash = true;
  return {};
}

Status Graph::commit_node(std::string_view id, std::uint64_t signature) {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  ++clock_;  // unsigned: wraps from 2^64 - 1 to 0
  record_clean(*i, signature).epoch = clock_;
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
  auto i = idx(id);
  if (!i) return std::move(i).error();
  const Node& node = nodes_[*i];
  const std::uint64_t h = signature_of(*i);
  return CheckResult{node.kind, !(node.has_signature && node.signature == h), h};
}

Result<bool> Graph::needs_recompute(std::string_view id, std::uint64_t input_hash) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  const Node& node = nodes_[*i];
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
  for (const std::uint64_t word : dep_marks_) {
    if (word != 0) return false;
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
