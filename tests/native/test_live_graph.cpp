// Live graphs: the index-level operations an engine walks the kernel with, against a plain
// model that applies their rules literally, and what a failed allocation inside each leaves.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_hook.hpp"
#include "check.hpp"
#include "core/graph.hpp"
#include "core/id_index.hpp"
#include "graph_access.hpp"
#include "graph_snapshot.hpp"

using tavik::Graph;
using tavik::kNoNode;
using tavik::NodeIndex;
using tavik::NodeKind;
using tavik::NodeState;

namespace {

using List = std::vector<NodeIndex>;

List list(std::span<const NodeIndex> s) {
  return {s.begin(), s.end()};
}

List sorted(std::span<const NodeIndex> s) {
  List out(s.begin(), s.end());
  std::sort(out.begin(), out.end());
  return out;
}

List order_of(const Graph& g) {
  List out;
  for (std::uint32_t p = 0; p < g.order_size(); ++p) out.push_back(g.at(p));
  return out;
}

// "<prefix><k>". (Built without `"n" + ...`, which sets off a false -Wrestrict in GCC 12 at -O3.)
std::string name(char prefix, std::size_t k) {
  std::string id = std::to_string(k);
  id.insert(0, 1, prefix);
  return id;
}

// Appends `id` with `deps`, which must succeed.
NodeIndex add(Graph& g, std::string_view id, List deps = {}, NodeKind kind = NodeKind::Reactive) {
  auto r = g.append_node(id, kind, deps);
  if (!r.ok()) std::abort();
  return *r;
}

// ---- the model ---------------------------------------------------------------------------------

struct ModelNode {
  std::string id;
  NodeKind kind;
  List deps;
  bool dead = false;
  NodeState state = NodeState::Dirty;
  bool has_signature = false;
  std::uint64_t signature = 0;
  bool has_content_hash = false;
  std::uint64_t content_hash = 0;
  std::uint64_t epoch = 0;
};

// The graph as plain lists, each rule applied as stated, with no regard for cost.
struct Model {
  std::vector<ModelNode> nodes;
  List order;  // kNoNode for a hole
  std::uint64_t clock = 0;

