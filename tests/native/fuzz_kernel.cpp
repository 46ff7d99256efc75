// libFuzzer harness for the graph kernel.
//
// The input bytes are decoded into a sequence of kernel operations on one graph. A plain,
// deliberately naive model of the graph runs the same sequence next to it; after every
// operation the harness checks that the kernel's invariants hold, that its answer (value or
// error, payload included) equals the model's, and that the whole graph equals the model, which
// shows at once that a failed or read-only operation changed nothing.
//
// The live operations (append_node, replace_deps after cycle_through, remove_node, compact, memo
// by index) run on built graphs against the same model, which applies their rules literally.
//
// Build: tools/fuzz.sh (clang, -fsanitize=fuzzer,address,undefined).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/graph.hpp"
#include "graph_access.hpp"

namespace {

using tavik::ErrorCode;
using tavik::Graph;
using tavik::GraphError;
using tavik::NodeIndex;
using tavik::NodeKind;
using tavik::NodeState;

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz_kernel: property violated at line %d: %s\n", line, what);
  std::abort();
}

#define REQUIRE(cond)                   \
  do {                                  \
    if (!(cond)) fail(#cond, __LINE__); \
  } while (false)

// ---- input decoding ----------------------------------------------------------------------------

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  std::uint64_t u64() {
    // Mostly values that matter (zero, one, all ones, the fold's basis), sometimes raw bytes.
    switch (byte() % 6) {
      case 0:
        return 0;
      case 1:
        return 1;
      case 2:
        return UINT64_MAX;
      case 3:
        return tavik::kSignatureBasis;
      default: {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
        return v;
      }
    }
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Ids that probe byte-exact matching: the empty id, embedded NUL, invalid UTF-8, composed and
// decomposed accents, an emoji, case and padding variants. Other bytes give "n<byte>", enough
// distinct ids to make the index grow several times.
const std::string_view kFixedIds[] = {
    "",
    "a",
    "b",
    "c",
    "d",
    "ab",
    {"a\0b", 3},
    "\xff",
    "\xc3\xa9",
    "e\xcc\x81",
    "\xf0\x9f\x98\x80",
    "A",
    " a",
    "a ",
    "input",
    "\\\"",
};
constexpr std::size_t kFixedCount = sizeof(kFixedIds) / sizeof(kFixedIds[0]);

std::string read_id(Reader& r) {
  const std::uint8_t b = r.byte();
  if (b < kFixedCount) return std::string(kFixedIds[b]);
  return "n" + std::to_string(b);
}

std::vector<std::string> read_ids(Reader& r) {
  std::vector<std::string> out(r.byte() % 9);
  for (auto& id : out) id = read_id(r);
  return out;
}

const std::string_view kKinds[] = {"input", "source", "reactive", "view",
                                   "Input", "",       "views",    {"view\0", 5}};

// ---- the model ---------------------------------------------------------------------------------

struct ModelNode {
  std::string id;
  NodeKind kind;
  std::vector<NodeIndex> deps;
  NodeState state = NodeState::Dirty;
  std::optional<std::uint64_t> signature;
  std::optional<std::uint64_t> content_hash;
  std::uint64_t epoch = 0;
  bool dead = false;  // removed by remove_node: no id in the index, no deps, no place
};

struct Expected {
  std::optional<GraphError> error;
  std::vector<NodeIndex> nodes;  // for list results
};

class Model {
 public:
  std::vector<ModelNode> nodes;
  std::vector<NodeIndex> order;
  std::unordered_map<std::string, NodeIndex> index;
  std::uint64_t clock = 0;
  bool built = false;

  std::optional<NodeIndex> find(std::string_view id) const {
    const auto it = index.find(std::string(id));
    if (it == index.end()) return std::nullopt;
    return it->second;
  }

  std::optional<GraphError> add_node(std::string_view id, std::string_view kind) {
    if (find(id)) return GraphError::duplicate_node(std::string(id));
    const std::optional<NodeKind> k = tavik::parse_kind(kind);
    if (!k) return GraphError::invalid_kind(std::string(kind));
    index.emplace(std::string(id), static_cast<NodeIndex>(nodes.size()));
    nodes.push_back({std::string(id), *k, {}, NodeState::Dirty, {}, {}, 0});
    built = false;
    return std::nullopt;
  }

  std::optional<GraphError> set_deps(std::string_view id, const std::vector<std::string>& deps) {
    const auto self = find(id);
    if (!self) return GraphError::unknown_node(std::string(id));
    std::vector<NodeIndex> list;
    for (const auto& dep : deps) {
      if (dep == id) return GraphError::self_dependency(std::string(id));
      const auto d = find(dep);
      if (!d) return GraphError::unknown_node(dep);
      if (std::find(list.begin(), list.end(), *d) == list.end()) list.push_back(*d);
    }
    nodes[*self].deps = list;
    built = false;
    return std::nullopt;
  }

  // Repeatedly emit the smallest ready node: quadratic, and obviously right.
  std::optional<GraphError> build() {
    const std::size_t n = nodes.size();
    std::vector<char> emitted(n, 0);
    std::vector<std::size_t> waiting(n);  // deps not emitted yet
    std::vector<std::vector<NodeIndex>> users(n);
    for (std::size_t i = 0; i < n; ++i) {
      waiting[i] = nodes[i].deps.size();
      for (const NodeIndex d : nodes[i].deps) users[d].push_back(static_cast<NodeIndex>(i));
    }
    std::vector<NodeIndex> out;
    std::size_t live = 0;
    for (std::size_t i = 0; i < n; ++i) {
      emitted[i] = nodes[i].dead ? 1 : 0;  // dead slots have no place
      if (!nodes[i].dead) ++live;
    }
    for (bool progress = true; progress;) {
      progress = false;
      for (std::size_t i = 0; i < n; ++i) {
        if (emitted[i] || waiting[i] != 0) continue;
        emitted[i] = 1;
        out.push_back(static_cast<NodeIndex>(i));
        for (const NodeIndex u : users[i]) --waiting[u];
        progress = true;
        break;
      }
    }
    if (out.size() < live) {
      std::vector<std::string> blocked;
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (!emitted[i]) blocked.push_back(nodes[i].id);
      }
      return GraphError::cycle(std::move(blocked));
    }
    order = std::move(out);
    built = true;
    return std::nullopt;
  }

  // The seeds and everything downstream of them, in cached order: one pass suffices because
  // every node comes after its dependencies.
  Expected schedule(const std::vector<std::string>& seeds) const {
    if (!built) return {GraphError::not_built(), {}};
    std::vector<bool> in(nodes.size(), false);
    for (const auto& s : seeds) {
      const auto i = find(s);
      if (!i) return {GraphError::unknown_node(s), {}};
      in[*i] = true;
    }
    Expected e;
    for (const NodeIndex i : order) {
      if (i == tavik::kNoNode) continue;
      for (const NodeIndex d : nodes[i].deps) in[i] = in[i] || in[d];
      if (in[i]) e.nodes.push_back(i);
    }
    return e;
  }

  std::uint64_t signature_of(NodeIndex i) const {
    std::uint64_t h = tavik::kSignatureBasis;
    for (const NodeIndex d : nodes[i].deps) {
      const ModelNode& dep = nodes[d];
      const std::uint64_t v =
          dep.kind == NodeKind::Input ? dep.content_hash.value_or(0) : dep.epoch;
      h = (h ^ v) * tavik::kSignaturePrime;
    }
    return h;
  }

  // ---- the live operations, their rules applied literally

  std::size_t place(NodeIndex i) const {
    return static_cast<std::size_t>(std::find(order.begin(), order.end(), i) - order.begin());
  }
  bool depends(NodeIndex k, NodeIndex d) const {
    const auto& ds = nodes[k].deps;
    return std::find(ds.begin(), ds.end(), d) != ds.end();
  }
  // What `from` reaches along dependents, itself included: one pass over the order after it.
  std::vector<char> reached_from(NodeIndex from) const {
    std::vector<char> reached(nodes.size(), 0);
    reached[from] = 1;
    for (std::size_t q = place(from) + 1; q < order.size(); ++q) {
      const NodeIndex k = order[q];
      if (k == tavik::kNoNode) continue;
      for (const NodeIndex d : nodes[k].deps) reached[k] = reached[k] || reached[d];
    }
    return reached;
  }
  // The live nodes of places p..u (p of `i`, u the last of its new deps) rewritten as those `i`
  // does not reach, then those it does, each group in its order.
  void replace_deps(NodeIndex i, std::vector<NodeIndex> deps) {
    nodes[i].deps = std::move(deps);
    const std::size_t p = place(i);
    std::size_t u = 0;
    for (const NodeIndex d : nodes[i].deps) u = std::max(u, place(d));
    if (nodes[i].deps.empty() || u < p) return;
    const auto reached = reached_from(i);
    std::vector<NodeIndex> live;
    for (const bool later : {false, true}) {
      for (std::size_t q = p; q <= u; ++q) {
        if (order[q] != tavik::kNoNode && (reached[order[q]] != 0) == later) {
          live.push_back(order[q]);
        }
      }
    }
    for (std::size_t q = p, next = 0; q <= u; ++q) {
      if (order[q] != tavik::kNoNode) order[q] = live[next++];
    }
  }
  void remove_node(NodeIndex i) {
    nodes[i].dead = true;
    nodes[i].deps.clear();
    index.erase(nodes[i].id);
    order[place(i)] = tavik::kNoNode;
  }
  std::vector<NodeIndex> compact() {
    std::vector<NodeIndex> map(nodes.size(), tavik::kNoNode);
    std::vector<ModelNode> kept;
    index.clear();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (nodes[i].dead) continue;
      map[i] = static_cast<NodeIndex>(kept.size());
      index.emplace(nodes[i].id, map[i]);
      kept.push_back(nodes[i]);
    }
    for (ModelNode& n : kept) {
      for (NodeIndex& d : n.deps) d = map[d];
    }
    std::erase(order, tavik::kNoNode);
    for (NodeIndex& i : order) i = map[i];
    if (!built) order.clear();
    nodes = std::move(kept);
    return map;
  }
};

