// The kernel without Python: registry, order, schedules and the signature fold.
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/graph.hpp"

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
  for (auto [id, kind] : {std::pair{"s1", "source"}, {"s2", "source"}, {"r", "reactive"}, {"v", "view"}}) {
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

}  // namespace

int main() {
  test_order_and_schedule();
  test_signature_example();
  test_cycle_keeps_order();
  return tavik_test::finish();
}