  std::vector<std::size_t> places() const {
    std::vector<std::size_t> at(nodes.size(), SIZE_MAX);
    for (std::size_t q = 0; q < order.size(); ++q) {
      if (order[q] != kNoNode) at[order[q]] = q;
    }
    return at;
  }
  std::vector<List> dependents() const {
    std::vector<List> out(nodes.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      for (const NodeIndex d : nodes[k].deps) out[d].push_back(static_cast<NodeIndex>(k));
    }
    return out;
  }
  std::optional<NodeIndex> find(std::string_view id) const {
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!nodes[i].dead && nodes[i].id == id) return static_cast<NodeIndex>(i);
    }
    return std::nullopt;
  }

  void append(std::string id, NodeKind kind, List deps) {
    order.push_back(static_cast<NodeIndex>(nodes.size()));
    nodes.push_back({std::move(id), kind, std::move(deps)});
  }
  void undo() {
    nodes.pop_back();
    order.pop_back();
  }
  void remove(NodeIndex i) {
    nodes[i].dead = true;
    nodes[i].deps.clear();
    std::replace(order.begin(), order.end(), i, kNoNode);
  }

  // A stack seeded with the deps in reverse order; a popped node pushes its deps in reverse
  // order; a node's parent is whoever pushed it first; only nodes placed after `i` are searched.
  // Here the search ends when `i` is popped.
  List cycle(NodeIndex i, const List& deps) const {
    const auto at = places();
    std::map<NodeIndex, NodeIndex> parent;
    std::set<NodeIndex> expanded;
    List stack;
    const auto push = [&](NodeIndex k, NodeIndex from) {
      if (k != i && at[k] <= at[i]) return;
      parent.emplace(k, from);
      stack.push_back(k);
    };
    for (auto d = deps.rbegin(); d != deps.rend(); ++d) push(*d, i);
    while (!stack.empty()) {
      const NodeIndex m = stack.back();
      stack.pop_back();
      if (m == i) {
        List path{i};
        for (NodeIndex k = parent.at(i); k != i; k = parent.at(k)) path.push_back(k);
        path.push_back(i);
        std::reverse(path.begin(), path.end());
        return path;
      }
      if (!expanded.insert(m).second) continue;
      const List& ds = nodes[m].deps;
      for (auto d = ds.rbegin(); d != ds.rend(); ++d) push(*d, m);
    }
    return {};
  }

  // With p the place of `i` and u the last place of its new deps: if u > p, the live nodes of
  // places p..u are rewritten, in those places, as the ones `i` does not reach through
  // dependents, then the ones it does, each group in its order.
  void replace(NodeIndex i, List deps) {
    nodes[i].deps = std::move(deps);
    const auto at = places();
    const std::size_t p = at[i];
    std::size_t u = 0;
    for (const NodeIndex d : nodes[i].deps) u = std::max(u, at[d]);
    if (nodes[i].deps.empty() || u < p) return;
    const auto users = dependents();
    std::set<NodeIndex> reached{i};
    List todo{i};
    while (!todo.empty()) {
      const NodeIndex m = todo.back();
      todo.pop_back();
      for (const NodeIndex k : users[m]) {
        if (reached.insert(k).second) todo.push_back(k);
      }
    }
    List rewritten;
    for (const bool later : {false, true}) {
      for (std::size_t q = p; q <= u; ++q) {
        if (order[q] != kNoNode && (reached.count(order[q]) > 0) == later) {
          rewritten.push_back(order[q]);
        }
      }
    }
    std::size_t next = 0;
    for (std::size_t q = p; q <= u; ++q) {
      if (order[q] != kNoNode) order[q] = rewritten[next++];
    }
  }

  List compact() {
    List map(nodes.size(), kNoNode);
    std::vector<ModelNode> kept;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].dead) continue;
      map[i] = static_cast<NodeIndex>(kept.size());
      kept.push_back(nodes[i]);
    }
    for (ModelNode& n : kept) {
      for (NodeIndex& d : n.deps) d = map[d];
    }
    List placed;
    for (const NodeIndex i : order) {
      if (i != kNoNode) placed.push_back(map[i]);
    }
    nodes = std::move(kept);
    order = std::move(placed);
    return map;
  }

  // The smallest topological order of the live nodes, by index: repeatedly the smallest ready.
  void build() {
    std::vector<char> done(nodes.size(), 0);
    List out;
    for (bool progress = true; progress;) {
      progress = false;
      for (std::size_t i = 0; i < nodes.size() && !progress; ++i) {
        if (done[i] || nodes[i].dead) continue;
        const List& ds = nodes[i].deps;
        if (std::all_of(ds.begin(), ds.end(), [&](NodeIndex d) { return done[d] != 0; })) {
          done[i] = 1;
          out.push_back(static_cast<NodeIndex>(i));
          progress = true;
        }
      }
    }
    order = std::move(out);
  }

  void clean(NodeIndex i, std::uint64_t signature) {
    nodes[i].state = NodeState::Clean;
    nodes[i].has_signature = true;
    nodes[i].signature = signature;
  }
  void commit(NodeIndex i, std::uint64_t signature) {
    clean(i, signature);
    nodes[i].epoch = ++clock;
  }
  void commit_changed_input(NodeIndex i) {
    clean(i, ++clock);
    nodes[i].has_content_hash = true;
    nodes[i].content_hash = clock;
  }
  void commit_unchanged_input(NodeIndex i) { clean(i, nodes[i].content_hash); }
};