void require_same_error(const GraphError& got, const GraphError& want) {
  REQUIRE(got.code == want.code);
  REQUIRE(got.text == want.text);
  REQUIRE(got.ids == want.ids);
}

void require_same_header(const Graph& g, const Model& m) {
  REQUIRE(g.size() == m.nodes.size());
  REQUIRE(g.built() == m.built);
  REQUIRE(g.clock() == m.clock);
}

void require_same_node(const Graph& g, const Model& m, NodeIndex i) {
  const tavik::Node& n = g.node(i);
  const ModelNode& mn = m.nodes[i];
  REQUIRE(n.id == mn.id);
  REQUIRE(n.kind == mn.kind);
  REQUIRE(n.state == mn.state);
  const auto deps = n.dep_span();
  REQUIRE(std::equal(deps.begin(), deps.end(), mn.deps.begin(), mn.deps.end()));
  REQUIRE(n.has_signature == mn.signature.has_value());
  REQUIRE(!n.has_signature || n.signature == *mn.signature);
  REQUIRE(n.has_content_hash == mn.content_hash.has_value());
  REQUIRE(!n.has_content_hash || n.content_hash == *mn.content_hash);
  REQUIRE(n.epoch == mn.epoch);
  REQUIRE(g.alive(i) == !mn.dead);
}

