// The commit clock wraps from 2^64 - 1 to 0 without error.
#include <cstdint>

#include "check.hpp"
#include "core/graph.hpp"
#include "graph_access.hpp"

int main() {
  tavik::Graph g;
  CHECK(g.add_node("a", "reactive").ok());
  CHECK(g.add_node("b", "reactive").ok());
  tavik::GraphTestAccess::set_clock(g, UINT64_MAX - 1);

  CHECK(g.commit_node("a", 1).ok());
  CHECK(g.clock() == UINT64_MAX && g.node(0).epoch == UINT64_MAX);
  CHECK(g.commit_node("b", 2).ok());
  CHECK(g.clock() == 0 && g.node(1).epoch == 0);
  CHECK(g.commit_node("a", 3).ok());
  CHECK(g.clock() == 1 && g.node(0).epoch == 1);

  // An unknown id consumes no epoch, also right at the wrap.
  tavik::GraphTestAccess::set_clock(g, UINT64_MAX);
  CHECK(!g.commit_node("zz", 4).ok());
  CHECK(g.clock() == UINT64_MAX);
  return tavik_test::finish();
}