// Whether the graph shows exactly the model: order with its holes, positions, deps, dependents
// (as sets), ids and lookups, memo; and its own invariants. Prints the first difference.
bool same(const Graph& g, const Model& m) {
  const auto differ = [](const char* what, std::size_t i) {
    std::fprintf(stderr, "  graph and model differ: %s (node or place %zu)\n", what, i);
    return false;
  };
  if (!g.check_invariants()) return differ("invariants", 0);
  if (g.size() != m.nodes.size()) return differ("size", g.size());
  if (order_of(g) != m.order) return differ("order", 0);
  const auto at = m.places();
  const auto users = m.dependents();
  std::size_t dead = 0;
  for (std::size_t k = 0; k < m.nodes.size(); ++k) {
    const auto i = static_cast<NodeIndex>(k);
    const ModelNode& n = m.nodes[k];
    const tavik::Node v = g.node(i);
    dead += n.dead ? 1 : 0;
    if (g.alive(i) == n.dead) return differ("alive", k);
    if (v.id != n.id || g.kind(i) != n.kind) return differ("id or kind", k);
    if (list(g.deps(i)) != n.deps) return differ("deps", k);
    if (sorted(g.dependents(i)) != users[k]) return differ("dependents", k);
    if (n.dead) continue;
    if (g.position(i) != at[k]) return differ("position", k);
    const auto found = g.idx(n.id);
    if (!found.ok() || *found != i) return differ("lookup", k);
    if (g.state(i) != n.state || v.has_signature != n.has_signature ||
        (n.has_signature && v.signature != n.signature) ||
        v.has_content_hash != n.has_content_hash || v.content_hash != n.content_hash ||
        v.epoch != n.epoch) {
      return differ("memo", k);
    }
    const std::uint64_t stamp = n.kind == NodeKind::Input ? n.content_hash : n.epoch;
    if (g.stamp(i) != stamp || g.holds(i, n.signature) != n.has_signature) {
      return differ("stamp", k);
    }
  }
  for (std::size_t k = 0; k < m.nodes.size(); ++k) {
    if (m.nodes[k].dead && g.contains(m.nodes[k].id) != m.find(m.nodes[k].id).has_value()) {
      return differ("removed id", k);
    }
  }
  if (g.dead() != dead) return differ("dead count", dead);
  return g.clock() == m.clock || differ("clock", 0);
}

// ---- randomized: the kernel against the model --------------------------------------------------

