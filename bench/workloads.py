"""Engine workloads: the graphs, the node functions, and the bare protocol loop over ``Graph``.

A workload is a list of node definitions in an order where every node comes after its
dependencies (the order an engine needs them in), plus the nodes that the update rows touch.
Every derived node computes the sum of its dependencies' values modulo a large prime, so:

- adding 1 to an input changes every value below it (two changes cancelling modulo a 61-bit
  prime is vanishingly unlikely, and the harness checks that it did not happen);
- adding the prime to an input changes the input but none of its dependents' values, so the
  update is cut off right there.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from dag import KindName, Shape, human, mix64, node_id

from tavik import Graph

#: The modulus of every node function: the Mersenne prime 2^61 - 1.
P = (1 << 61) - 1
MASK64 = (1 << 64) - 1

Definition = tuple[str, KindName, list[str]]


def node_fn(*values: int) -> int:
    """The function of every derived node in the timed runs."""
    return sum(values) % P


def counted(calls: dict[str, int], id: str) -> Callable[..., int]:
    """`node_fn` that counts its calls in `calls[id]`: used to check that two engines call the
    same functions."""

    def fn(*values: int) -> int:
        calls[id] += 1
        return sum(values) % P

    return fn


def prefix_fn(k: int, calls: dict[str, int] | None = None, id: str = "") -> Callable[..., int]:
    """`node_fn` of the first k values only: a node redefined with one more dependency and
    this function keeps its value (counting its calls in `calls[id]` if given)."""

    def fn(*values: int) -> int:
        if calls is not None:
            calls[id] += 1
        return sum(values[:k]) % P

    return fn


@dataclass
class Workload:
    label: str
    nodes: list[Definition]
    #: An input whose change reaches most of the graph: the full update adds 1 to it, the
    #: cut-off update adds P (its dependents' values stay the same).
    top: str
    #: The input of the cut-off update.
    cut: str
    #: A node in the middle of the graph whose dependencies the structural edit changes, and
    #: its second list of dependencies: the first one and one more (in the layered shape placed
    #: after it in definition order).
    edit: str
    edit_deps: list[str]
    #: A view with an upstream cone of about a hundred nodes, and an input inside that cone.
    probe: str
    probe_input: str

    @property
    def n(self) -> int:
        return len(self.nodes)

    def deps_of(self, id: str) -> list[str]:
        for n, _, deps in self.nodes:
            if n == id:
                return deps
        raise KeyError(id)


def initial_value(k: int) -> int:
    return mix64(k) % P


# ---- shapes ------------------------------------------------------------------------------------


def layered_in_order(shape: Shape) -> Iterator[Definition]:
    """The layered shape's nodes layer by layer: every node after its dependencies."""
    for layer in range(shape.layers):
        for slot in range(shape.width):
            i = shape.index_of(layer, slot)
            if i < shape.n:
                yield node_id(i), shape.kind(i), shape.deps(i)


def probe_cone(prefix: str, width: int = 10, layers: int = 10) -> list[Definition]:
    """A separate component of width * layers + 1 nodes: `width` inputs, layers of `width`
    nodes with three dependencies each in the layer below, and one view over the last layer."""
    out: list[Definition] = []

    def pid(layer: int, slot: int) -> str:
        return f"{prefix}{layer:03d}{slot:03d}"

    for slot in range(width):
        out.append((pid(0, slot), "input", []))
    for layer in range(1, layers):
        for slot in range(width):
            picks = [(slot + k * (1 + mix64(layer * 131 + slot) % (width - 1))) % width
                     for k in range(3)]
            deps = list(dict.fromkeys(pid(layer - 1, s) for s in picks))
            out.append((pid(layer, slot), "reactive", deps))
    out.append((prefix + "view", "view", [pid(layers - 1, s) for s in range(width)]))
    return out


def layered(n: int) -> Workload:
    shape = Shape("layered", n)
    nodes = list(layered_in_order(shape))
    mid = shape.layers // 2
    # The first node of the middle layer that a node of the next layer depends on.
    edit_i = next(d for slot in range(shape.width)
                  for d in shape.dep_indices(shape.index_of(mid + 1, slot))
                  if shape.layer_slot(d)[0] == mid)
    later = shape.index_of(mid, shape.width - 1)  # same layer: never downstream of the edit
    edit_deps = shape.deps(edit_i) + [node_id(later)]
    probe = probe_cone("p0000000")
    nodes += probe
    return Workload(
        label=f"layered {human(n)}", nodes=nodes, top=shape.top_seed(), cut=shape.top_seed(),
        edit=node_id(edit_i), edit_deps=edit_deps, probe=probe[-1][0], probe_input=probe[0][0],
    )


