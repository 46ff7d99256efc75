#include "core/graph.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <new>

#include "core/storage.hpp"

namespace tavik {

using detail::bit;
using detail::reserve_one_more;

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
  const std::size_t n = records_.size();
  const std::size_t padding = (8 - id.size() % 8) % 8;
  const std::size_t bytes = id_bytes_.size() + id.size() + padding;
  if (n >= kMaxNodes || bytes > kMaxIdBytes) throw std::bad_alloc();

  // Everything that can allocate happens before the first write.
  reserve_one_more(records_);
  reserve_one_more(stamps_);
  if (bytes > id_bytes_.capacity()) id_bytes_.reserve(std::max(bytes, id_bytes_.capacity() * 2));
  index_.reserve(index_.size() + 1, [this](NodeIndex i) { return id_of(i); });

  NodeRecord record;
  record.id_begin = static_cast<std::uint32_t>(id_bytes_.size());
  record.id_padding = static_cast<std::uint8_t>(padding) & 7;
  record.kind = *parsed;
  id_bytes_.insert(id_bytes_.end(), id.begin(), id.end());
  id_bytes_.resize(bytes, 0);
  records_.push_back(record);
  stamps_.push_back(0);
  index_.insert(id, static_cast<NodeIndex>(n));
  built_ = false;
  return {};
}

void Graph::compact_deps(std::size_t extra) {
  const std::size_t live = dep_pool_.size() - dep_garbage_;
  std::vector<NodeIndex> pool;
  pool.reserve(std::max(live + extra, 2 * live));
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const auto deps = deps_span(static_cast<NodeIndex>(i));
    pool.insert(pool.end(), deps.begin(), deps.end());
  }
  std::uint32_t begin = 0;
  for (NodeRecord& record : records_) {
    record.deps_begin = begin;
    begin += record.dep_count;
  }
  dep_pool_.swap(pool);
  dep_garbage_ = 0;
}

void Graph::reserve_deps(std::size_t count) {
  if (dep_pool_.capacity() - dep_pool_.size() >= count &&
      dep_pool_.size() + count <= kMaxDepSlots) {
    return;
  }
  if (dep_garbage_ > 0 && dep_garbage_ >= dep_pool_.size() / 2) compact_deps(count);
  if (dep_pool_.size() + count > kMaxDepSlots) throw std::bad_alloc();
  if (dep_pool_.capacity() - dep_pool_.size() < count) {
    dep_pool_.reserve(std::max(dep_pool_.size() + count, dep_pool_.capacity() * 2));
  }
}

void Graph::reserve_marks() {
  const std::size_t words = (records_.size() + 63) / 64;
  if (dep_marks_.size() < words) dep_marks_.resize(words, 0);
}

Status Graph::set_deps(std::string_view id, std::span<const std::string_view> deps) {
  auto self = idx(id);
  if (!self) return std::move(self).error();

  // Room first. The new list is resolved straight into the pool's tail, which no node's list
  // reaches; compacting only rewrites where the lists are, never what they hold.
  reserve_deps(deps.size());
  reserve_marks();

  // Repeats are dropped by a mark per listed node. Every way out of here clears the marks again
  // (the tail holds exactly the marked nodes) and cuts the tail off unless it became the list:
  // linear in the length of `deps`.
  struct Tail {
    Graph& g;
    const std::size_t begin;
    bool keep = false;
    ~Tail() {
      for (std::size_t k = begin; k < g.dep_pool_.size(); ++k) {
        const NodeIndex d = g.dep_pool_[k];
        g.dep_marks_[d >> 6] &= ~bit(d);
      }
      if (!keep) g.dep_pool_.resize(begin);
    }
  } tail{*this, dep_pool_.size()};
  for (const std::string_view dep : deps) {
    if (dep == id) return GraphError::self_dependency(std::string(id));
    auto d = idx(dep);
    if (!d) return std::move(d).error();
    std::uint64_t& word = dep_marks_[*d >> 6];
    if ((word & bit(*d)) == 0) {
      word |= bit(*d);
      dep_pool_.push_back(*d);  // cannot reallocate: room was made
    }
  }

  NodeRecord& node = records_[*self];
  const auto count = static_cast<std::uint32_t>(dep_pool_.size() - tail.begin);
  if (count <= node.dep_count) {
    // The new list fits in the old one's place (the common edit keeps the length).
    std::copy(dep_pool_.begin() + static_cast<std::ptrdiff_t>(tail.begin), dep_pool_.end(),
              dep_pool_.begin() + node.deps_begin);
    dep_garbage_ += node.dep_count - count;
  } else {
    dep_garbage_ += node.dep_count;
    node.deps_begin = static_cast<std::uint32_t>(tail.begin);
    tail.keep = true;
  }
  node.dep_count = count;
  built_ = false;
  return {};
}

Result<NodeKind> Graph::kind_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return records_[*i].kind;
}