void run_random(std::uint64_t seed, std::size_t steps) {
  std::mt19937_64 rng(seed);
  const auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  Graph g(tavik::SipKey{seed, ~seed});
  Model m;
  std::size_t next_id = 0;
  bool undoable = false;

  const auto live = [&] {
    List out;
    for (std::size_t i = 0; i < m.nodes.size(); ++i) {
      if (!m.nodes[i].dead) out.push_back(static_cast<NodeIndex>(i));
    }
    return out;
  };
  // Up to `most` distinct live nodes other than `not_this`, in random order; from among those
  // placed after `after` when it is given.
  const auto pick = [&](std::size_t most, NodeIndex not_this, std::optional<NodeIndex> after) {
    List pool = live();
    if (after) {
      const auto at = m.places();
      std::erase_if(pool, [&](NodeIndex k) { return at[k] <= at[*after]; });
    }
    std::erase(pool, not_this);
    std::shuffle(pool.begin(), pool.end(), rng);
    pool.resize(std::min(pool.size(), below(most + 1)));
    return pool;
  };

  for (std::size_t step = 0; step < steps; ++step) {
    const List nodes = live();
    const std::size_t roll = below(100);
    const bool was_undoable = undoable;
    undoable = false;
    if (roll < 30 || nodes.empty()) {
      const bool duplicate = !nodes.empty() && below(20) == 0;
      const std::string id =
          duplicate ? m.nodes[nodes[below(nodes.size())]].id : name('v', next_id++ % 997);
      const List deps = pick(4, kNoNode, std::nullopt);
      const auto kind = static_cast<NodeKind>(below(4));
      auto r = g.append_node(id, kind, deps);
      if (m.find(id)) {
        CHECK(!r.ok() && r.error().code == tavik::ErrorCode::DuplicateNode);
      } else {
        CHECK(r.ok() && *r == m.nodes.size());
        m.append(id, kind, deps);
        undoable = true;
      }
    } else if (roll < 35) {
      if (was_undoable) {
        g.undo_append();
        m.undo();
      }
    } else if (roll < 60) {
      const NodeIndex i = nodes[below(nodes.size())];
      const List deps = pick(4, i, below(2) == 0 ? std::optional(i) : std::nullopt);
      const List cycle = g.cycle_through(i, deps);
      CHECK(cycle == m.cycle(i, deps));
      if (cycle.empty()) {
        g.replace_deps(i, deps);
        m.replace(i, deps);
      }
    } else if (roll < 75) {
      const auto users = m.dependents();
      List leaves;
      for (const NodeIndex i : nodes) {
        if (users[i].empty()) leaves.push_back(i);
      }
      const NodeIndex i = leaves[below(leaves.size())];
      g.remove_node(i);
      m.remove(i);
    } else if (roll < 78) {
      CHECK(g.compact() == m.compact());
    } else if (roll < 80) {
      CHECK(g.build().ok());
      m.build();
    } else {
      const NodeIndex i = nodes[below(nodes.size())];
      const std::uint64_t signature = rng() % 4;
      switch (below(5)) {
        case 0:
          g.commit(i, signature);
          m.commit(i, signature);
          break;
        case 1:
          g.skip(i, signature);
          m.clean(i, signature);
          break;
        case 2:
          g.commit_changed_input(i);
          m.commit_changed_input(i);
          break;
        case 3:
          g.commit_unchanged_input(i);
          m.commit_unchanged_input(i);
          break;
        default:
          g.set_state(i, NodeState::Computing);
          m.nodes[i].state = NodeState::Computing;
          break;
      }
    }
    if (!same(g, m)) {
      CHECK(false);
      std::fprintf(stderr, "  seed %llu, step %zu, roll %zu\n",
                   static_cast<unsigned long long>(seed), step, roll);
      return;
    }
  }
}

void test_random_against_model() {
  for (std::uint64_t seed = 1; seed <= 6; ++seed) run_random(seed, 2500);
}

// ---- the contracts, one by one -----------------------------------------------------------------

// x; c: x; b: c; a: b; top: a, x (placed in that order).
void test_cycle_examples() {
  Graph g;
  const NodeIndex x = add(g, "x");
  const NodeIndex c = add(g, "c", {x});
  const NodeIndex b = add(g, "b", {c});
  const NodeIndex a = add(g, "a", {b});
  const NodeIndex top = add(g, "top", {a, x});
  CHECK(g.cycle_through(c, List{a}) == (List{c, a, b, c}));
  CHECK(g.cycle_through(c, List{x, top}) == (List{c, top, a, b, c}));
  CHECK(g.cycle_through(b, List{x, a}) == (List{b, a, b}));
  CHECK(g.cycle_through(b, List{b}) == (List{b, b}));
  CHECK(g.cycle_through(top, List{x, c}).empty());
  CHECK(g.cycle_through(x, List{}).empty());
  // Of two ways back, the one through the first seed: the seeds are pushed in reverse order.
  CHECK(g.cycle_through(x, List{b, top}) == (List{x, b, c, x}));
  CHECK(g.cycle_through(x, List{top, b}) == (List{x, top, x}));
  // A node's parent is its first pusher: b, seeded by x, stays x's child though a pushes it too.
  CHECK(g.cycle_through(x, List{a, b}) == (List{x, b, c, x}));
}