def build_shaped(sources: int = 3000, headers: int = 200, libraries: int = 100,
                 programs: int = 300) -> Workload:
    """A build: one configuration header that every compilation reads, `headers` headers,
    `sources` sources each compiled with four headers, libraries of the compilations, and
    programs (views) linking a few libraries and compilations."""
    nodes: list[Definition] = [("config.h", "input", [])]
    hdr = [f"include/h{k:04d}.h" for k in range(headers)]
    src = [f"src/s{k:05d}.c" for k in range(sources)]
    obj = [f"obj/s{k:05d}.o" for k in range(sources)]
    lib = [f"lib/l{k:03d}.a" for k in range(libraries)]
    nodes += [(h, "input", []) for h in hdr]
    nodes += [(s, "input", []) for s in src]
    for k, o in enumerate(obj):
        r = mix64(k + 77)
        picks = dict.fromkeys(hdr[(r >> (8 * j)) % headers] for j in range(4))
        nodes.append((o, "reactive", [src[k], "config.h", *picks]))
    per_lib = sources // libraries
    for k, a in enumerate(lib):
        nodes.append((a, "reactive", obj[k * per_lib:(k + 1) * per_lib]))
    for k in range(programs):
        name = f"bin/p{k:03d}"
        if k == 0:
            deps = [lib[0]]  # a small program: the read row's view
        else:
            r = mix64(k + 9001)
            deps = list(dict.fromkeys(lib[(r >> (8 * j)) % libraries] for j in range(2 + k % 3)))
            deps += [obj[(r >> 40) % sources]]
        nodes.append((name, "view", deps))
    edit = obj[sources // 2]
    edit_deps = [*nodes[1 + headers + sources + sources // 2][2]]
    edit_deps.append(next(h for h in hdr if h not in edit_deps))
    return Workload(
        label=f"build {human(len(nodes))}", nodes=nodes, top="config.h", cut=src[7],
        edit=edit, edit_deps=edit_deps, probe="bin/p000", probe_input=src[0],
    )


def chain(n: int) -> Workload:
    """An input defined first and unrelated to everything else, then a chain of n nodes: an
    input (the head, `top` and `cut`) and n - 1 nodes each depending on the one before, the
    last a view (`probe`). `probe_input` is the unrelated input: a change of it reaches
    nothing. `edit` is the node in the middle, redefined to read the unrelated input too."""
    unrelated = "u" + node_id(0)[1:]
    ids = [node_id(k) for k in range(n)]
    nodes: list[Definition] = [(unrelated, "input", []), (ids[0], "input", [])]
    for k in range(1, n):
        nodes.append((ids[k], "view" if k == n - 1 else "reactive", [ids[k - 1]]))
    mid = ids[n // 2]
    return Workload(
        label=f"chain {human(n)}", nodes=nodes, top=ids[0], cut=ids[0], edit=mid,
        edit_deps=[ids[n // 2 - 1], unrelated], probe=ids[-1], probe_input=unrelated,
    )


#: The node functions of the lambda workloads, by number of dependencies: the same values as
#: `node_fn`, without its ``*values`` tuple and ``sum``.
ARITY_FNS: dict[int, Callable[..., int]] = {
    1: lambda a: a % P,
    2: lambda a, b: (a + b) % P,
    3: lambda a, b, c: (a + b + c) % P,
}


def arity_fns(w: Workload) -> Callable[[str], Callable[..., int]]:
    """Per node of `w`, the function of `ARITY_FNS` for its number of dependencies (`node_fn`
    for any other number)."""
    arity = {id: len(deps) for id, _, deps in w.nodes}
    return lambda id: ARITY_FNS.get(arity[id], node_fn)


def leaves(w: Workload) -> list[str]:
    """The derived nodes of `w` that nothing depends on, in definition order."""
    used = {d for _, _, deps in w.nodes for d in deps}
    return [id for id, kind, _ in w.nodes if kind != "input" and id not in used]


def descendants(w: Workload, id: str, deps: dict[str, list[str]]) -> set[str]:
    """Every node downstream of `id` under the dependency lists `deps`."""
    dependents: dict[str, list[str]] = {}
    for n, ds in deps.items():
        for d in ds:
            dependents.setdefault(d, []).append(n)
    out: set[str] = set()
    stack = [id]
    while stack:
        for m in dependents.get(stack.pop(), ()):
            if m not in out:
                out.add(m)
                stack.append(m)
    return out


def late_move(n: int) -> tuple[str, list[str]]:
    """In the layered shape of n nodes, a node near the end of the definition order that has
    dependents, and its dependencies plus the last node of its layer: a node defined after it
    and never downstream of it, so that the redefinition moves the node and its dependents
    after that one."""
    shape = Shape("layered", n)
    layer = shape.layers - 3
    below = {d for slot in range(shape.width)
             for above in (layer + 1, layer + 2)
             if shape.index_of(above, slot) < n
             for d in shape.dep_indices(shape.index_of(above, slot))}
    i = next(shape.index_of(layer, slot) for slot in range(shape.width)
             if shape.index_of(layer, slot) in below)
    return node_id(i), shape.deps(i) + [node_id(shape.index_of(layer, shape.width - 1))]


# ---- driving an engine -------------------------------------------------------------------------


def define(engine: Any, w: Workload, fns: Callable[[str], Callable[..., int]] | None = None
           ) -> None:
    """Define every node of `w` in `engine` (tavik.Engine or the pure-Python peer)."""
    inp, reactive, view = engine.input, engine.reactive, engine.view
    k = 0
    for id, kind, deps in w.nodes:
        if kind == "input":
            inp(id, initial_value(k))
            k += 1
        elif kind == "view":
            view(id, deps, node_fn if fns is None else fns(id))
        else:
            reactive(id, deps, node_fn if fns is None else fns(id))


def from_scratch(w: Workload, inputs: dict[str, int], deps: dict[str, list[str]]
                 ) -> dict[str, int]:
    """Every value, computed from the definitions alone (`deps` overrides `w`'s lists)."""
    values: dict[str, int] = {}
    order = definition_order(w, deps)
    for id in order:
        if id in inputs:
            values[id] = inputs[id]
        else:
            values[id] = node_fn(*(values[d] for d in deps.get(id, [])))
    return values


def definition_order(w: Workload, deps: dict[str, list[str]]) -> list[str]:
    """A topological order of `w` under the dependency lists `deps` (depth-first)."""
    out: list[str] = []
    seen: set[str] = set()
    for root, _, _ in w.nodes:
        if root in seen:
            continue
        stack: list[tuple[str, int]] = [(root, 0)]
        seen.add(root)
        while stack:
            id, k = stack.pop()
            ds = deps.get(id, [])
            if k < len(ds):
                stack.append((id, k + 1))
                d = ds[k]
                if d not in seen:
                    seen.add(d)
                    stack.append((d, 0))
            else:
                out.append(id)
    return out


# ---- the bare protocol loop --------------------------------------------------------------------


class BareLoop:
    """The hand-written protocol loop over ``Graph``, values in dicts: ``mark_dirty``'s whole
    schedule is walked, every node asks ``check_node``, and a recomputed value equal to the old
    one is recorded with ``skip_node`` so that its dependents are memo hits. The lower bound of
    any engine on the kernel (its functions never raise, so it has no failure handling)."""

    def __init__(self) -> None:
        self.graph = Graph()
        self.values: dict[str, Any] = {}
        self.fns: dict[str, Callable[..., Any]] = {}
        self.deps: dict[str, Sequence[str]] = {}
        self.calls = 0

    def define_all(self, w: Workload, fns: Callable[[str], Callable[..., int]] | None = None
                   ) -> list[str]:
        g = self.graph
        add, set_deps, values, table, deps_of = (
            g.add_node, g.set_deps, self.values, self.fns, self.deps)
        k = 0
        for id, kind, deps in w.nodes:
            add(id, kind)
            if kind == "input":
                values[id] = initial_value(k)
                k += 1
            else:
                set_deps(id, deps)
                table[id] = node_fn if fns is None else fns(id)
                deps_of[id] = deps
        g.build()
        return self.run(g.dirty_nodes())

    def run(self, schedule: list[str]) -> list[str]:
        """Bring the schedule up to date; return the nodes whose function was called."""
        g, values, fns, deps_of = self.graph, self.values, self.fns, self.deps
        check, commit, skip, commit_input = g.check_node, g.commit_node, g.skip_node, g.commit_input
        computed = []
        for n in schedule:
            fn = fns.get(n)
            if fn is None:
                commit_input(n, values[n] & MASK64)
                continue
            _, needs, sig = check(n)
            if not needs:
                skip(n, sig)
                continue
            new = fn(*[values[d] for d in deps_of[n]])
            computed.append(n)
            if n in values and values[n] == new:
                skip(n, sig)  # cut off: the epoch stays, dependents are memo hits
            else:
                values[n] = new
                commit(n, sig)
        return computed

    def set(self, id: str, value: int) -> list[str]:
        self.values[id] = value
        return self.run(self.graph.mark_dirty([id]))

    def redefine(self, id: str, deps: list[str], fn: Callable[..., Any] | None = None
                 ) -> list[str]:
        g = self.graph
        g.set_deps(id, deps)
        self.deps[id] = deps
        if fn is not None:
            self.fns[id] = fn
        g.build()
        # A new dependency list means a new signature, so check_node asks for a recomputation.
        return self.run(g.mark_dirty([id]))