Result<NodeState> Graph::state_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return records_[*i].state;
}

Result<std::span<const NodeIndex>> Graph::deps_of(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  return deps_span(*i);
}

// ---- build and order ---------------------------------------------------------------------------

Graph::ReverseEdges Graph::reverse_edges() const {
  const std::size_t n = records_.size();
  const std::size_t edges = dep_pool_.size() - dep_garbage_;
  ReverseEdges reverse{std::vector<RevList>(n), std::vector<NodeIndex>(edges)};
  std::vector<RevList>& lists = reverse.lists;

  // Counting pass, starts from the counts, then a fill in ascending node order (each count
  // counted up again as the fill's cursor), which leaves each node's dependents ascending and
  // (as deps hold no repeats) without repeats.
  for (std::size_t i = 0; i < n; ++i) {
    for (const NodeIndex d : deps_span(static_cast<NodeIndex>(i))) ++lists[d].count;
  }
  std::uint32_t begin = 0;
  for (RevList& list : lists) {
    list.begin = begin;
    begin += list.count;
    list.count = 0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (const NodeIndex d : deps_span(static_cast<NodeIndex>(i))) {
      RevList& list = lists[d];
      reverse.targets[list.begin + list.count++] = static_cast<NodeIndex>(i);
    }
  }
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
  const std::size_t n = records_.size();
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
    indegree[i] = records_[i].dep_count;
    if (indegree[i] == 0 && !records_[i].dead) {
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
    const RevList list = reverse.lists[m];
    for (std::size_t e = list.begin; e < std::size_t{list.begin} + list.count; ++e) {
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
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (indegree[i] > 0) blocked.emplace_back(id_of(static_cast<NodeIndex>(i)));
  }
  return GraphError::cycle(std::move(blocked));
}

Status Graph::build() {
  // Every step that allocates runs before the first write, so that running out of memory
  // changes nothing.
  const std::size_t n = records_.size();
  ReverseEdges reverse = reverse_edges();
  std::vector<std::uint32_t> indegree(n);
  std::vector<NodeIndex> order = ordered_walk(reverse, indegree);
  std::vector<NodeIndex> position(n, kNoNode);  // dead slots have no place

  rev_.swap(reverse.lists);
  rev_pool_.swap(reverse.targets);
  rev_garbage_ = 0;
  for (NodeRecord& record : records_) record.rev_header = false;
  if (order.size() < n - dead_) return cycle_error(indegree);

  for (std::size_t k = 0; k < order.size(); ++k) position[order[k]] = static_cast<NodeIndex>(k);
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
    if (i != kNoNode && records_[i].kind == NodeKind::View) out.push_back(i);
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
  NodeFlags seen(records_.size());
  // The reached list doubles as the first-in, first-out queue: nodes leave it in the order
  // they entered, so the unread tail is exactly the queue.
  std::vector<NodeIndex> reached;
  reached.reserve(seeds.size());
  for (const NodeIndex s : seeds) {
    if (seen.set(s)) reached.push_back(s);
  }
  for (std::size_t head = 0; head < reached.size(); ++head) {
    for (const NodeIndex k : dependents(reached[head])) {
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
    NodeFlags member(records_.size());
    for (const NodeIndex i : nodes) member.set(i);
    std::size_t out = 0;
    for (const NodeIndex i : order_) {
      if (i != kNoNode && member.test(i)) nodes[out++] = i;
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
  for (const NodeIndex i : *reached) records_[i].state = NodeState::Dirty;
  return reached;
}

Result<std::vector<NodeIndex>> Graph::dirty_nodes() const {
  if (!built_) return GraphError::not_built();
  std::vector<NodeIndex> out;
  for (const NodeIndex i : order_) {
    if (i != kNoNode && records_[i].state == NodeState::Dirty) out.push_back(i);
  }
  return out;
}

// ---- memo bookkeeping --------------------------------------------------------------------------

Status Graph::set_state(std::string_view id, NodeState state) {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  records_[*i].state = state;
  return {};
}

void Graph::record_clean(NodeIndex i, std::uint64_t signature) noexcept {
  NodeRecord& record = records_[i];
  record.state = NodeState::Clean;
  record.signature = signature;
  record.has_signature = true;
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
  record_clean(*i, content_hash);
  content_hash_ref(*i) = content_hash;
  records_[*i].has_content_hash = true;
  return {};
}

Status Graph::commit_node(std::string_view id, std::uint64_t signature) {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  ++clock_;  // unsigned: wraps from 2^64 - 1 to 0
  record_clean(*i, signature);
  epoch_ref(*i) = clock_;
  return {};
}

std::uint64_t Graph::signature_of(NodeIndex i) const noexcept {
  std::uint64_t h = kSignatureBasis;
  for (const NodeIndex d : deps_span(i)) h = (h ^ stamps_[d]) * kSignaturePrime;
  return h;
}

Result<CheckResult> Graph::check_node(std::string_view id) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  const NodeRecord& node = records_[*i];
  const std::uint64_t h = signature_of(*i);
  return CheckResult{node.kind, !(node.has_signature && node.signature == h), h};
}

Result<bool> Graph::needs_recompute(std::string_view id, std::uint64_t input_hash) const {
  auto i = idx(id);
  if (!i) return std::move(i).error();
  const NodeRecord& node = records_[*i];
  return !(node.has_signature && node.signature == input_hash);
}

// ---- invariants --------------------------------------------------------------------------------

bool Graph::check_invariants() const {
  const std::size_t n = records_.size();
  if (dead_ > n || index_.size() != n - dead_ || stamps_.size() != n) return false;
  if (rev_.size() > n || (built_ && rev_.size() != n)) return false;
  if (last_found_ < n && records_[last_found_].dead) return false;
  std::vector<std::size_t> last_seen(n, n);  // the node whose deps last named each index
  std::vector<bool> pool_used(dep_pool_.size(), false);
  std::vector<bool> rev_used(rev_pool_.size(), false);
  std::size_t live = 0;      // dependency slots in lists
  std::size_t rev_held = 0;  // slots of the dependents lists, their room and headers included
  std::size_t dead = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto self = static_cast<NodeIndex>(i);
    const NodeRecord& node = records_[i];
    const std::size_t id_end = i + 1 < n ? records_[i + 1].id_begin : id_bytes_.size();
    if (node.id_begin % 8 != 0 || std::size_t{node.id_begin} + node.id_padding > id_end ||
        id_end > id_bytes_.size() || (id_end - node.id_begin) % 8 != 0) {
      return false;
    }
    if (node.dead) {
      ++dead;
      if (node.dep_count != 0 || find(id_of(self)) == i) return false;
    } else if (find(id_of(self)) != i) {
      return false;
    }
    if (static_cast<std::uint8_t>(node.kind) > 3 || static_cast<std::uint8_t>(node.state) > 2) {
      return false;
    }
    if (!node.has_content_hash && content_hash_of(self) != 0) return false;
    if (std::size_t{node.deps_begin} + node.dep_count > dep_pool_.size()) return false;
    for (std::size_t k = node.deps_begin; k < node.deps_begin + node.dep_count; ++k) {
      if (pool_used[k]) return false;  // lists never share slots
      pool_used[k] = true;
      const NodeIndex d = dep_pool_[k];
      if (d >= n || d == i || last_seen[d] == i || records_[d].dead) return false;
      last_seen[d] = i;
    }
    live += node.dep_count;

    if (i >= rev_.size()) {
      if (node.rev_header) return false;
      continue;
    }
    const RevList list = rev_[i];
    std::size_t first = list.begin;
    std::size_t slots = list.count;
    if (node.rev_header) {
      if (list.begin == 0) return false;
      first = list.begin - 1;
      slots = std::size_t{rev_pool_[first]} + 1;
      if (slots - 1 < list.count) return false;
    }
    if (first + slots > rev_pool_.size() || (node.dead && list.count != 0)) return false;
    for (std::size_t k = first; k < first + slots; ++k) {
      if (rev_used[k]) return false;  // nor do the dependents lists
      rev_used[k] = true;
    }
    rev_held += slots;
  }
  if (dead != dead_) return false;
  if (live + dep_garbage_ != dep_pool_.size()) return false;
  if (rev_held + rev_garbage_ != rev_pool_.size()) return false;
  for (const std::uint64_t word : dep_marks_) {
    if (word != 0) return false;
  }
  if (!built_) return true;

  // The order: every live node at exactly one place, holes at the others, and every dependency
  // placed before its dependent.
  if (position_.size() != n || order_.size() < n - dead_) return false;
  std::size_t placed = 0;
  for (std::size_t k = 0; k < order_.size(); ++k) {
    const NodeIndex i = order_[k];
    if (i == kNoNode) continue;
    if (i >= n || records_[i].dead || position_[i] != k) return false;
    ++placed;
  }
  if (placed != n - dead_) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (records_[i].dead) {
      if (position_[i] != kNoNode) return false;
      continue;
    }
    for (const NodeIndex d : deps_span(static_cast<NodeIndex>(i))) {
      if (position_[d] >= position_[i]) return false;
    }
  }
  // The dependents lists hold exactly the transposed deps, in any order.
  const ReverseEdges expected = reverse_edges();
  std::vector<NodeIndex> held;
  for (std::size_t i = 0; i < n; ++i) {
    const auto rs = dependents(static_cast<NodeIndex>(i));
    held.assign(rs.begin(), rs.end());
    std::sort(held.begin(), held.end());
    const RevList want = expected.lists[i];
    if (!std::equal(held.begin(), held.end(), expected.targets.begin() + want.begin,
                    expected.targets.begin() + want.begin + want.count)) {
      return false;
    }
  }
  return true;
}

}  // namespace tavik