// x0; a: x0; h; b: a; y; with h removed: replace_deps(a, [y]) moves a and b (which a reaches)
// after y, into the live places of the span; the hole stays.
void test_reorder_example() {
  Graph g;
  const NodeIndex x0 = add(g, "x0");
  const NodeIndex a = add(g, "a", {x0});
  const NodeIndex h = add(g, "h");
  const NodeIndex b = add(g, "b", {a});
  const NodeIndex y = add(g, "y");
  const NodeIndex z = add(g, "z", {b});
  g.remove_node(h);
  CHECK(order_of(g) == (List{x0, a, kNoNode, b, y, z}));
  g.replace_deps(a, List{y});
  CHECK(order_of(g) == (List{x0, y, kNoNode, a, b, z}));
  CHECK(g.position(a) == 3 && g.position(y) == 1 && g.position(z) == 5);
  CHECK(list(g.dependents(y)) == (List{a}) && g.dependents(x0).empty());
  CHECK(g.check_invariants());
  // A dependency placed before: nothing moves.
  g.replace_deps(b, List{a, x0});
  CHECK(order_of(g) == (List{x0, y, kNoNode, a, b, z}));
  CHECK(sorted(g.dependents(x0)) == (List{b}));
  CHECK(g.check_invariants());
}

// An appended node undone leaves the graph as it was: its id unknown again, and the next append
// gets the same index (and may reuse the id).
void test_undo_append() {
  Graph g(tavik::SipKey{5, 6});
  const NodeIndex s = add(g, "s", {}, NodeKind::Input);
  const NodeIndex r = add(g, "r", {s});
  const auto before = tavik_test::snapshot(g);
  const NodeIndex t = add(g, "t", {s, r});
  CHECK(sorted(g.dependents(s)) == (List{r, t}));
  CHECK(g.idx("t").ok());  // leaves the lookup hint on t
  g.undo_append();
  CHECK(tavik_test::snapshot(g) == before && g.check_invariants());
  CHECK(!g.contains("t") && g.order_size() == 2);
  CHECK(add(g, "t", {r}) == t && g.check_invariants());

  Graph one;
  add(one, "only");
  one.undo_append();
  CHECK(one.size() == 0 && one.order_size() == 0 && !one.contains("only"));
  CHECK(add(one, "again") == 0 && one.check_invariants());
}

// compact() renumbers the live nodes in index order and maps the dead ones to kNoNode, keeping
// ids, kinds, memo, the order and each dependents list's order.
void test_compact_map() {
  Graph g(tavik::SipKey{8, 9});
  const NodeIndex i0 = add(g, "i0", {}, NodeKind::Input);
  const NodeIndex gone = add(g, "gone", {i0});
  const NodeIndex r = add(g, "r", {i0});
  const NodeIndex v = add(g, "v", {r, i0}, NodeKind::View);
  const NodeIndex w = add(g, "w", {i0});
  g.commit_changed_input(i0);
  g.commit(r, 42);
  g.remove_node(gone);
  g.replace_deps(r, List{w, i0});  // r moves after w
  const List order = order_of(g);
  CHECK(order == (List{i0, kNoNode, w, r, v}));
  const List dependents_of_i0 = list(g.dependents(i0));

  const List map = g.compact();
  CHECK(map == (List{0, kNoNode, 1, 2, 3}));
  CHECK(g.size() == 4 && g.dead() == 0 && g.check_invariants());
  CHECK(order_of(g) == (List{map[i0], map[w], map[r], map[v]}));
  List mapped;
  for (const NodeIndex k : dependents_of_i0) mapped.push_back(map[k]);
  CHECK(list(g.dependents(map[i0])) == mapped);
  CHECK(list(g.deps(map[r])) == (List{map[w], map[i0]}));
  CHECK(g.idx("v").value() == map[v] && g.idx("w").value() == map[w] && !g.contains("gone"));
  CHECK(g.node(map[r]).epoch == 2 && g.holds(map[r], 42) && g.stamp(map[i0]) == 1);
  CHECK(g.kind(map[v]) == NodeKind::View && g.id_of(map[i0]) == "i0");
  // The removed id can come back, as a new node.
  CHECK(add(g, "gone", {map[v]}) == 4 && g.check_invariants());
}

