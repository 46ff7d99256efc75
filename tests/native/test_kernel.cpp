// The kernel without Python: registry, order, schedules and the signature fold, and what a
// failed allocation inside any operation leaves behind.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_hook.hpp"
#include "check.hpp"
#include "core/graph.hpp"
#include "graph_access.hpp"
#include "graph_snapshot.hpp"

using tavik::Graph;
using tavik::NodeIndex;

namespace {

std::vector<std::string_view> ids(const Graph& g, std::span<const NodeIndex> nodes) {
  std::vector<std::string_view> out;
  for (const NodeIndex i : nodes) out.push_back(g.id_of(i));
  return out;
}

void test_order_and_schedule() {
  Graph g(tavik::SipKey{1, 2});
  for (auto [id, kind] :
       {std::pair{"s1", "source"}, {"s2", "source"}, {"r", "reactive"}, {"v", "view"}}) {
    CHECK(g.add_node(id, kind).ok());
  }
  const std::string_view r_deps[] = {"s2"};
  const std::string_view v_deps[] = {"s1"};
  CHECK(g.set_deps("r", r_deps).ok());
  CHECK(g.set_deps("v", v_deps).ok());
  CHECK(g.build().ok());
  CHECK(g.check_invariants());
  auto order = g.topo_order();
  CHECK(order.ok() && ids(g, *order) == (std::vector<std::string_view>{"s1", "s2", "r", "v"}));

  const std::string_view seeds[] = {"s2", "zz"};
  auto failed = g.mark_dirty(seeds);
  CHECK(!failed.ok() && failed.error().code == tavik::ErrorCode::UnknownNode &&
        failed.error().text == "zz");
}

void test_signature_example() {
  Graph g;
  CHECK(g.add_node("A", "input").ok());
  CHECK(g.add_node("B", "reactive").ok());
  CHECK(g.add_node("C", "reactive").ok());
  const std::string_view deps[] = {"A", "B"};
  CHECK(g.set_deps("C", deps).ok());
  CHECK(g.commit_input("A", 7).ok());
  CHECK(g.commit_node("B", 0).ok());
  CHECK(g.commit_node("B", 0).ok());  // epoch 2
  auto c = g.check_node("C");
  CHECK(c.ok() && c->needs_recompute && c->signature == 11127404022565937034ULL);
}

void test_cycle_keeps_order() {
  Graph g;
  CHECK(g.add_node("a", "source").ok());
  CHECK(g.add_node("b", "source").ok());
  CHECK(g.build().ok());
  const std::string_view a[] = {"a"};
  const std::string_view b[] = {"b"};
  CHECK(g.set_deps("a", b).ok());
  CHECK(g.set_deps("b", a).ok());
  auto status = g.build();
  CHECK(!status.ok() && status.error().code == tavik::ErrorCode::Cycle &&
        status.error().ids == (std::vector<std::string>{"a", "b"}));
  CHECK(!g.built());
  CHECK(g.check_invariants());
}

// "n<i>". (Built without `"n" + ...`, which sets off a false -Wrestrict in GCC 12 at -O3.)
std::string node_id(std::size_t i) {
  std::string id = std::to_string(i);
  id.insert(0, 1, 'n');
  return id;
}

// Two ids whose hashes under `key` agree in the tag kept in the index (the upper 32 bits) and in
// the home slot of a 16-slot table (the lowest 4 bits): a birthday search over "n<k>".
std::pair<std::string, std::string> tag_and_slot_twins(tavik::SipKey key) {
  const tavik::IdIndex index(key);
  std::vector<std::pair<std::uint64_t, std::uint32_t>> seen;  // (tag and slot, k)
  for (std::uint32_t k = 0; k < (1U << 20); ++k) {
    const std::uint64_t h = index.hash(node_id(k));
    seen.emplace_back(((h >> 32) << 4) | (h & 15), k);
  }
  std::sort(seen.begin(), seen.end());
  for (std::size_t j = 1; j < seen.size(); ++j) {
    if (seen[j].first == seen[j - 1].first) {
      return {node_id(seen[j - 1].second), node_id(seen[j].second)};
    }
  }
  std::fprintf(stderr, "no ids share tag and home slot\n");
  std::abort();
}

// The index compares the id bytes, not only the tag: the twin of a registered id is unknown to
// every lookup, and can itself be registered.
void test_tag_twin_is_unknown() {
  const tavik::SipKey key{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
  const auto twins = tag_and_slot_twins(key);
  const std::string& first = twins.first;
  const std::string& twin = twins.second;
  Graph g(key);
  CHECK(g.add_node(first, "reactive").ok());
  CHECK(g.contains(first) && !g.contains(twin));
  CHECK(g.build().ok());

  const auto unknown = [&](auto&& result) {
    return !result.ok() && result.error().code == tavik::ErrorCode::UnknownNode &&
           result.error().text == twin;
  };
  const std::string_view seeds[] = {twin};
  CHECK(unknown(g.idx(twin)));
  CHECK(unknown(g.kind_of(twin)));
  CHECK(unknown(g.state_of(twin)));
  CHECK(unknown(g.deps_of(twin)));
  CHECK(unknown(g.set_deps(twin, {})));
  CHECK(unknown(g.set_deps(first, seeds)));
  CHECK(unknown(g.downstream(twin)));
  CHECK(unknown(g.dirty_subgraph(seeds)));
  CHECK(unknown(g.mark_dirty(seeds)));
  CHECK(unknown(g.set_dirty(twin)));
  CHECK(unknown(g.set_computing(twin)));
  CHECK(unknown(g.set_clean(twin, 1)));
  CHECK(unknown(g.skip_node(twin, 1)));
  CHECK(unknown(g.commit_input(twin, 1)));
  CHECK(unknown(g.commit_node(twin, 1)));
  CHECK(unknown(g.check_node(twin)));
  CHECK(unknown(g.needs_recompute(twin, 1)));
  CHECK(g.clock() == 0 && g.node(0).state == tavik::NodeState::Dirty);

  CHECK(g.add_node(twin, "input").ok());  // not a duplicate
  const auto first_index = g.idx(first), twin_index = g.idx(twin);
  CHECK(first_index.ok() && *first_index == 0 && twin_index.ok() && *twin_index == 1);
}

// Dependency lists replaced again and again, some by longer ones: each stays as declared, what
// the replaced ones leave behind is reclaimed as the lists' block grows, and a failed allocation
// on the way (the reclaiming included) changes nothing.
void test_replaced_lists_are_reclaimed() {
  Graph g(tavik::SipKey{3, 4});
  std::vector<std::string> all;
  for (std::size_t i = 0; i < 64; ++i) {
    all.push_back(node_id(i));
    CHECK(g.add_node(all.back(), "reactive").ok());
  }
  std::size_t live = 0;
  for (std::size_t round = 1; round < 40; ++round) {
    for (std::size_t i = 32; i < 64; ++i) {
      const std::vector<std::string_view> deps(
          all.begin(), all.begin() + static_cast<std::ptrdiff_t>((round * 7 + i) % 32));
      if (i == 32 + round % 32) {
        for (std::size_t fail = 0;; ++fail) {
          const auto before = tavik_test::snapshot(g);
          bool threw = false;
          {
            tavik_test::alloc::FailAt guard(fail);
            try {
              CHECK(g.set_deps(all[i], deps).ok());
            } catch (const std::bad_alloc&) {
              threw = true;
            }
          }
          if (!tavik_test::alloc::fired()) break;
          CHECK(threw && tavik_test::snapshot(g) == before && g.check_invariants());
        }
      } else {
        CHECK(g.set_deps(all[i], deps).ok());
      }
      const auto stored = g.deps_of(all[i]);
      CHECK(stored.ok() && ids(g, *stored) == deps);
    }
    CHECK(g.check_invariants());
    live = 0;
    for (std::size_t i = 0; i < 64; ++i) live += g.deps_of(all[i])->size();
    CHECK(tavik::GraphTestAccess::dep_slots(g) <= 4 * live + 64);
  }
}

// ---- allocation failure ------------------------------------------------------------------------
//
// For every operation, and for every N until the operation runs without reaching its Nth
// allocation, the Nth allocation throws std::bad_alloc. The graph must then be exactly as it was
// (compared field by field), keep its invariants, and accept the same operation again with the
// result that an untouched graph gives.

// A deterministic graph of `n` nodes ("n0", "n1", ...) of mixed kinds, each depending on up to
// three earlier ones, some of them committed. Sizes just below and at the growth points of the
// node vector and the id index make add_node reallocate both.
enum class Shape { Unbuilt, Built, Cyclic };  // Cyclic: built, then n0 made to depend on the last

Graph make_graph(std::size_t n, Shape shape) {
  static constexpr std::string_view kinds[] = {"input", "source", "reactive", "view"};
  Graph g(tavik::SipKey{7, 11});
  for (std::size_t i = 0; i < n; ++i) {
    const std::string id = node_id(i);
    if (!g.add_node(id, kinds[i % 4]).ok()) std::abort();
  }
  for (std::size_t i = 3; i < n; ++i) {
    std::vector<std::string> deps;
    for (std::size_t d : {i / 2, i - 1, i - 3}) deps.push_back(node_id(d));
    const std::vector<std::string_view> views(deps.begin(), deps.end());
    if (!g.set_deps(node_id(i), views).ok()) std::abort();
  }
  for (std::size_t i = 0; i < n; i += 3) {
    const std::string id = node_id(i);
    if (!(i % 4 == 0 ? g.commit_input(id, i * 31) : g.commit_node(id, i)).ok()) std::abort();
  }
  if (shape != Shape::Unbuilt && !g.build().ok()) std::abort();
  if (shape == Shape::Cyclic && n > 1) {
    const std::string last = node_id(n - 1);
    const std::string_view back[] = {last};
    if (!g.set_deps("n0", back).ok()) std::abort();
  }
  return g;
}

// One operation: runs against a graph and reports whether it succeeded.
struct Op {
  const char* name;
  std::function<bool(Graph&)> run;
};

template <class R>
bool ok(const R& r) {
  return r.ok();
}

std::vector<Op> operations(std::size_t n) {
  const std::string last = node_id(n == 0 ? 0 : n - 1);
  const std::string mid = node_id(n / 2);
  // Lists are held by the closures so that the views stay valid.
  auto some = std::make_shared<std::vector<std::string>>();
  for (std::size_t i = 0; i < n; i += 2) some->push_back(node_id(i));
  some->push_back(mid);  // a repeat
  auto with_unknown = std::make_shared<std::vector<std::string>>(*some);
  with_unknown->push_back("missing");
  const auto views = [](const std::vector<std::string>& ids) {
    return std::vector<std::string_view>(ids.begin(), ids.end());
  };
  return {
      {"add_node new", [](Graph& g) { return ok(g.add_node("fresh node id", "view")); }},
      {"add_node duplicate", [=](Graph& g) { return ok(g.add_node(last, "view")); }},
      {"add_node bad kind", [](Graph& g) { return ok(g.add_node("fresh", "Input")); }},
      {"set_deps", [=](Graph& g) { return ok(g.set_deps(last, views(*some))); }},
      {"set_deps unknown", [=](Graph& g) { return ok(g.set_deps(last, views(*with_unknown))); }},
      {"set_deps self",
       [=](Graph& g) {
         const std::string_view self[] = {"n0", last};
         return ok(g.set_deps(last, self));
       }},
      {"build", [](Graph& g) { return ok(g.build()); }},
      {"topo_order", [](Graph& g) { return ok(g.topo_order()); }},
      {"views", [](Graph& g) { return ok(g.views()); }},
      {"resolve_seeds",
       [=](Graph& g) {
         return ok(tavik::GraphTestAccess::resolve_seeds(g, views(*with_unknown)));
       }},
      {"downstream", [](Graph& g) { return ok(g.downstream("n0")); }},
      {"downstream unknown", [](Graph& g) { return ok(g.downstream("missing")); }},
      {"dirty_subgraph", [=](Graph& g) { return ok(g.dirty_subgraph(views(*some))); }},
      {"mark_dirty", [=](Graph& g) { return ok(g.mark_dirty(views(*some))); }},
      {"mark_dirty unknown", [=](Graph& g) { return ok(g.mark_dirty(views(*with_unknown))); }},
      {"dirty_nodes", [](Graph& g) { return ok(g.dirty_nodes()); }},
      {"set_dirty", [=](Graph& g) { return ok(g.set_dirty(mid)); }},
      {"set_computing", [=](Graph& g) { return ok(g.set_computing(mid)); }},
      {"set_clean", [=](Graph& g) { return ok(g.set_clean(mid, 5)); }},
      {"skip_node", [=](Graph& g) { return ok(g.skip_node(mid, 6)); }},
      {"commit_input", [=](Graph& g) { return ok(g.commit_input(mid, 7)); }},
      {"commit_node", [=](Graph& g) { return ok(g.commit_node(mid, 8)); }},
      {"commit_node unknown", [](Graph& g) { return ok(g.commit_node("missing", 8)); }},
      {"check_node", [=](Graph& g) { return ok(g.check_node(last)); }},
      {"check_node unknown", [](Graph& g) { return ok(g.check_node("missing")); }},
      {"needs_recompute", [=](Graph& g) { return ok(g.needs_recompute(last, 1)); }},
      {"kind_of state_of deps_of",
       [=](Graph& g) {
         return ok(g.kind_of(last)) && ok(g.state_of(last)) && ok(g.deps_of(last));
       }},
      {"idx unknown", [](Graph& g) { return ok(g.idx("missing")); }},
  };
}

void test_allocation_failure_changes_nothing() {
  for (const std::size_t n : std::initializer_list<std::size_t>{0, 1, 14, 15, 16, 28, 32, 40}) {
    for (const Shape shape : {Shape::Unbuilt, Shape::Built, Shape::Cyclic}) {
      for (const Op& op : operations(n)) {
        // The outcome and the graph that a run without failures gives.
        Graph expected_graph = make_graph(n, shape);
        const bool expected_ok = op.run(expected_graph);
        const auto expected = tavik_test::snapshot(expected_graph);

        for (std::size_t fail = 0;; ++fail) {
          Graph g = make_graph(n, shape);
          const auto before = tavik_test::snapshot(g);
          bool threw = false;
          bool result = false;
          {
            tavik_test::alloc::FailAt guard(fail);
            try {
              result = op.run(g);
            } catch (const std::bad_alloc&) {
              threw = true;
            }
          }
          if (!tavik_test::alloc::fired()) {
            // The operation made fewer than `fail + 1` allocations: it ran to completion.
            CHECK(!threw);
            CHECK(result == expected_ok);
            CHECK(tavik_test::snapshot(g) == expected);
            break;
          }
          CHECK(threw);  // every failure reaches the caller as std::bad_alloc
          const bool unchanged = tavik_test::snapshot(g) == before;
          CHECK(unchanged);
          CHECK(g.check_invariants());
          if (!unchanged) {
            std::fprintf(stderr, "  %s (n=%zu, shape=%d) changed the graph at allocation %zu\n",
                         op.name, n, static_cast<int>(shape), fail);
          }
          // The graph still works: the same operation now gives the untouched graph's outcome.
          CHECK(op.run(g) == expected_ok);
          CHECK(tavik_test::snapshot(g) == expected);
        }
      }
    }
  }
}

}  // namespace

int main() {
  test_order_and_schedule();
  test_signature_example();
  test_cycle_keeps_order();
  test_tag_twin_is_unknown();
  test_replaced_lists_are_reclaimed();
  test_allocation_failure_changes_nothing();
  return tavik_test::finish();
}
