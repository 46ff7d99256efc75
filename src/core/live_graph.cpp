// The live-graph operations: a built graph changed one node at a time, its order, positions and
// dependents lists kept current without a new build(). Each operation makes every allocation it
// needs before its first write, so that std::bad_alloc leaves the graph as it was.
#include <algorithm>
#include <cassert>
#include <functional>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/graph.hpp"
#include "core/storage.hpp"

namespace tavik {

using detail::bit;
using detail::reserve_one_more;

namespace {

template <class T>
bool inside(std::span<const NodeIndex> s, const std::vector<T>& block) noexcept {
  const auto* first = reinterpret_cast<const char*>(block.data());
  const auto* last = first + block.capacity() * sizeof(T);
  const auto* p = reinterpret_cast<const char*>(s.data());
  return !s.empty() && std::less_equal<>()(first, p) && std::less<>()(p, last);
}

}  // namespace

// ---- dependents lists --------------------------------------------------------------------------

std::size_t Graph::rev_growth(NodeIndex d) const noexcept {
  const RevList list = rev_[d];
  if (records_[d].rev_header) {
    if (list.count < rev_pool_[list.begin - 1]) return 0;
  }
  return list.count == 0 ? 1 : 2 * std::size_t{list.count} + 1;
}

void Graph::compact_rev(std::size_t extra) {
  std::size_t edges = 0;
  for (const RevList& list : rev_) edges += list.count;
  std::vector<NodeIndex> pool;
  pool.reserve(std::max(edges + extra, 2 * edges));
  for (std::size_t i = 0; i < rev_.size(); ++i) {
    const auto rs = dependents(static_cast<NodeIndex>(i));
    pool.insert(pool.end(), rs.begin(), rs.end());
  }
  std::uint32_t begin = 0;
  for (std::size_t i = 0; i < rev_.size(); ++i) {
    rev_[i].begin = begin;
    begin += rev_[i].count;
    records_[i].rev_header = false;
  }
  rev_pool_.swap(pool);
  rev_garbage_ = 0;
}

void Graph::reserve_rev(std::span<const NodeIndex> targets) {
  std::size_t need = 0;
  for (const NodeIndex d : targets) need += rev_growth(d);
  if (rev_pool_.capacity() - rev_pool_.size() >= need && rev_pool_.size() + need <= kMaxDepSlots) {
    return;
  }
  if (rev_garbage_ > 0 && rev_garbage_ >= rev_pool_.size() / 2) {
    // Compacted, every list is full: each of the targets moves.
    std::size_t packed = 0;
    for (const NodeIndex d : targets) packed += rev_[d].count == 0 ? 1 : 2 * rev_[d].count + 1;
    compact_rev(packed);
    need = packed;
  }
  if (rev_pool_.size() + need > kMaxDepSlots) throw std::bad_alloc();
  if (rev_pool_.capacity() - rev_pool_.size() < need) {
    rev_pool_.reserve(std::max(rev_pool_.size() + need, rev_pool_.capacity() * 2));
  }
}

void Graph::rev_insert(NodeIndex d, NodeIndex k) noexcept {
  RevList& list = rev_[d];
  NodeRecord& record = records_[d];
  if (record.rev_header && list.count < rev_pool_[list.begin - 1]) {
    rev_pool_[list.begin + list.count++] = k;
    return;
  }
  // Full: the list moves to the block's end, with room for twice as many.
  rev_garbage_ += record.rev_header ? std::size_t{rev_pool_[list.begin - 1]} + 1 : list.count;
  if (list.count == 0) {
    list.begin = static_cast<std::uint32_t>(rev_pool_.size());
    rev_pool_.push_back(k);
    list.count = 1;
    record.rev_header = false;
    return;
  }
  const std::uint32_t room = 2 * list.count;
  rev_pool_.push_back(room);
  const auto begin = static_cast<std::uint32_t>(rev_pool_.size());
  for (std::uint32_t j = 0; j < list.count; ++j) rev_pool_.push_back(rev_pool_[list.begin + j]);
  rev_pool_.push_back(k);
  rev_pool_.resize(std::size_t{begin} + room);  // within the capacity reserve_rev made
  list.begin = begin;
  ++list.count;
  record.rev_header = true;
}

void Graph::rev_erase(NodeIndex d, NodeIndex k) noexcept {
  RevList& list = rev_[d];
  NodeIndex* first = rev_pool_.data() + list.begin;
  NodeIndex* last = first + list.count;
  NodeIndex* at = last;
  while (at != first && *(at - 1) != k) --at;  // the latest additions are at the end
  assert(at != first);
  std::copy(at, last, at - 1);
  --list.count;
  if (!records_[d].rev_header) {
    ++rev_garbage_;  // a full list's last slot is no one's now
    return;
  }
  // A headed list keeps the slot as room, down to a quarter full: then it gives up the room past
  // twice its count, where it is, so that a list never has room for more than four times its
  // count.
  NodeIndex& room = rev_pool_[list.begin - 1];
  if (std::size_t{list.count} * 4 <= room) {
    rev_garbage_ += room - 2 * list.count;
    room = 2 * list.count;
  }
}

std::span<const NodeIndex> Graph::stable(std::span<const NodeIndex> deps,
                                         std::vector<NodeIndex>& copy) const {
  if (!inside(deps, dep_pool_) && !inside(deps, rev_pool_)) return deps;
  copy.assign(deps.begin(), deps.end());
  return copy;
}

// ---- nodes -------------------------------------------------------------------------------------

Result<NodeIndex> Graph::append_node(std::string_view id, NodeKind kind,
                                     std::span<const NodeIndex> deps) {
  assert(built_ || records_.empty());
  if (contains(id)) return GraphError::duplicate_node(std::string(id));
  const std::size_t n = records_.size();
  const std::size_t padding = (8 - id.size() % 8) % 8;
  const std::size_t bytes = id_bytes_.size() + id.size() + padding;
  if (n >= kMaxNodes || bytes > kMaxIdBytes) throw std::bad_alloc();
  if (n == 0) {  // an empty graph, built or not, has no order yet
    order_.clear();
    position_.clear();
    rev_.clear();
  }
  assert(rev_.size() == n && position_.size() == n);

  std::vector<NodeIndex> copy;
  deps = stable(deps, copy);
  reserve_one_more(records_);
  reserve_one_more(stamps_);
  reserve_one_more(rev_);
  reserve_one_more(order_);
  reserve_one_more(position_);
  if (bytes > id_bytes_.capacity()) id_bytes_.reserve(std::max(bytes, id_bytes_.capacity() * 2));
  index_.reserve(index_.size() + 1, [this](NodeIndex k) { return id_of(k); });
  reserve_deps(deps.size());
  reserve_rev(deps);

  const auto self = static_cast<NodeIndex>(n);
  NodeRecord record;
  record.id_begin = static_cast<std::uint32_t>(id_bytes_.size());
  record.id_padding = static_cast<std::uint8_t>(padding) & 7;
  record.kind = kind;
  record.deps_begin = static_cast<std::uint32_t>(dep_pool_.size());
  record.dep_count = static_cast<std::uint32_t>(deps.size());
  id_bytes_.insert(id_bytes_.end(), id.begin(), id.end());
  id_bytes_.resize(bytes, 0);
  dep_pool_.insert(dep_pool_.end(), deps.begin(), deps.end());
  records_.push_back(record);
  stamps_.push_back(0);
  rev_.push_back({});
  for (const NodeIndex d : deps) {
    assert(alive(d));
    rev_insert(d, self);
  }
  position_.push_back(static_cast<NodeIndex>(order_.size()));
  order_.push_back(self);
  index_.insert(id, self);
  built_ = true;
  return self;
}

void Graph::undo_append() noexcept {
  assert(!records_.empty());
  const auto self = static_cast<NodeIndex>(records_.size() - 1);
  const NodeRecord& record = records_[self];
  assert(!record.dead && rev_[self].count == 0 &&
         position_[self] + std::size_t{1} == order_.size());
  for (const NodeIndex d : deps_span(self)) rev_erase(d, self);
  if (std::size_t{record.deps_begin} + record.dep_count == dep_pool_.size()) {
    dep_pool_.resize(record.deps_begin);
  } else {
    dep_garbage_ += record.dep_count;
  }
  if (record.rev_header) rev_garbage_ += std::size_t{rev_pool_[rev_[self].begin - 1]} + 1;
  index_.erase(id_of(self), self, [this](NodeIndex k) { return id_of(k); });
  if (last_found_ == self) last_found_ = IdIndex::kNotFound;
  id_bytes_.resize(record.id_begin);
  records_.pop_back();
  stamps_.pop_back();
  rev_.pop_back();
  position_.pop_back();
  order_.pop_back();
}

void Graph::remove_node(NodeIndex i) {
  assert(built_ && alive(i) && rev_[i].count == 0);
  NodeRecord& record = records_[i];
  for (const NodeIndex d : deps_span(i)) rev_erase(d, i);
  dep_garbage_ += record.dep_count;
  record.dep_count = 0;
  record.deps_begin = 0;
  if (record.rev_header) rev_garbage_ += std::size_t{rev_pool_[rev_[i].begin - 1]} + 1;
  record.rev_header = false;
  rev_[i] = {};
  index_.erase(id_of(i), i, [this](NodeIndex k) { return id_of(k); });
  if (last_found_ == i) last_found_ = IdIndex::kNotFound;
  order_[position_[i]] = kNoNode;
  position_[i] = kNoNode;
  record.dead = true;
  ++dead_;
}

// ---- dependencies and the order ----------------------------------------------------------------

std::vector<NodeIndex> Graph::cycle_through(NodeIndex i, std::span<const NodeIndex> deps) const {
  assert(built_ && alive(i));
  const std::uint32_t floor = position_[i];
  std::unordered_map<NodeIndex, NodeIndex> parent;  // of every node pushed, its first pusher
  std::vector<NodeIndex> stack;
  std::unordered_set<NodeIndex> done;  // popped, its deps pushed
  bool found = false;
  NodeIndex closing = kNoNode;  // the node that pushed `i`
  const auto push = [&](NodeIndex k, NodeIndex from) {
    if (k == i) {
      found = true;
      closing = from;
      return;
    }
    if (position_[k] <= floor) return;  // placed before `i`: cannot reach it
    parent.try_emplace(k, from);
    stack.push_back(k);
  };
  for (auto d = deps.rbegin(); d != deps.rend() && !found; ++d) push(*d, i);
  while (!found && !stack.empty()) {
    const NodeIndex m = stack.back();
    stack.pop_back();
    if (!done.insert(m).second) continue;
    const auto ds = deps_span(m);
    for (auto d = ds.rbegin(); d != ds.rend() && !found; ++d) push(*d, m);
  }
  std::vector<NodeIndex> cycle;
  if (!found) return cycle;
  cycle.push_back(i);
  for (NodeIndex k = closing; k != i; k = parent.at(k)) cycle.push_back(k);
  cycle.push_back(i);
  std::reverse(cycle.begin(), cycle.end());
  return cycle;
}

void Graph::replace_deps(NodeIndex i, std::span<const NodeIndex> deps) {
  assert(built_ && alive(i));
  std::vector<NodeIndex> copy;
  deps = stable(deps, copy);
  reserve_marks();

  // The new dependencies that are not old ones gain `i` as a dependent.
  std::vector<NodeIndex> added;
  added.reserve(deps.size());
  for (const NodeIndex d : deps_span(i)) dep_marks_[d >> 6] |= bit(d);
  for (const NodeIndex d : deps) {
    assert(alive(d) && d != i);
    if ((dep_marks_[d >> 6] & bit(d)) == 0) added.push_back(d);
  }
  for (const NodeIndex d : deps_span(i)) dep_marks_[d >> 6] &= ~bit(d);

  // The span to reorder, and its scratch.
  const std::uint32_t p = position_[i];
  std::uint32_t u = 0;
  for (const NodeIndex d : deps) u = std::max(u, position_[d]);
  const std::size_t span = u > p ? std::size_t{u} - p + 1 : 0;
  std::vector<NodeIndex> moved(span);
  std::vector<std::uint64_t> reached((span + 63) / 64, 0);

  if (deps.size() > records_[i].dep_count) reserve_deps(deps.size());
  reserve_rev(added);

  // ---- no allocation from here on.
  for (const NodeIndex d : deps) dep_marks_[d >> 6] |= bit(d);
  for (const NodeIndex d : deps_span(i)) {
    if ((dep_marks_[d >> 6] & bit(d)) == 0) rev_erase(d, i);
  }
  for (const NodeIndex d : deps) dep_marks_[d >> 6] &= ~bit(d);
  for (const NodeIndex d : added) rev_insert(d, i);

  NodeRecord& record = records_[i];
  const auto count = static_cast<std::uint32_t>(deps.size());
  if (count <= record.dep_count) {
    std::copy(deps.begin(), deps.end(), dep_pool_.begin() + record.deps_begin);
    dep_garbage_ += record.dep_count - count;
  } else {
    dep_garbage_ += record.dep_count;
    record.deps_begin = static_cast<std::uint32_t>(dep_pool_.size());
    dep_pool_.insert(dep_pool_.end(), deps.begin(), deps.end());
  }
  record.dep_count = count;
  if (span == 0) return;

  // What `i` reaches inside the span (dependents are placed later, so one pass in order finds
  // it all); those nodes go last, the others first, each group in its order, into the span's
  // live places.
  reached[0] |= 1;
  for (std::uint32_t q = p; q <= u; ++q) {
    const NodeIndex m = order_[q];
    const std::uint32_t at = q - p;
    if (m == kNoNode || ((reached[at >> 6] >> (at & 63)) & 1) == 0) continue;
    for (const NodeIndex k : dependents(m)) {
      const std::uint32_t pk = position_[k];
      if (pk <= u) reached[(pk - p) >> 6] |= std::uint64_t{1} << ((pk - p) & 63);
    }
  }
  std::size_t out = 0;
  for (const bool later : {false, true}) {
    for (std::uint32_t q = p; q <= u; ++q) {
      const std::uint32_t at = q - p;
      if (order_[q] != kNoNode && (((reached[at >> 6] >> (at & 63)) & 1) != 0) == later) {
        moved[out++] = order_[q];
      }
    }
  }
  out = 0;
  for (std::uint32_t q = p; q <= u; ++q) {
    if (order_[q] == kNoNode) continue;
    order_[q] = moved[out++];
    position_[order_[q]] = q;
  }
}

std::vector<NodeIndex> Graph::compact() {
  const std::size_t n = records_.size();
  const std::size_t live = n - dead_;
  std::vector<NodeIndex> map(n, kNoNode);
  std::size_t bytes = 0;
  std::size_t edges = 0;
  std::size_t listed = 0;  // nodes with a dependents list
  for (std::size_t i = 0, next = 0; i < n; ++i) {
    if (records_[i].dead) continue;
    map[i] = static_cast<NodeIndex>(next++);
    const std::size_t id_end = i + 1 < n ? records_[i + 1].id_begin : id_bytes_.size();
    bytes += id_end - records_[i].id_begin;
    edges += records_[i].dep_count;
    if (i < rev_.size()) ++listed;
  }

  std::vector<NodeRecord> records;
  records.reserve(live);
  std::vector<std::uint64_t> stamps;
  stamps.reserve(live);
  std::vector<char> id_bytes;
  id_bytes.reserve(bytes);
  std::vector<NodeIndex> dep_pool;
  dep_pool.reserve(edges);
  std::vector<RevList> rev(listed);
  std::vector<NodeIndex> rev_pool;
  rev_pool.reserve(edges);
  std::vector<NodeIndex> order;
  std::vector<NodeIndex> position;
  if (built_) {
    order.reserve(live);
    position.resize(live);
  }
  // The new index looks its ids up in the new records.
  const auto new_id = [&](NodeIndex k) {
    const std::size_t end = k + 1 < records.size() ? records[k + 1].id_begin : id_bytes.size();
    return std::string_view(id_bytes.data() + records[k].id_begin,
                            end - records[k].id_begin - records[k].id_padding);
  };
  IdIndex index(index_.key());
  index.reserve(live, new_id);

  for (std::size_t i = 0; i < n; ++i) {
    if (records_[i].dead) continue;
    const auto self = static_cast<NodeIndex>(i);
    NodeRecord record = records_[i];
    const std::size_t id_end = i + 1 < n ? records_[i + 1].id_begin : id_bytes_.size();
    record.id_begin = static_cast<std::uint32_t>(id_bytes.size());
    id_bytes.insert(id_bytes.end(), id_bytes_.begin() + records_[i].id_begin,
                    id_bytes_.begin() + static_cast<std::ptrdiff_t>(id_end));
    record.deps_begin = static_cast<std::uint32_t>(dep_pool.size());
    for (const NodeIndex d : deps_span(self)) dep_pool.push_back(map[d]);
    record.rev_header = false;
    if (i < rev_.size()) {
      RevList& list = rev[map[i]];
      list.begin = static_cast<std::uint32_t>(rev_pool.size());
      list.count = rev_[i].count;
      for (const NodeIndex k : dependents(self)) rev_pool.push_back(map[k]);
    }
    records.push_back(record);
    stamps.push_back(stamps_[i]);
  }
  if (built_) {
    for (const NodeIndex i : order_) {
      if (i == kNoNode) continue;
      position[map[i]] = static_cast<NodeIndex>(order.size());
      order.push_back(map[i]);
    }
  }
  for (std::size_t k = 0; k < records.size(); ++k) {
    index.insert(new_id(static_cast<NodeIndex>(k)), static_cast<NodeIndex>(k));
  }

  records_.swap(records);
  stamps_.swap(stamps);
  id_bytes_.swap(id_bytes);
  dep_pool_.swap(dep_pool);
  dep_garbage_ = 0;
  rev_.swap(rev);
  rev_pool_.swap(rev_pool);
  rev_garbage_ = 0;
  order_.swap(order);
  position_.swap(position);
  index_ = std::move(index);
  last_found_ = IdIndex::kNotFound;
  dead_ = 0;
  return map;
}

// ---- memo by index -----------------------------------------------------------------------------

void Graph::commit(NodeIndex i, std::uint64_t signature) noexcept {
  ++clock_;  // unsigned: wraps from 2^64 - 1 to 0
  record_clean(i, signature);
  epoch_ref(i) = clock_;
}

void Graph::commit_changed_input(NodeIndex i) noexcept {
  ++clock_;
  record_clean(i, clock_);
  content_hash_ref(i) = clock_;
  records_[i].has_content_hash = true;
}

void Graph::commit_unchanged_input(NodeIndex i) noexcept {
  record_clean(i, content_hash_of(i));
}

}  // namespace tavik