// Removing a node takes it out of its dependencies' lists, the index and the order; the same id
// may then be appended as a new node, and build() leaves the dead slot out of the order.
void test_remove_and_build() {
  Graph g;
  const NodeIndex a = add(g, "a");
  const NodeIndex b = add(g, "b", {a});
  const NodeIndex c = add(g, "c", {a});
  g.remove_node(b);
  CHECK(!g.alive(b) && g.alive(c) && g.dead() == 1 && g.deps(b).empty());
  CHECK(list(g.dependents(a)) == (List{c}) && !g.contains("b"));
  const NodeIndex b2 = add(g, "b", {c});
  CHECK(b2 == 3 && g.idx("b").value() == b2 && g.check_invariants());
  const std::string_view seeds[] = {"a"};
  auto reached = g.dirty_subgraph(seeds);
  CHECK(reached.ok() && *reached == (List{a, c, b2}));
  auto dirty = g.dirty_nodes();
  CHECK(dirty.ok() && *dirty == (List{a, c, b2}));
  CHECK(g.build().ok() && order_of(g) == (List{a, c, b2}) && g.check_invariants());
}

// Memo by index: commit stamps with the clock; a changed input takes the clock as its content
// hash and signature; an unchanged one keeps its content hash as signature.
void test_memo_by_index() {
  Graph g;
  const NodeIndex in = add(g, "in", {}, NodeKind::Input);
  const NodeIndex r = add(g, "r", {in});
  g.commit_changed_input(in);
  CHECK(g.clock() == 1 && g.stamp(in) == 1 && g.holds(in, 1) && g.state(in) == NodeState::Clean);
  CHECK(g.node(in).has_content_hash && g.node(in).epoch == 0);
  g.set_state(in, NodeState::Dirty);
  g.commit_unchanged_input(in);
  CHECK(g.clock() == 1 && g.stamp(in) == 1 && g.holds(in, 1) && g.state(in) == NodeState::Clean);
  const std::uint64_t sig = g.signature_of(r);
  g.commit(r, sig);
  CHECK(g.clock() == 2 && g.stamp(r) == 2 && g.holds(r, sig) && !g.holds(r, sig + 1));
  g.set_state(r, NodeState::Dirty);
  g.skip(r, 9);
  CHECK(g.stamp(r) == 2 && g.holds(r, 9) && g.state(r) == NodeState::Clean);
  auto check = g.check_node("r");
  CHECK(check.ok() && check->needs_recompute && check->signature == sig);
}

// Dependents lists that grow past their room and shrink again, round after round: each stays the
// transposed deps, and the blocks stay within a constant factor of the edges (the garbage is
// reclaimed, and a list that shrank gives up its room).
void test_dependents_lists_grow_and_shrink() {
  Graph g(tavik::SipKey{1, 1});
  const NodeIndex hub = add(g, "hub");
  const NodeIndex other = add(g, "other");
  List users;
  for (std::size_t round = 0; round < 40; ++round) {
    for (std::size_t k = 0; k < 100; ++k)
      users.push_back(add(g, name('u', round * 1000 + k), {hub}));
    for (std::size_t k = 0; k < users.size(); k += 2) g.replace_deps(users[k], List{other, hub});
    for (std::size_t k = 0; k < users.size(); ++k) {
      if (k % 3 != 0) g.remove_node(users[k]);
    }
    std::erase_if(users, [&](NodeIndex u) { return !g.alive(u); });
    CHECK(g.check_invariants());
    std::size_t edges = 0;
    for (NodeIndex i = 0; i < g.size(); ++i) edges += g.deps(i).size();
    const std::size_t live = g.size() - g.dead();
    CHECK(tavik::GraphTestAccess::rev_slots(g) <= 2 * (4 * edges + live) + 64);
  }
  CHECK(g.compact().size() > 0 && g.check_invariants());
}

// ---- the id index's erase ----------------------------------------------------------------------