// Every field equals the model's.
void require_same_graph(const Graph& g, const Model& m) {
  require_same_header(g, m);
  for (std::size_t i = 0; i < m.nodes.size(); ++i)
    require_same_node(g, m, static_cast<NodeIndex>(i));
  if (m.built) {
    const auto order = g.topo_order();
    REQUIRE(order.ok());
    REQUIRE(std::equal(order->begin(), order->end(), m.order.begin(), m.order.end()));
  }
}

// A list result must match the model and be in topological order (strictly rising positions).
void require_list(const Graph& g, tavik::Result<std::vector<NodeIndex>>& got,
                  const Expected& want) {
  if (want.error) {
    REQUIRE(!got.ok());
    require_same_error(got.error(), *want.error);
    return;
  }
  REQUIRE(got.ok());
  REQUIRE(*got == want.nodes);
  const auto order = g.topo_order();
  REQUIRE(order.ok());
  std::vector<std::size_t> position(g.size());
  for (std::size_t k = 0; k < order->size(); ++k) {
    if ((*order)[k] != tavik::kNoNode) position[(*order)[k]] = k;
  }
  for (std::size_t k = 1; k < got->size(); ++k) {
    REQUIRE(position[(*got)[k - 1]] < position[(*got)[k]]);
  }
}

void require_status(const tavik::Status& got, const std::optional<GraphError>& want) {
  REQUIRE(got.ok() == !want.has_value());
  if (want) require_same_error(got.error(), *want);
}

std::vector<std::string_view> views_of(const std::vector<std::string>& ids) {
  return {ids.begin(), ids.end()};
}

// The memo operations, which validate only the id.
enum class Memo { SetDirty, SetComputing, SetClean, SkipNode, CommitInput, CommitNode };