// Ids whose home slot in a 16-slot table is 14, 15 or 0, so that their probe sequences run over
// the table's end; erasing any one of them leaves every other findable.
void test_index_erase_wraps() {
  const tavik::SipKey key{11, 13};
  tavik::IdIndex probe(key);
  std::vector<std::string> ids;
  std::vector<std::size_t> homes;
  for (std::size_t k = 0; ids.size() < 6; ++k) {
    std::string id = name('w', k);
    const std::size_t home = probe.hash(id) & 15;
    const std::size_t want[] = {14, 15, 14, 0, 15, 0};
    if (home == want[ids.size()]) {
      ids.push_back(std::move(id));
      homes.push_back(home);
    }
  }
  const auto key_of = [&](std::uint32_t n) { return std::string_view(ids[n]); };
  for (std::size_t erased = 0; erased < ids.size(); ++erased) {
    tavik::IdIndex index(key);
    index.reserve(ids.size(), key_of);
    CHECK(index.capacity() == 16);
    for (std::uint32_t n = 0; n < ids.size(); ++n) index.insert(ids[n], n);
    const std::size_t allocations = tavik_test::alloc::count();
    index.erase(ids[erased], static_cast<std::uint32_t>(erased), key_of);
    CHECK(tavik_test::alloc::count() == allocations);
    CHECK(index.size() == ids.size() - 1);
    CHECK(index.find(ids[erased], key_of) == tavik::IdIndex::kNotFound);
    for (std::uint32_t n = 0; n < ids.size(); ++n) {
      if (n != erased) CHECK(index.find(ids[n], key_of) == n);
    }
    // Erasing an absent id changes nothing.
    index.erase("absent", 99, key_of);
    CHECK(index.size() == ids.size() - 1);
  }
}

// Random inserts and erases against a set, at the table's full load.
void test_index_erase_random() {
  const tavik::SipKey key{17, 19};
  std::vector<std::string> ids;
  for (int k = 0; k < 112; ++k) ids.push_back(name('r', static_cast<std::size_t>(k)));
  const auto key_of = [&](std::uint32_t n) { return std::string_view(ids[n]); };
  tavik::IdIndex index(key);
  index.reserve(ids.size(), key_of);
  std::set<std::uint32_t> present;
  std::mt19937 rng(7);
  bool all = true;
  for (int step = 0; step < 20000; ++step) {
    const auto n = static_cast<std::uint32_t>(rng() % ids.size());
    if (present.count(n)) {
      index.erase(ids[n], n, key_of);
      present.erase(n);
    } else {
      index.insert(ids[n], n);
      present.insert(n);
    }
    for (std::uint32_t k = 0; k < ids.size(); ++k) {
      const std::uint32_t want = present.count(k) ? k : tavik::IdIndex::kNotFound;
      all = all && index.find(ids[k], key_of) == want;
    }
  }
  CHECK(all && index.size() == present.size());
}

// ---- allocation failure ------------------------------------------------------------------------
//
// Each live operation, with its Nth allocation failing for every N it reaches: std::bad_alloc,
// and the graph exactly as it was; then the same operation gives what it gives untouched.

// A live graph of `n` (0, or more than 8) nodes besides a few loose ones, grown by append_node
// and edited so that it has a hole, a dead slot, dependents lists with spare room and garbage in
// both blocks; the last node appended ("last", n + 3) can be undone.
Graph make_live(std::size_t n) {
  Graph g(tavik::SipKey{7, 11});
  if (n == 0) return g;
  add(g, "loose", {});       // 0: nothing depends on it
  add(g, "pair", {});        // 1
  add(g, "pair user", {1});  // 2: only it depends on pair
  for (std::size_t i = 3; i < n + 3; ++i) {
    List deps;
    for (const std::size_t d : {i / 2, i - 1, i - 3}) {
      if (d >= 3 && std::find(deps.begin(), deps.end(), d) == deps.end()) {
        deps.push_back(static_cast<NodeIndex>(d));
      }
    }
    add(g, name('n', i), deps, static_cast<NodeKind>(i % 4));
  }
  for (std::size_t i = 3; i < n + 3; i += 5) {
    if (i % 4 == 0) {
      g.commit_changed_input(static_cast<NodeIndex>(i));
    } else {
      g.commit(static_cast<NodeIndex>(i), i);
    }
  }
  g.replace_deps(static_cast<NodeIndex>(n + 2), List{3, 4, 5, 6});
  g.replace_deps(static_cast<NodeIndex>(n + 1), List{4});
  g.remove_node(static_cast<NodeIndex>(n + 2));
  add(g, "last", {2});
  return g;
}