tavik::Status run_memo(Graph& g, Memo op, std::string_view id, std::uint64_t v) {
  switch (op) {
    case Memo::SetDirty:
      return g.set_dirty(id);
    case Memo::SetComputing:
      return g.set_computing(id);
    case Memo::SetClean:
      return g.set_clean(id, v);
    case Memo::SkipNode:
      return g.skip_node(id, v);
    case Memo::CommitInput:
      return g.commit_input(id, v);
    case Memo::CommitNode:
      return g.commit_node(id, v);
  }
  return {};
}

void model_memo(Model& m, Memo op, NodeIndex i, std::uint64_t v) {
  ModelNode& n = m.nodes[i];
  switch (op) {
    case Memo::SetDirty:
      n.state = NodeState::Dirty;
      return;
    case Memo::SetComputing:
      n.state = NodeState::Computing;
      return;
    case Memo::CommitInput:
      n.content_hash = v;
      [[fallthrough]];
    case Memo::SetClean:
    case Memo::SkipNode:
      n.state = NodeState::Clean;
      n.signature = v;
      return;
    case Memo::CommitNode:
      n.state = NodeState::Clean;
      n.signature = v;
      n.epoch = ++m.clock;
      return;
  }
}

// Runs one decoded operation on both the graph and the model and compares the outcomes.
//
// What is compared afterwards: the queries are const member functions, so only their answers.
// A write that succeeded changes one node at most (the model says which), so that node and the
// graph's counters are compared. Everything else (a failed write, which must have changed
// nothing, build, mark_dirty, any write to a small graph) is compared field by field. The
// invariants (O(n + e), the fuzzer's main cost) are checked after every build, after writes to
// graphs of up to 64 nodes, and at the end of every input.
void step(Reader& r, Graph& g, Model& m) {
  std::optional<NodeIndex> touched;
  bool full = false;
  bool invariants = false;
  const auto after = [&](const auto& status, std::string_view id) {
    if (!status.ok()) {
      full = true;
    } else {
      touched = m.find(id);
    }
  };
  // The live operations need a built (or empty) graph; their ids resolve through the model.
  const bool live = m.built || m.nodes.empty();
  const auto resolve = [&](const std::vector<std::string>& ids, std::optional<NodeIndex> skip) {
    std::vector<NodeIndex> out;
    for (const auto& id : ids) {
      const auto d = m.find(id);
      if (d && d != skip && std::find(out.begin(), out.end(), *d) == out.end()) out.push_back(*d);
    }
    return out;
  };
  const std::uint8_t op = r.byte() % 25;
  switch (op) {
    case 0:
    case 1: {  // add_node, twice as likely: most interesting inputs need nodes
      const std::string id = read_id(r);
      const std::string_view kind = kKinds[r.byte() % 8];
      const auto want = m.add_node(id, kind);
      const auto got = g.add_node(id, kind);
      require_status(got, want);
      after(got, id);
      if (got.ok()) REQUIRE(g.contains(id) && *g.idx(id) == *touched);
      break;
    }
    case 2: {
      const std::string id = read_id(r);
      const auto deps = read_ids(r);
      const auto views = views_of(deps);
      const auto want = m.set_deps(id, deps);
      const auto got = g.set_deps(id, views);
      require_status(got, want);
      after(got, id);
      break;
    }
    case 3: {
      const auto want = m.build();
      const auto got = g.build();
      require_status(got, want);
      if (!got.ok()) REQUIRE(!got.error().ids.empty());
      full = true;
      invariants = true;
      break;
    }
    case 4: {
      auto got = g.topo_order();
      if (!m.built) {
        REQUIRE(!got.ok() && got.error().code == ErrorCode::NotBuilt);
      } else {
        REQUIRE(got.ok() && std::equal(got->begin(), got->end(), m.order.begin(), m.order.end()));
      }
      break;
    }
    case 5: {
      auto got = g.views();
      Expected want;
      if (!m.built) {
        want.error = GraphError::not_built();
      } else {
        for (const NodeIndex i : m.order) {
          if (i != tavik::kNoNode && m.nodes[i].kind == NodeKind::View) want.nodes.push_back(i);
        }
      }
      require_list(g, got, want);
      break;
    }
    case 6: {
      const auto seeds = read_ids(r);
      auto got = g.dirty_subgraph(views_of(seeds));
      require_list(g, got, m.schedule(seeds));
      break;
    }
    case 7: {
      const auto seeds = read_ids(r);
      const Expected want = m.schedule(seeds);
      auto got = g.mark_dirty(views_of(seeds));
      require_list(g, got, want);
      if (!want.error) {
        for (const NodeIndex i : want.nodes) m.nodes[i].state = NodeState::Dirty;
      }
      full = true;
      break;
    }
    case 8: {
      const std::string id = read_id(r);
      Expected want;
      if (!m.built) {
        want.error = GraphError::not_built();
      } else if (const auto i = m.find(id); !i) {
        want.error = GraphError::unknown_node(id);
      } else {
        want = m.schedule({id});
        REQUIRE(!want.nodes.empty());
        want.nodes.erase(std::find(want.nodes.begin(), want.nodes.end(), *i));
      }
      auto got = g.downstream(id);
      require_list(g, got, want);
      break;
    }
    case 9: {
      auto got = g.dirty_nodes();
      Expected want;
      if (!m.built) {
        want.error = GraphError::not_built();
      } else {
        for (const NodeIndex i : m.order) {
          if (i != tavik::kNoNode && m.nodes[i].state == NodeState::Dirty) want.nodes.push_back(i);
        }
      }
      require_list(g, got, want);
      break;
    }
    case 10:
    case 11:
    case 12: {  // memo writes
      const auto memo = static_cast<Memo>(r.byte() % 6);
      const std::string id = read_id(r);
      const std::uint64_t v = r.u64();
      const auto i = m.find(id);
      const auto got = run_memo(g, memo, id, v);
      require_status(got, i ? std::nullopt : std::optional(GraphError::unknown_node(id)));
      if (i) model_memo(m, memo, *i, v);
      after(got, id);
      break;
    }
    case 13: {  // the engine's loop: check, then commit or skip with the signature given
      const std::string id = read_id(r);
      const bool commit = r.byte() & 1;
      const auto i = m.find(id);
      auto check = g.check_node(id);
      if (!i) {
        REQUIRE(!check.ok());
        require_same_error(check.error(), GraphError::unknown_node(id));
        break;
      }
      REQUIRE(check.ok());
      const std::uint64_t h = m.signature_of(*i);
      const ModelNode& n = m.nodes[*i];
      REQUIRE(check->kind == n.kind && check->signature == h);
      REQUIRE(check->needs_recompute == !(n.signature && *n.signature == h));
      const Memo memo = commit ? Memo::CommitNode : Memo::SkipNode;
      REQUIRE(run_memo(g, memo, id, h).ok());
      model_memo(m, memo, *i, h);
      auto again = g.check_node(id);
      REQUIRE(again.ok() && !again->needs_recompute);
      touched = i;
      break;
    }
    case 14: {
      const std::string id = read_id(r);
      const std::uint64_t v = r.u64();
      const auto i = m.find(id);
      auto got = g.needs_recompute(id, v);
      if (!i) {
        REQUIRE(!got.ok());
        require_same_error(got.error(), GraphError::unknown_node(id));
      } else {
        const auto& sig = m.nodes[*i].signature;
        REQUIRE(got.ok() && *got == !(sig && *sig == v));
      }
      break;
    }
    case 15: {
      const std::string id = read_id(r);
      const auto i = m.find(id);
      auto kind = g.kind_of(id);
      auto state = g.state_of(id);
      auto deps = g.deps_of(id);
      auto index = g.idx(id);
      REQUIRE(g.contains(id) == i.has_value());
      if (!i) {
        const GraphError unknown = GraphError::unknown_node(id);
        REQUIRE(!kind.ok() && !state.ok() && !deps.ok() && !index.ok());
        require_same_error(kind.error(), unknown);
        require_same_error(state.error(), unknown);
        require_same_error(deps.error(), unknown);
        require_same_error(index.error(), unknown);
      } else {
        const ModelNode& n = m.nodes[*i];
        REQUIRE(kind.ok() && *kind == n.kind);
        REQUIRE(state.ok() && *state == n.state);
        REQUIRE(deps.ok() && std::equal(deps->begin(), deps->end(), n.deps.begin(), n.deps.end()));
        REQUIRE(index.ok() && *index == *i);
      }
      break;
    }
    case 16: {
      const auto ids = read_ids(r);
      auto got = tavik::GraphTestAccess::resolve_seeds(g, views_of(ids));
      std::vector<NodeIndex> want;
      std::optional<GraphError> error;
      for (const auto& id : ids) {
        const auto i = m.find(id);
        if (!i) {
          error = GraphError::unknown_node(id);
          break;
        }
        want.push_back(*i);
      }
      REQUIRE(got.ok() == !error.has_value());
      if (error) {
        require_same_error(got.error(), *error);
      } else {
        REQUIRE(*got == want);
      }
      break;
    }
    case 20: {
      if (!live) break;
      const std::string id = read_id(r);
      const auto kind = static_cast<NodeKind>(r.byte() % 4);
      const auto deps = resolve(read_ids(r), std::nullopt);
      auto got = g.append_node(id, kind, deps);
      if (m.find(id)) {
        REQUIRE(!got.ok());
        require_same_error(got.error(), GraphError::duplicate_node(id));
        break;
      }
      REQUIRE(got.ok() && *got == m.nodes.size());
      m.index.emplace(id, *got);
      m.nodes.push_back({id, kind, deps, NodeState::Dirty, {}, {}, 0, false});
      m.order.push_back(*got);
      m.built = true;
      full = true;
      break;
    }
    case 21: {  // replace_deps, unless the cycle search finds a way back
      const auto i = m.find(read_id(r));
      const auto deps = resolve(read_ids(r), i);
      if (!live || !i) break;
      const auto cycle = g.cycle_through(*i, deps);
      if (!cycle.empty()) {
        REQUIRE(cycle.size() >= 3 && cycle.front() == *i && cycle.back() == *i);
        REQUIRE(std::find(deps.begin(), deps.end(), cycle[1]) != deps.end());
        for (std::size_t k = 1; k + 1 < cycle.size(); ++k) {
          REQUIRE(m.depends(cycle[k], cycle[k + 1]) && m.place(cycle[k]) > m.place(*i));
        }
        break;
      }
      const auto reached = m.reached_from(*i);
      for (const NodeIndex d : deps) REQUIRE(!reached[d]);
      g.replace_deps(*i, deps);
      m.replace_deps(*i, deps);
      full = true;
      break;
    }
    case 22: {  // remove_node, of a node nothing depends on
      const auto i = m.find(read_id(r));
      if (!live || !i) break;
      bool leaf = true;
      for (std::size_t k = 0; k < m.nodes.size(); ++k) {
        leaf = leaf && !m.depends(static_cast<NodeIndex>(k), *i);
      }
      if (!leaf) break;
      g.remove_node(*i);
      m.remove_node(*i);
      full = true;
      break;
    }
    case 23: {
      REQUIRE(g.compact() == m.compact());
      full = true;
      invariants = true;
      break;
    }
    case 24: {  // memo by index
      const auto i = m.find(read_id(r));
      const std::uint8_t how = r.byte() % 4;
      const std::uint64_t v = r.u64();
      if (!i) break;
      ModelNode& n = m.nodes[*i];
      if (how == 0) {
        g.commit(*i, v);
        model_memo(m, Memo::CommitNode, *i, v);
      } else if (how == 1) {
        g.skip(*i, v);
        model_memo(m, Memo::SkipNode, *i, v);
      } else if (how == 2) {
        g.commit_changed_input(*i);
        n.content_hash = ++m.clock;
        model_memo(m, Memo::SkipNode, *i, m.clock);
      } else {
        g.commit_unchanged_input(*i);
        model_memo(m, Memo::SkipNode, *i, n.content_hash.value_or(0));
      }
      REQUIRE(g.holds(*i, *n.signature) &&
              g.stamp(*i) == (n.kind == NodeKind::Input ? n.content_hash.value_or(0) : n.epoch));
      touched = i;
      break;
    }
    default: {  // a burst of registrations, to grow the index and give builds some size
      const std::uint8_t count = r.byte() % 64;
      const std::uint8_t base = r.byte();
      for (std::uint8_t k = 0; k < count; ++k) {
        const std::string id = "n" + std::to_string(static_cast<std::uint8_t>(base + k));
        const std::string_view kind = kKinds[k % 4];
        const auto want = m.add_node(id, kind);
        require_status(g.add_node(id, kind), want);
      }
      full = true;
      invariants = true;
      break;
    }
  }

  if (invariants || ((full || touched) && g.size() <= 64)) REQUIRE(g.check_invariants());
  if (full || (touched && g.size() <= 16)) {
    require_same_graph(g, m);
  } else if (touched) {
    require_same_header(g, m);
    require_same_node(g, m, *touched);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader r(data, size);
  const std::uint8_t k = r.byte();
  // The first byte picks the index key, so that the hash layout varies too.
  Graph g(tavik::SipKey{k, std::uint64_t{k} * 0x9E3779B97F4A7C15ULL});
  Model m;
  while (!r.empty()) step(r, g, m);
  REQUIRE(g.check_invariants());
  require_same_graph(g, m);
  return 0;
}