struct LiveOp {
  const char* name;
  std::function<void(Graph&)> run;
  bool on_empty = false;  // also run on the empty graph
};

std::vector<LiveOp> live_operations(std::size_t n) {
  const auto top = static_cast<NodeIndex>(n + 1);  // nothing depends on it
  const auto last = static_cast<NodeIndex>(n + 3);
  return {
      {"append_node",
       [=](Graph& g) {
         (void)g.append_node("fresh", NodeKind::View, List{0, 3, top});
       }},
      {"append_node no deps", [](Graph& g) { (void)g.append_node("bare", NodeKind::Input, {}); },
       true},
      {"append_node duplicate",
       [](Graph& g) { (void)g.append_node("loose", NodeKind::View, List{1}); }},
      {"append_node deps from the graph",
       [=](Graph& g) { (void)g.append_node("copied", NodeKind::Reactive, g.deps(top)); }},
      {"undo_append", [](Graph& g) { g.undo_append(); }},
      {"replace_deps moving one",
       [=](Graph& g) {
         g.replace_deps(0, List{top, 3});
       }},
      {"replace_deps moving two", [=](Graph& g) { g.replace_deps(1, List{top}); }},
      {"replace_deps longer",
       [=](Graph& g) {
         g.replace_deps(last, List{0, 1, 2, 3, 4, 5});
       }},
      {"replace_deps shorter", [=](Graph& g) { g.replace_deps(top, List{}); }},
      {"replace_deps from the graph", [=](Graph& g) { g.replace_deps(last, g.dependents(3)); }},
      {"remove_node", [=](Graph& g) { g.remove_node(last); }},
      {"cycle_through", [=](Graph& g) { (void)g.cycle_through(3, List{top}); }},
      {"compact", [](Graph& g) { (void)g.compact(); }, true},
      {"build", [](Graph& g) { (void)g.build(); }, true},
  };
}

void test_allocation_failure_changes_nothing() {
  for (const std::size_t n : std::initializer_list<std::size_t>{0, 9, 12, 13, 28, 29, 60, 61}) {
    for (const LiveOp& op : live_operations(n)) {
      if (n == 0 && !op.on_empty) continue;
      Graph expected_graph = make_live(n);
      op.run(expected_graph);
      const auto expected = tavik_test::snapshot(expected_graph);
      CHECK(expected_graph.check_invariants());
      for (std::size_t fail = 0;; ++fail) {
        Graph g = make_live(n);
        const auto before = tavik_test::snapshot(g);
        bool threw = false;
        {
          tavik_test::alloc::FailAt guard(fail);
          try {
            op.run(g);
          } catch (const std::bad_alloc&) {
            threw = true;
          }
        }
        if (!tavik_test::alloc::fired()) {
          CHECK(!threw && tavik_test::snapshot(g) == expected);
          break;
        }
        const bool unchanged = threw && tavik_test::snapshot(g) == before;
        CHECK(unchanged);
        CHECK(g.check_invariants());
        if (!unchanged) {
          std::fprintf(stderr, "  %s (n=%zu) changed the graph at allocation %zu\n", op.name, n,
                       fail);
        }
        op.run(g);
        CHECK(tavik_test::snapshot(g) == expected);
      }
    }
  }
}

}  // namespace

int main() {
  test_cycle_examples();
  test_reorder_example();
  test_undo_append();
  test_compact_map();
  test_remove_and_build();
  test_memo_by_index();
  test_dependents_lists_grow_and_shrink();
  test_index_erase_wraps();
  test_index_erase_random();
  test_random_against_model();
  test_allocation_failure_changes_nothing();
  return tavik_test::finish();
}
