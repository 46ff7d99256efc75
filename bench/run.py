"""tavik benchmark suite: one command, one table of ratios.

    python bench/run.py [--quick] [--sizes 10000,100000,1000000] [--chain N] [--huge N]
                        [--repeat R] [--chart PATH] [--docs]

Every ratio is measured side by side in one process on the same graphs (memory in fresh
subprocesses), and every peer's answer is checked against tavik's before its time counts.
See bench/README.md for what each column means.
"""

from __future__ import annotations

import argparse
import functools
import gc
import itertools
import json
import operator
import os
import platform
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import calib  # noqa: E402
import collide  # noqa: E402
import docs_block  # noqa: E402
import peers as peer_mod  # noqa: E402
import signals  # noqa: E402
from dag import Shape, human, node_id  # noqa: E402
from peers import GRAPHLIB, PURE, TAVIK, NodeList, Peer  # noqa: E402
from pyengine import PyEngine  # noqa: E402
from workloads import (  # noqa: E402
    P,
    BareLoop,
    Workload,
    arity_fns,
    build_shaped,
    chain,
    counted,
    define,
    descendants,
    from_scratch,
    initial_value,
    late_move,
    layered,
    leaves,
    node_fn,
    prefix_fn,
)

import tavik  # noqa: E402

#: A peer whose estimated time for one step exceeds this is skipped at the larger sizes.
PEER_BUDGET_S = 60.0
#: Sizes above this run construction and build only.
LARGE = 200_000
#: Stop repeating a measurement once it has used this much time.
CELL_BUDGET_NS = 3_000_000_000
#: A run shorter than this is repeated within one sample (the first run is a warm-up).
MIN_SAMPLE_NS = 20_000_000


# ---- the table ---------------------------------------------------------------------------------


@dataclass
class Row:
    section: str
    workload: str
    tavik: str
    other: str  # "peer: time"
    ratio: str
    target: str = ""
    verdict: str = ""


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    #: (workload, peer) -> [(n, ns)], for the chart
    series: dict[tuple[str, str], list[tuple[int, float]]] = field(default_factory=dict)

    def add(self, row: Row) -> None:
        self.rows.append(row)
        print(f"  {row.section:<14} {row.workload:<26} {row.tavik:>10}  {row.other:<24} "
              f"{row.ratio:>12}  {row.target:<10} {row.verdict}", flush=True)

    def note(self, text: str) -> None:
        self.notes.append(text)
        print(f"  note: {text}", flush=True)

    def render(self) -> str:
        head = Row("shape", "workload", "tavik", "compared with", "ratio", "target", "result")
        rows = [head, *self.rows]
        widths = [max(len(getattr(r, f)) for r in rows) for f in Row.__dataclass_fields__]
        lines = []
        for k, r in enumerate(rows):
            cells = [getattr(r, f) for f in Row.__dataclass_fields__]
            line = "  ".join(
                c.rjust(w) if i in (2, 4) else c.ljust(w)
                for i, (c, w) in enumerate(zip(cells, widths))
            )
            lines.append(line.rstrip())
            if k == 0:
                lines.append("  ".join("-" * w for w in widths))
        out = "\n".join(lines)
        if self.notes:
            out += "\n\nNotes:\n" + "\n".join(f"- {n}" for n in self.notes)
        return out


def fmt_ns(ns: float) -> str:
    if ns < 10_000:
        return f"{ns:.0f} ns"
    if ns < 10_000_000:
        return f"{ns / 1000:.1f} us"
    if ns < 10_000_000_000:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def speedup_row(
    report: Report,
    section: str,
    workload: str,
    tavik_ns: float,
    peer: str,
    peer_ns: float,
    at_least: float | None,
    per: str = "",
) -> None:
    """A row comparing tavik with a peer: ratio = peer time / tavik time (higher is better)."""
    ratio = peer_ns / tavik_ns
    target = verdict = ""
    if at_least is not None:
        target = f">= {at_least:g}x" if at_least > 1 else "> 1x" if at_least == 1 else ""
        verdict = "PASS" if (ratio > at_least if at_least == 1 else ratio >= at_least) else "MISS"
    report.add(
        Row(section, workload, fmt_ns(tavik_ns) + per, f"{peer}: {fmt_ns(peer_ns)}{per}",
            f"{ratio:.1f}x faster" if ratio >= 1 else f"{1 / ratio:.1f}x slower", target, verdict)
    )


# ---- timing ------------------------------------------------------------------------------------


def best_of(fn: Callable[[Any], Any], repeat: int, setup: Callable[[], Any] | None = None
            ) -> tuple[float, Any]:
    """Best time in ns of fn(setup()) over up to `repeat` runs, and the last run's result.

    Times are the CPU time of this thread, so that other processes on a shared machine do not
    inflate them, with the cyclic garbage collector paused (as timeit does). Each call of `fn`
    happens before the next loop iteration, so closures over loop variables are safe."""
    best = float("inf")
    spent = 0
    result: Any = None
    inner = 1  # calls per sample: short operations are repeated to fill MIN_SAMPLE_NS
    for _ in range(max(1, repeat)):
        arg = setup() if setup is not None else None
        gc.collect()
        gc.disable()
        try:
            t0 = time.thread_time_ns()
            for _ in itertools.repeat(None, inner):
                result = fn(arg)
            elapsed = time.thread_time_ns() - t0
        finally:
            gc.enable()
        best = min(best, elapsed / inner)
        spent += elapsed
        if spent > CELL_BUDGET_NS:
            break
        if inner == 1 and setup is None and elapsed < MIN_SAMPLE_NS:
            inner = min(10_000, MIN_SAMPLE_NS // max(elapsed, 1) + 1)
    return best, result


def loop1(f: Callable[[str], Any], x: str, n: int) -> int:
    t0 = time.thread_time_ns()
    for _ in itertools.repeat(None, n):
        f(x)
    return time.thread_time_ns() - t0


def loop2(f: Callable[[str, int], Any], x: str, y: int, n: int) -> int:
    t0 = time.thread_time_ns()
    for _ in itertools.repeat(None, n):
        f(x, y)
    return time.thread_time_ns() - t0


class Mismatch(SystemExit):
    pass


def mismatch(what: str, detail: str) -> Mismatch:
    return Mismatch(f"\nMISMATCH in {what}: {detail}\nA peer disagrees with tavik; aborting.")


def first_difference(a: Sequence[str], b: Sequence[str]) -> str:
    for k, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"first difference at position {k}: tavik {x!r}, peer {y!r}"
    return f"lengths differ: tavik {len(a)}, peer {len(b)}"


def check_same(what: str, expected: Sequence[str], got: Sequence[str]) -> None:
    if list(expected) != list(got):
        raise mismatch(what, first_difference(expected, got))


def check_valid_order(what: str, nodes: NodeList, expected: Sequence[str], got: Sequence[str]
                      ) -> None:
    """Same set as tavik's order, and every node after all of its dependencies."""
    if len(got) != len(expected) or set(got) != set(expected):
        raise mismatch(what, "the order does not hold the same nodes")
    position = {n: k for k, n in enumerate(got)}
    for id, _, deps in nodes:
        for d in deps:
            if position[d] >= position[id]:
                raise mismatch(what, f"{id!r} comes before its dependency {d!r}")


# ---- per-call cost against the floor -----------------------------------------------------------


def per_call(report: Report, calls: int, repeat: int) -> float:
    """The per-call rows; returns the time of check_node plus commit_node on the hot id."""
    noop_mod = calib.load()
    noop = noop_mod.Noop()
    shape = Shape("layered", 10_000)
    nodes = list(shape.nodes())
    g = peer_mod.construct_tavik(nodes)
    g.build()
    update(g, g.topo_order(), 1)
    hot = node_id(shape.index_of(5, 0))
    hot_input = shape.top_seed()
    kind, needs, sig = g.check_node(hot)
    if kind != "reactive" or needs or len(g.deps_of(hot)) != 3:
        raise SystemExit(f"per-call setup: unexpected hot node state {kind, needs, g.deps_of(hot)}")

    # name -> (loop, function, args); tavik calls first, floors last.
    cases: dict[str, tuple[Any, ...]] = {
        "check_node": (loop1, g.check_node, hot),
        "commit_node": (loop2, g.commit_node, hot, sig),
        "skip_node": (loop2, g.skip_node, hot, sig),
        "commit_input": (loop2, g.commit_input, hot_input, 1),
        "state_of": (loop1, g.state_of, hot),
        "needs_recompute": (loop2, g.needs_recompute, hot, sig),
        "noop": (loop1, noop.noop, hot),
        "noop_u64": (loop2, noop.noop_u64, hot, sig),
        "noop_ulong": (loop2, noop.noop_ulong, hot, sig),
        "noop_tuple": (loop1, noop.noop_tuple, hot),
        "noop_tuple_shared": (loop1, noop.noop_tuple_shared, hot),
        "empty loop": (loop1, len, hot),
    }
    best = {name: float("inf") for name in cases}
    for _ in range(repeat):
        for name, (loop, *args) in cases.items():  # interleaved, so drift hits all alike
            gc.disable()
            try:
                best[name] = min(best[name], loop(*args, calls) / calls)
            finally:
                gc.enable()
    floor = best["noop"]
    targets = {"check_node": 5.0, "commit_node": 3.0, "skip_node": 3.0}
    matching = {"check_node": "noop_tuple", "commit_node": "noop_u64", "skip_node": "noop_u64",
                "commit_input": "noop_u64", "needs_recompute": "noop_u64"}
    for name in ("check_node", "commit_node", "skip_node", "commit_input", "state_of",
                 "needs_recompute"):
        ratio = best[name] / floor
        limit = targets.get(name)
        report.add(Row(
            "per call", name, fmt_ns(best[name]), f"noop: {fmt_ns(floor)}", f"{ratio:.2f}x noop",
            f"<= {limit:g}x" if limit else "",
            ("PASS" if ratio <= limit else "MISS") if limit else "",
        ))
    report.note(
        "per call: best of %d x %d calls on a hot id; floors: noop %s, "
        "noop_u64 %s (noop_ulong %s), noop_tuple %s (noop_tuple_shared %s), empty loop (len) %s; "
        "against the matching floor: %s"
        % (
            repeat, calls, fmt_ns(floor), fmt_ns(best["noop_u64"]), fmt_ns(best["noop_ulong"]),
            fmt_ns(best["noop_tuple"]), fmt_ns(best["noop_tuple_shared"]),
            fmt_ns(best["empty loop"]),
            ", ".join(f"{k} {best[k] / best[v]:.2f}x {v}" for k, v in matching.items()),
        )
    )
    return best["check_node"] + best["commit_node"]


# ---- wide fan-in -------------------------------------------------------------------------------


def fan_in(report: Report, sizes: Sequence[int], repeat: int) -> None:
    """One node depending on every other node: the time of one set_deps call."""
    per_dep: list[float] = []
    for n in sizes:
        g = tavik.Graph()
        deps = [node_id(k) for k in range(n)]
        for d in deps:
            g.add_node(d, "input")
        g.add_node("sink", "view")
        ns, _ = best_of(lambda _: g.set_deps("sink", deps), repeat)
        if g.deps_of("sink") != deps:
            raise SystemExit(f"fan-in {n}: set_deps stored other dependencies")
        per_dep.append(ns / n)
        report.add(Row(f"fan-in {human(n)}", "set_deps, one node", fmt_ns(ns),
                       f"per dependency: {fmt_ns(ns / n)}", ""))
    if len(sizes) >= 2:
        growth = per_dep[-1] / per_dep[0]
        report.add(Row(
            "fan-in", f"per dependency {human(sizes[-1])} / {human(sizes[0])}",
            fmt_ns(per_dep[-1]), f"at {human(sizes[0])}: {fmt_ns(per_dep[0])}", f"{growth:.2f}x",
            "<= 2x", "PASS" if growth <= 2 else "MISS",
        ))


# ---- the update loop ---------------------------------------------------------------------------


def update(g: Any, schedule: Sequence[str], h: int) -> int:
    """One engine update over `schedule`: inputs take the content hash h, every other node is
    recomputed (commit_node) or found a memo hit (skip_node). Returns the nodes walked."""
    check, commit, skip, commit_input = g.check_node, g.commit_node, g.skip_node, g.commit_input
    for n in schedule:
        kind, needs, sig = check(n)
        if kind == "input":
            commit_input(n, h)
        elif needs:
            commit(n, sig)
        else:
            skip(n, sig)
    return len(schedule)


def update_from(g: Any, seed: str, h: int) -> int:
    return update(g, g.mark_dirty([seed]), h)


def recorded_update(g: Any, seed: str, h: int) -> list[tuple[str, bool, int]]:
    out = []
    for n in g.mark_dirty([seed]):
        kind, needs, sig = g.check_node(n)
        out.append((n, needs, sig))
        if kind == "input":
            g.commit_input(n, h)
        elif needs:
            g.commit_node(n, sig)
        else:
            g.skip_node(n, sig)
    return out


# ---- graph work against peers ------------------------------------------------------------------


@dataclass
class Targets:
    build: dict[str, float]
    schedule_top: dict[str, float]


TARGETS = Targets(
    build={"pure Python": 15, "networkx": 60, "rustworkx": 1},
    schedule_top={"pure Python": 6, "networkx": 10, "rustworkx": 1},
)


class GraphBench:
    def __init__(self, report: Report, peers: list[Peer], repeat: int, hot_pair: float) -> None:
        self.report = report
        #: check_node + commit_node on one hot id: the floor of the update loop per node
        self.hot_pair = hot_pair
        self.peers = peers
        self.repeat = repeat
        #: (peer, workload) -> (n, ns) of the last size measured, to estimate larger ones
        self.last: dict[tuple[str, str], tuple[int, float]] = {}

    def record(self, workload: str, peer: str, n: int, ns: float, layered: bool) -> None:
        self.last[(peer, workload)] = (n, ns)
        if layered:
            self.report.series.setdefault((workload, peer), []).append((n, ns))

    def too_slow(self, peer: Peer, workload: str, n: int, section: str) -> bool:
        seen = self.last.get((peer.name, workload))
        if seen is None or n <= seen[0]:
            return False
        estimate = seen[1] / 1e9 * (n / seen[0]) * 1.3
        if estimate > PEER_BUDGET_S:
            self.report.note(
                f"{section}: {peer.name} {workload} skipped (estimated {estimate:.0f} s from "
                f"{human(seen[0])}, over the {PEER_BUDGET_S:.0f} s budget)"
            )
            return True
        return False

    def run_shape(self, shape: Shape) -> None:
        section = shape.label
        layered = shape.name == "layered"
        n = shape.n
        large = n > LARGE
        nodes = list(shape.nodes())
        edges = sum(len(d) for _, _, d in nodes)
        print(f"\n[{section}: {n} nodes, {edges} edges]", flush=True)

        # ---- construction
        t_con, g = best_of(lambda _: peer_mod.construct_tavik(nodes), self.repeat)
        self.record("construct", "tavik", n, t_con, layered)
        peer_graphs: dict[str, Any] = {}
        for peer in self.peers:
            if self.too_slow(peer, "construct", n, section):
                continue
            t, pg = best_of(lambda _: peer.construct(nodes), self.repeat)
            self.record("construct", peer.name, n, t, layered)
            peer_graphs[peer.name] = pg
            speedup_row(self.report, section, "construct", t_con, peer.name, t, None)

        # ---- build (and build + topo_order)
        t_build, _ = best_of(lambda _: g.build(), self.repeat)
        self.record("build", "tavik", n, t_build, layered)
        t_build_topo, order = best_of(lambda _: peer_mod.build_native(g), self.repeat)
        self.record("build + topo_order", "tavik", n, t_build_topo, layered)
        prepared: dict[str, Any] = {}
        for peer in self.peers:
            pg = peer_graphs.get(peer.name)
            if pg is None or peer.build is None:
                continue
            if self.too_slow(peer, "build", n, section):
                continue
            build = peer.build
            if peer.build_consumes:
                t, got = best_of(build, self.repeat, setup=lambda: peer.construct(nodes))
            elif peer is PURE:
                t, got = best_of(lambda _: pg.build(), self.repeat)
                got = pg.topo_order()
            else:
                t, got = best_of(lambda _: build(pg), self.repeat)
            what = f"build {section} {peer.name}"
            if peer.same_order:
                check_same(what, order, got)
            else:
                check_valid_order(what, nodes, order, got)
            self.record("build", peer.name, n, t, layered)
            speedup_row(self.report, section, "build", t_build, peer.name, t,
                        TARGETS.build.get(peer.name))
            if peer is PURE:
                t2, got2 = best_of(lambda _: peer_mod.build_native(pg), self.repeat)
                check_same(f"build + topo_order {section}", order, got2)
                speedup_row(self.report, section, "build + topo_order", t_build_topo, peer.name,
                            t2, None)
            elif peer.same_order:
                # Their order already is the list of ids.
                speedup_row(self.report, section, "build + topo_order", t_build_topo, peer.name,
                            t, None)
            if peer.prepare is not None:
                prepared[peer.name] = peer.prepare(pg, got)
        del peer_graphs
        if large:
            return

        # ---- topo_order
        pure = prepared[PURE.name]
        t_topo, got_t = best_of(lambda _: g.topo_order(), self.repeat)
        t_topo_py, got_p = best_of(lambda _: pure.topo_order(), self.repeat)
        check_same(f"topo_order {section}", got_t, got_p)
        speedup_row(self.report, section, "topo_order", t_topo, PURE.name, t_topo_py, 1)

        # ---- schedules
        for label, seed, targets in (
            ("schedule from top", shape.top_seed(), TARGETS.schedule_top),
            ("schedule from bottom", shape.bottom_seed(), {}),
        ):
            t_s, expected = best_of(lambda _: g.dirty_subgraph([seed]), self.repeat)
            self.record(label, "tavik", n, t_s, layered)
            for peer in self.peers:
                if peer.schedule is None or peer.name not in prepared:
                    continue
                sched = peer.schedule
                state = prepared[peer.name]
                t, got = best_of(lambda _: sched(state, seed), self.repeat)
                check_same(f"{label} {section} {peer.name}", expected, got)
                self.record(label, peer.name, n, t, layered)
                speedup_row(self.report, section, f"{label} ({len(expected)})", t_s, peer.name,
                            t, targets.get(peer.name))

        # ---- state: bring both up to date, then dirty_nodes and the update loop
        update(g, g.topo_order(), 1)
        update(pure, pure.topo_order(), 1)
        for label, seed in (("dirty_nodes (few dirty)", shape.bottom_seed()),
                            ("dirty_nodes (most dirty)", shape.top_seed())):
            g.mark_dirty([seed])
            pure.mark_dirty([seed])
            t_d, dn = best_of(lambda _: g.dirty_nodes(), self.repeat)
            t_dp, dnp = best_of(lambda _: pure.dirty_nodes(), self.repeat)
            check_same(f"{label} {section}", dn, dnp)
            speedup_row(self.report, section, f"{label} ({len(dn)})", t_d, PURE.name, t_dp, 1)
            update(g, dn, 1)
            update(pure, dnp, 1)

        # The same driver on both; decisions and signatures must agree node by node.
        seed = shape.top_seed()
        rec_t = recorded_update(g, seed, 2)
        rec_p = recorded_update(pure, seed, 2)
        if rec_t != rec_p:
            diff = next(k for k, (a, b) in enumerate(zip(rec_t, rec_p)) if a != b)
            raise mismatch(f"update loop {section}",
                           f"at step {diff}: tavik {rec_t[diff]}, pure Python {rec_p[diff]}")
        if not all(needs for _, needs, _ in rec_t[1:]):
            raise SystemExit(f"update loop {section}: expected every node to be recomputed")
        h_t, h_p = itertools.count(1000), itertools.count(1000)  # a new input value each run
        t_u, walked = best_of(lambda _: update_from(g, seed, next(h_t)), self.repeat)
        t_up, _ = best_of(lambda _: update_from(pure, seed, next(h_p)), self.repeat)
        self.record("update loop", "tavik", n, t_u / walked, layered)
        self.record("update loop", PURE.name, n, t_up / walked, layered)
        speedup_row(self.report, section, f"update, all recomputed ({walked})", t_u / walked,
                    PURE.name, t_up / walked, 6, per="/node")
        over = t_u / walked / self.hot_pair
        self.report.add(Row(
            section, "update / hot check+commit", fmt_ns(t_u / walked) + "/node",
            f"hot id: {fmt_ns(self.hot_pair)}", f"{over:.2f}x", "<= 2.5x",
            "PASS" if over <= 2.5 else "MISS",
        ))

        # Memo hits: the seed keeps its content hash, so every dependent is a memo hit.
        h_same = 999_999
        update_from(g, seed, h_same)
        update_from(pure, seed, h_same)
        hits_t = [(n, needs) for n, needs, _ in recorded_update(g, seed, h_same)]
        hits_p = [(n, needs) for n, needs, _ in recorded_update(pure, seed, h_same)]
        if hits_t != hits_p or any(needs for _, needs in hits_t[1:]):
            raise mismatch(f"update loop (memo hits) {section}", "decisions differ")
        t_m, walked = best_of(lambda _: update_from(g, seed, h_same), self.repeat)
        t_mp, _ = best_of(lambda _: update_from(pure, seed, h_same), self.repeat)
        speedup_row(self.report, section, f"update, all memo hits ({walked})", t_m / walked,
                    PURE.name, t_mp / walked, 6, per="/node")


# ---- the engine against the bare loop and the pure-Python engine --------------------------------


ENGINE = "engine"
PYENGINE = "pure Python engine"
BARE = "bare loop"
PLAIN = "plain Python loop"


def engine_factories() -> dict[str, Callable[[], Any]]:
    return {ENGINE: tavik.Engine, PYENGINE: PyEngine}


REPORT_LISTS = ("computed", "changed", "cut_off", "failed")


class EngineCheck:
    """Drives every engine and the bare loop through the workload with counting functions and
    checks, step by step, values against a from-scratch evaluation, calls per node function
    against each other, and the report lists against each other."""

    def __init__(self, w: Workload) -> None:
        self.w = w
        self.calls: dict[str, dict[str, int]] = {}
        self.engines: dict[str, Any] = {}
        self.inputs: dict[str, int] = {}
        self.deps: dict[str, list[str]] = {}
        k = 0
        for id, kind, deps in w.nodes:
            self.deps[id] = list(deps)
            if kind == "input":
                self.inputs[id] = initial_value(k)
                k += 1
        for name, make in engine_factories().items():
            calls: dict[str, int] = dict.fromkeys(self.deps, 0)
            self.calls[name] = calls
            e = make()
            define(e, w, functools.partial(counted, calls))
            self.engines[name] = e
        self.bare_calls: dict[str, int] = dict.fromkeys(self.deps, 0)
        self.bare = BareLoop()

    def fail(self, step: str, detail: str) -> Mismatch:
        return mismatch(f"engine check {self.w.label}, {step}", detail)

    def compare(self, step: str, updates: dict[str, Any] | None = None,
                bare_computed: list[str] | None = None) -> None:
        expected = from_scratch(self.w, self.inputs, self.deps)
        names = list(self.engines)
        for name, e in self.engines.items():
            for id, v in expected.items():
                got = e[id]
                if got != v:
                    raise self.fail(step, f"{name}: {id!r} is {got}, from scratch {v}")
        first = names[0]
        for name in names[1:]:
            if self.calls[name] != self.calls[first]:
                diff = [id for id in self.deps if self.calls[name][id] != self.calls[first][id]]
                raise self.fail(step, f"{name} and {first} call functions a different number "
                                      f"of times, first at {diff[0]!r}")
            if updates is not None:
                for field in REPORT_LISTS:
                    a, b = getattr(updates[first], field), getattr(updates[name], field)
                    if set(a) != set(b):
                        raise self.fail(step, f"{field}: {first} {len(a)} nodes, "
                                              f"{name} {len(b)}: {sorted(set(a) ^ set(b))[:3]}")
        if bare_computed is not None and updates is not None:
            got = updates[first].computed
            if len(got) != len(bare_computed) or set(got) != set(bare_computed):
                raise self.fail(step, f"{first} computed {len(got)} nodes, the bare loop "
                                      f"{len(bare_computed)}")
        if self.bare.values:
            for id, v in expected.items():
                if self.bare.values[id] != v:
                    raise self.fail(step, f"bare loop: {id!r} is {self.bare.values[id]}, "
                                          f"from scratch {v}")

    def set(self, id: str, value: int) -> list[str]:
        self.inputs[id] = value
        for e in self.engines.values():
            e.set(id, value)
        return self.bare.set(id, value)

    def run(self) -> None:
        w = self.w
        bare = self.bare.define_all(w, lambda id: counted(self.bare_calls, id))
        self.compare("define + stabilize", self.stabilize_raw(), bare)
        # full update: every value below the top input changes
        bare = self.set(w.top, self.inputs[w.top] + 1)
        ups = self.stabilize_raw()
        self.compare("full update", ups, bare)
        first = next(iter(ups.values()))
        if first.cut_off or len(first.computed) != len(bare):
            raise self.fail("full update", "some value below the top input did not change")
        # cut-off update: the input's dependents keep their values
        bare = self.set(w.cut, self.inputs[w.cut] + P)
        ups = self.stabilize_raw()
        self.compare("cut-off update", ups, bare)
        dependents = {id for id, deps in self.deps.items() if w.cut in deps}
        for name, u in ups.items():
            if set(u.cut_off) != dependents or set(u.computed) != dependents:
                raise self.fail("cut-off update", f"{name} did not stop at the input's "
                                                  f"dependents")
        # structural edit, and back
        for step, deps in (("redefine", w.edit_deps), ("redefine back", w.deps_of(w.edit))):
            self.deps[w.edit] = list(deps)
            for e in self.engines.values():
                e.redefine(w.edit, deps=deps)
            bare = self.bare.redefine(w.edit, list(deps))
            self.compare(step, self.stabilize_raw(), bare)
            # an update through both ends of the new edge checks the order it left behind
            bare = self.set(w.top, self.inputs[w.top] + 1)
            self.compare(f"full update after {step}", self.stabilize_raw(), bare)
        # an edit that keeps the node's value: only the node is called, and it is cut off
        k = len(w.deps_of(w.edit))
        for step, deps, kept in (("redefine, value kept", w.edit_deps, True),
                                 ("redefine back, value kept", w.deps_of(w.edit), False)):
            for name, e in self.engines.items():
                calls = self.calls[name]
                e.redefine(w.edit, deps=deps, fn=prefix_fn(k, calls, w.edit) if kept
                           else counted(calls, w.edit))
            bare = self.bare.redefine(w.edit, list(deps), prefix_fn(k, self.bare_calls, w.edit)
                                      if kept else counted(self.bare_calls, w.edit))
            ups = self.stabilize_raw()
            self.compare(step, ups, bare)
            for name, u in ups.items():
                if list(u.computed) != [w.edit] or list(u.cut_off) != [w.edit]:
                    raise self.fail(step, f"{name} computed {len(u.computed)} nodes")
        # on-demand read: a change in the probe's cone and one at the top; only the cone is
        # computed by the read, the rest by the next stabilize
        self.set(w.probe_input, self.inputs[w.probe_input] + 1)
        self.set(w.top, self.inputs[w.top] + 1)
        cone = set(definition_order_of(w.probe, self.deps))
        before = {name: dict(c) for name, c in self.calls.items()}
        expected = from_scratch(w, self.inputs, self.deps)
        for name, e in self.engines.items():
            if e[w.probe] != expected[w.probe]:
                raise self.fail("on-demand read", f"{name} reads a wrong value")
            called = {id for id, k in self.calls[name].items() if k != before[name][id]}
            if not called or not called <= cone:
                raise self.fail("on-demand read", f"{name} called {len(called)} functions, "
                                                  f"{len(called - cone)} outside the cone")
        self.compare("stabilize after the read", self.stabilize_raw())
        # a function that raises fails its node and everything below; a redefinition heals it
        def boom(*values: int) -> int:
            raise ArithmeticError("boom")

        for name, e in self.engines.items():
            e.redefine(w.edit, fn=boom)
        ups = {name: e.stabilize() for name, e in self.engines.items()}
        failed = [set(u.failed) for u in ups.values()]
        if w.edit not in failed[0] or any(f != failed[0] for f in failed):
            raise self.fail("failure", "engines disagree on the failed nodes")
        for name, e in self.engines.items():
            try:
                e[w.edit]
            except Exception as err:
                if type(err).__name__ not in ("NodeError", "PyNodeError"):
                    raise
            else:
                raise self.fail("failure", f"{name}: reading a failed node did not raise")
            e.redefine(w.edit, fn=counted(self.calls[name], w.edit))
        self.compare("healed", self.stabilize_raw())

    def stabilize_raw(self) -> dict[str, Any]:
        return {name: e.stabilize() for name, e in self.engines.items()}


def definition_order_of(id: str, deps: dict[str, list[str]]) -> list[str]:
    """`id` and everything upstream of it."""
    seen = {id}
    stack = [id]
    while stack:
        for d in deps[stack.pop()]:
            if d not in seen:
                seen.add(d)
                stack.append(d)
    return list(seen)


def check_engines(report: Report, workloads: Sequence[Workload]) -> None:
    names = ", ".join(engine_factories())
    for w in workloads:
        EngineCheck(w).run()
    report.note(f"engine check passed on {', '.join(w.label for w in workloads)}: {names} and "
                "the bare loop give the from-scratch values after every step, the engines call "
                "the same functions and report the same computed / changed / cut_off / failed "
                "sets, and the bare loop calls the same functions")


def ratio_row(report: Report, section: str, workload: str, engine_ns: float, other: str,
              other_ns: float, target: str = "", ok: bool | None = None, per: str = "") -> None:
    ratio = other_ns / engine_ns
    report.add(Row(
        section, workload, fmt_ns(engine_ns) + per, f"{other}: {fmt_ns(other_ns)}{per}",
        f"{ratio:.1f}x faster" if ratio >= 1 else f"{1 / ratio:.1f}x slower", target,
        "" if ok is None else "PASS" if ok else "MISS",
    ))


@dataclass
class EngineTimes:
    """ns per workload step of one engine on one workload."""
    define: float = 0.0
    full: float = 0.0  # per scheduled node
    full_nodes: int = 0
    cut: float = 0.0
    edit: float = 0.0
    edit_kept: float = 0.0
    read: float = 0.0


def full_schedule(w: Workload) -> list[str]:
    """The nodes a full update (a change of `w.top`) brings up to date, in order."""
    e = tavik.Engine()
    define(e, w)
    e.stabilize()
    e.set(w.top, e[w.top] + 1)
    return e.stabilize().schedule


def time_engine(make: Callable[[], Any], w: Workload, repeat: int, read_repeat: int
                ) -> EngineTimes:
    out = EngineTimes()

    def define_all(_: Any) -> Any:
        e = make()
        define(e, w)
        e.stabilize()
        return e

    out.define, e = best_of(define_all, max(1, repeat // 2))
    e.stabilize()
    top = itertools.count(10)

    def full(_: Any) -> Any:
        e.set(w.top, next(top))
        return e.stabilize()

    t, u = best_of(full, repeat)
    out.full_nodes = len(u.schedule)
    out.full = t / len(u.schedule)
    cut = itertools.count(e[w.cut] + P, P)

    def cut_off(_: Any) -> Any:
        e.set(w.cut, next(cut))
        return e.stabilize()

    out.cut, _ = best_of(cut_off, repeat)
    deps_cycle = itertools.cycle([w.edit_deps, w.deps_of(w.edit)])

    def edit(_: Any) -> Any:
        e.redefine(w.edit, deps=next(deps_cycle))
        return e.stabilize()

    out.edit, _ = best_of(edit, repeat * 2)
    e.redefine(w.edit, deps=w.deps_of(w.edit))
    e.stabilize()
    kept = itertools.cycle([(w.edit_deps, prefix_fn(len(w.deps_of(w.edit)))),
                            (w.deps_of(w.edit), node_fn)])

    def edit_kept(_: Any) -> Any:
        deps, fn = next(kept)
        e.redefine(w.edit, deps=deps, fn=fn)
        return e.stabilize()

    out.edit_kept, u = best_of(edit_kept, repeat * 2)
    if list(u.computed) != [w.edit]:
        raise SystemExit(f"structural edit, value kept: {len(u.computed)} nodes computed")
    e.redefine(w.edit, deps=w.deps_of(w.edit), fn=node_fn)
    e.stabilize()
    probe = itertools.count(10)

    def change(_: Any = None) -> None:
        k = next(probe)
        e.set(w.probe_input, k)
        e.set(w.top, k)

    out.read, _ = best_of(lambda _: e[w.probe], read_repeat, setup=change)
    e.stabilize()
    return out


def time_bare(w: Workload, repeat: int) -> EngineTimes:
    out = EngineTimes()

    def define_all(_: Any) -> BareLoop:
        b = BareLoop()
        b.define_all(w)
        return b

    out.define, b = best_of(define_all, max(1, repeat // 2))
    top = itertools.count(10)
    schedule = len(b.graph.dirty_subgraph([w.top]))
    t, _ = best_of(lambda _: b.set(w.top, next(top)), repeat)
    out.full, out.full_nodes = t / schedule, schedule
    cut = itertools.count(b.values[w.cut] + P, P)
    out.cut, _ = best_of(lambda _: b.set(w.cut, next(cut)), repeat)
    deps_cycle = itertools.cycle([w.edit_deps, w.deps_of(w.edit)])
    out.edit, _ = best_of(lambda _: b.redefine(w.edit, next(deps_cycle)), repeat * 2)
    b.redefine(w.edit, w.deps_of(w.edit))
    kept = itertools.cycle([(w.edit_deps, prefix_fn(len(w.deps_of(w.edit)))),
                            (w.deps_of(w.edit), node_fn)])

    def edit_kept(_: Any) -> Any:
        deps, fn = next(kept)
        return b.redefine(w.edit, deps, fn)

    out.edit_kept, _ = best_of(edit_kept, repeat * 2)
    return out


def time_plain(w: Workload, schedule: Sequence[str], repeat: int) -> float:
    """ns per node of calling the node functions of `schedule` (a full update's, in its order)
    from a plain Python loop, values in a dict: the cost of the calls themselves, the floor of
    any engine whose per-node work is native."""
    values: dict[str, Any] = {}
    deps_of: dict[str, Sequence[str]] = {}
    k = 0
    for id, kind, node_deps in w.nodes:
        if kind == "input":
            values[id] = initial_value(k)
            k += 1
        else:
            deps_of[id] = node_deps
    for id, deps in deps_of.items():  # every value defined before the timed runs
        values[id] = node_fn(*[values[d] for d in deps])
    order = [(id, node_fn, deps_of[id]) for id in schedule if id in deps_of]

    def run(_: Any) -> None:
        for id, fn, deps in order:
            values[id] = fn(*[values[d] for d in deps])

    t, _ = best_of(run, repeat)
    return t / len(order)


def engine_rows(report: Report, workloads: Sequence[Workload], repeat: int) -> None:
    factories = engine_factories()
    main = ENGINE  # the rows' subject; the others are its peers
    read_repeat = max(20, repeat * 10)
    times: dict[str, dict[str, EngineTimes]] = {}
    for w in workloads:
        print(f"\n[engine, {w.label}: {w.n} nodes]", flush=True)
        t = {name: time_engine(make, w, repeat, read_repeat) for name, make in factories.items()}
        t[BARE] = time_bare(w, repeat)
        plain = time_plain(w, full_schedule(w), repeat)
        times[w.label] = t
        me = t[main]
        others = [name for name in t if name != main]
        section = f"{main} {w.label}"
        for other in others:
            ratio_row(report, section, "define + stabilize", me.define, other, t[other].define)
        per = "/node"
        for other in others:
            ratio = t[other].full / me.full
            target, ok = "", None
            if other == BARE:
                target, ok = "<= 1.5x bare", me.full <= 1.5 * t[other].full
            elif other == PYENGINE:
                target, ok = ">= 5x", ratio >= 5
            ratio_row(report, section, f"full update ({me.full_nodes})", me.full, other,
                      t[other].full, target, ok, per)
        ratio_row(report, section, f"full update ({me.full_nodes})", me.full, PLAIN, plain,
                  "<= 2x plain", me.full <= 2 * plain, per)
        for other in others:
            big = w.label == "layered 100k"
            target, ok = "", None
            if other == BARE and big:
                target, ok = ">= 20x", t[other].cut / me.cut >= 20
            ratio_row(report, section, "cut-off update", me.cut, other, t[other].cut, target, ok)
        for other in others:
            big = w.label == "layered 100k"
            target, ok = "", None
            if other == PYENGINE and big:
                target, ok = ">= 5x", t[other].edit / me.edit >= 5
            ratio_row(report, section, "structural edit", me.edit, other, t[other].edit,
                      target, ok)
        for other in others:
            big = w.label == "layered 100k"
            target, ok = "", None
            if other == PYENGINE and big:
                target, ok = ">= 5x", t[other].edit_kept / me.edit_kept >= 5
            ratio_row(report, section, "structural edit, value kept", me.edit_kept, other,
                      t[other].edit_kept, target, ok)
        for other in others:
            if other != BARE:
                ratio_row(report, section, "on-demand read", me.read, other, t[other].read)
    small, large = times.get("layered 10k"), times.get("layered 100k")
    if small and large:
        for field, label in (("cut", "cut-off update"), ("read", "on-demand read")):
            for name in (ENGINE, PYENGINE):
                a, b = getattr(small[name], field), getattr(large[name], field)
                report.add(Row(
                    f"{name} scaling", f"{label} 100k / 10k", fmt_ns(b), f"at 10k: {fmt_ns(a)}",
                    f"{b / a:.2f}x", "<= 2x" if name == ENGINE else "",
                    ("PASS" if b / a <= 2 else "MISS") if name == ENGINE else "",
                ))
    report.note("engine rows: full update is per scheduled node; the plain Python loop calls the "
                "same node functions over the full update's schedule, precomputed, values in a "
                "dict (no engine work at all); cut-off update: the input's "
                "dependents return their old values; structural edit: redefine one node's "
                "dependencies in the middle of the graph (alternating two lists, one dependency "
                "placed after it) and stabilize, which recomputes the node's downstream region; "
                "'value kept': the same with a function of the first dependencies only, so the "
                "node keeps its value and nothing below it is called; on-demand read: "
                "engine[view] for a view whose upstream cone is about 100 nodes, after a change "
                "inside the cone and one at the top of the graph")


# ---- memory ------------------------------------------------------------------------------------


def memory(report: Report, sizes: Sequence[int], peers: list[Peer]) -> None:
    impls = {"tavik": "tavik", PURE.name: "pure"}
    for p in peers:
        if p.name in ("networkx", "rustworkx"):
            impls[p.name] = p.name
    for n in sizes:
        results: dict[str, float] = {}
        for name, impl in impls.items():
            if name not in ("tavik", "rustworkx") and n > LARGE:
                continue  # the slow peers only for context, at the smaller size
            proc = subprocess.run(
                [sys.executable, str(HERE / "memprobe.py"), impl, str(n)],
                capture_output=True, text=True, cwd=HERE,
            )
            if proc.returncode != 0:
                raise SystemExit(f"memory probe {impl} {n} failed:\n{proc.stderr}")
            results[name] = json.loads(proc.stdout)["bytes"] / n
        t = results["tavik"]
        others = [f"{k}: {v:.0f} B" for k, v in results.items() if k != "tavik"]
        native = results.get("rustworkx", float("inf"))
        report.add(Row(
            f"memory {human(n)}", "bytes per node", f"{t:.0f} B", (", ".join(others) or "-"),
            f"{t:.0f} B/node", "<= 120 B, < rustworkx",
            "PASS" if t <= 120 and t < native else "MISS",
        ))
    report.note("memory: RSS growth over construct + build of the layered shape, measured in a "
                "fresh process per value; ids (15 bytes) and deps are generated on the fly, so "
                "no benchmark-side list of ids is counted")


def huge(report: Report, n: int) -> None:
    """One very large layered graph in a fresh process: each step timed once."""
    print(f"\n[layered {human(n)}: construction, build, mark_dirty, topo_order, memory]",
          flush=True)
    proc = subprocess.run([sys.executable, str(HERE / "huge.py"), str(n)],
                          capture_output=True, text=True, cwd=HERE)
    if proc.returncode != 0:
        raise SystemExit(f"huge graph {n} failed:\n{proc.stderr}")
    r = json.loads(proc.stdout)
    section = f"layered {human(n)}"
    for workload, key in (("construct", "construct"), ("build", "build"),
                          (f"mark_dirty, all ({r['dirty']})", "mark_dirty"),
                          ("topo_order", "topo_order")):
        report.add(Row(section, workload, fmt_ns(r[key]), "-", f"{fmt_ns(r[key] / n)}/node"))
    per_node = r["bytes"] / n
    report.add(Row(section, "memory, bytes per node", f"{per_node:.0f} B", "-",
                   f"{per_node:.0f} B/node", "<= 120 B", "PASS" if per_node <= 120 else "MISS"))
    report.add(Row(section, "peak memory, construct + build", f"{r['peak_build'] / 2**20:.0f} MiB",
                   f"whole run: {r['peak'] / 2**20:.0f} MiB", ""))
    report.note(f"{section}: one run of each step in a fresh process; mark_dirty is seeded with "
                "every node without dependencies (so it reaches all); memory is the RSS growth over construct + build, peak memory the "
                "process's peak RSS up to the end of build (the interpreter included), and over "
                "the whole run, which adds the lists of new strings of mark_dirty and topo_order")


def engine_memory(report: Report, n: int) -> None:
    impls = {ENGINE: "engine", PYENGINE: "pyengine"}
    results: dict[str, float] = {}
    for name, impl in impls.items():
        proc = subprocess.run(
            [sys.executable, str(HERE / "memprobe.py"), impl, str(n)],
            capture_output=True, text=True, cwd=HERE,
        )
        if proc.returncode != 0:
            raise SystemExit(f"memory probe {impl} {n} failed:\n{proc.stderr}")
        results[name] = json.loads(proc.stdout)["bytes"] / n
    mine, peer = results[ENGINE], results[PYENGINE]
    report.add(Row(
        f"engine memory {human(n)}", "bytes per node, values excluded", f"{mine:.0f} B/node",
        f"{PYENGINE}: {peer:.0f} B/node",
        f"{peer / mine:.1f}x less" if mine <= peer else f"{mine / peer:.1f}x more",
    ))
    report.note(f"engine memory {human(n)}: RSS growth over defining every node of the layered "
                "shape and the first stabilize, in a fresh process per engine, per node; every "
                "value is the shared int 0, so values cost nothing but their slots; the kernel "
                "is included")


# ---- the engine against the floor, reads, idle calls, edits at scale, a signals library ------


def workload_deps(w: Workload) -> dict[str, list[str]]:
    return {id: list(deps) for id, _, deps in w.nodes}


def input_values(w: Workload) -> dict[str, int]:
    inputs: dict[str, int] = {}
    for id, kind, _ in w.nodes:
        if kind == "input":
            inputs[id] = initial_value(len(inputs))
    return inputs


def check_values(what: str, e: Any, expected: dict[str, Any], ids: Iterable[str] | None = None
                 ) -> None:
    """Every value of `ids` (default: every node of `expected`) read from `e` is the expected one."""
    for id in expected if ids is None else ids:
        got = e[id]
        if got != expected[id]:
            raise mismatch(what, f"{id!r} is {got}, from scratch {expected[id]}")


def called_since(calls: dict[str, int], before: dict[str, int]) -> list[str]:
    return [id for id, k in calls.items() if k != before[id]]


def per_node(ns: float) -> str:
    return fmt_ns(ns) + "/node"


def floor_rows(report: Report, w: Workload, repeat: int, lambdas: bool, timed: bool) -> None:
    """The full update against the bare-call floor: the functions of the nodes the update
    computes, called from C by ``map`` over columns of their arguments built beforehand; the
    engines and the plain loop in the same run, per computed node."""
    fn_of: Callable[[str], Callable[..., int]] = arity_fns(w) if lambdas else (lambda _: node_fn)
    label = f"{w.label}, lambdas" if lambdas else w.label
    what = f"floor {label}"
    deps = workload_deps(w)
    inputs = input_values(w)
    engines: dict[str, Any] = {}
    for name, make in engine_factories().items():
        e = make()
        define(e, w, fn_of)
        e.stabilize()
        engines[name] = e
    # The check: one full update on each engine against a from-scratch evaluation.
    inputs[w.top] += 1
    expected = from_scratch(w, inputs, deps)
    updates: dict[str, Any] = {}
    for name, e in engines.items():
        e.set(w.top, inputs[w.top])
        updates[name] = e.stabilize()
        check_values(f"{what}, {name}", e, expected)
    computed = list(updates[ENGINE].computed)
    derived = [id for id in updates[ENGINE].schedule if deps[id]]
    if computed != derived or set(updates[PYENGINE].computed) != set(computed):
        raise mismatch(what, "the full update did not recompute every scheduled node alike")
    groups: dict[tuple[Callable[..., int], int], list[str]] = {}
    for id in computed:
        groups.setdefault((fn_of(id), len(deps[id])), []).append(id)
    prepared = [(fn, ids, [[expected[deps[id][k]] for id in ids] for k in range(arity)])
                for (fn, arity), ids in groups.items()]
    call = operator.call

    def bare(_: Any) -> list[list[int]]:
        return [list(map(fn, *columns)) for fn, _, columns in prepared]

    fn_columns = [[fn] * len(ids) for fn, ids, _ in prepared]

    def bare_call(_: Any) -> list[list[int]]:
        return [list(map(call, fns, *columns))
                for fns, (_, _, columns) in zip(fn_columns, prepared)]

    want = [[expected[id] for id in ids] for _, ids, _ in prepared]
    if bare(None) != want or bare_call(None) != want:
        raise mismatch(what, "the bare calls give other values than the engines")
    plain_values: dict[str, Any] = {id: 0 for id in expected}
    plain_values.update(inputs)
    for id in expected:
        if id not in updates[ENGINE].schedule:  # all but the update's nodes are up to date
            plain_values[id] = expected[id]
    order = [(id, fn_of(id), deps[id]) for id in computed]

    def plain(_: Any) -> None:
        values = plain_values
        for id, fn, ds in order:
            values[id] = fn(*[values[d] for d in ds])

    plain(None)
    if plain_values != expected:
        raise mismatch(what, "the plain loop gives other values than a from-scratch evaluation")
    if not timed:
        return

    n = len(computed)
    t_bare, _ = best_of(bare, repeat)
    t_call, _ = best_of(bare_call, repeat)
    floor, floor_call = t_bare / n, t_call / n
    per: dict[str, float] = {}
    for name, e in engines.items():
        top = itertools.count(inputs[w.top] + 1)

        def full(_: Any) -> Any:
            e.set(w.top, next(top))
            return e.stabilize()

        t, u = best_of(full, repeat)
        if len(u.computed) != n:
            raise SystemExit(f"{what}: {name} computed {len(u.computed)} nodes, not {n}")
        per[name] = t / n
    t_plain, _ = best_of(plain, repeat)
    per[PLAIN] = t_plain / n
    section = f"floor {label}"
    report.add(Row(section, f"bare calls: map(f, *columns) ({n})", per_node(floor), "-", ""))
    report.add(Row(section, "bare calls: map(operator.call)", per_node(floor_call),
                   f"map(f): {per_node(floor)}", f"{floor_call / floor:.2f}x"))
    for name, ns in per.items():
        report.add(Row(section, f"{name}, full update", per_node(ns),
                       f"floor {per_node(floor)}, over it {per_node(ns - floor)}",
                       f"{ns / floor:.2f}x floor"))
    functions = ("lambda a, b, c: (a + b + c) % P (and its 2- and 1-argument forms)" if lambdas
                 else "node_fn(*values) (sum(values) % P)")
    report.note(
        f"{section}: the floor is the node functions of the {n} nodes a full update computes, "
        f"{functions}, called from C over prebuilt argument columns, list(map(f, xs, ys, zs)) "
        f"(one map per function and number of arguments; every node shares its function, so "
        f"this is the floor; list(map(operator.call, fns, xs, ys, zs)), the form for per-node "
        f"functions, costs {per_node(floor_call)}): {per_node(floor)}. Full update (set the top "
        f"input, stabilize) per computed node, same run: "
        + "; ".join(f"{name} {per_node(ns)} = floor + {per_node(ns - floor)} "
                    f"({ns / floor:.2f}x)" for name, ns in per.items())
    )


def chain_read_rows(report: Report, n: int, repeat: int, timed: bool) -> None:
    """Reads whose cost should follow what changed, not the size of the graph: on a chain of n
    nodes and an input defined before it, the end of the chain read after a change of the
    unrelated input, and after a change of the head that its first dependent cuts off."""
    w = chain(n)
    unrelated, head, end = w.probe_input, w.top, w.probe
    first = w.nodes[2][0]  # the head's dependent
    deps = workload_deps(w)
    inputs = input_values(w)
    expected = from_scratch(w, inputs, deps)
    what = f"reads {w.label}"
    for name, make in engine_factories().items():
        calls = dict.fromkeys(deps, 0)
        e = make()
        define(e, w, functools.partial(counted, calls))
        e.stabilize()
        check_values(f"{what}, {name}", e, expected)
        changed = dict(inputs)
        changed[unrelated] += 1
        e.set(unrelated, changed[unrelated])
        before = dict(calls)
        if e[end] != expected[end]:
            raise mismatch(what, f"{name}: the end of the chain changed with an unrelated input")
        if called_since(calls, before):
            raise mismatch(what, f"{name}: reading the end after a change of an unrelated input "
                                 f"called {len(called_since(calls, before))} functions")
        changed[head] += P
        e.set(head, changed[head])
        before = dict(calls)
        if e[end] != expected[end]:
            raise mismatch(what, f"{name}: the end of the chain changed with a cut-off change")
        if called_since(calls, before) != [first]:
            raise mismatch(what, f"{name}: reading the end after a cut-off change of the head "
                                 f"called {len(called_since(calls, before))} functions, not 1")
        if e.stabilize().computed:
            raise mismatch(what, f"{name}: stabilize after the reads computed nodes")
        check_values(f"{what}, {name}, after the reads", e, from_scratch(w, changed, deps))
    if not timed:
        return

    read_repeat = max(20, repeat * 10)
    times: dict[str, tuple[float, float]] = {}
    for name, make in engine_factories().items():
        e = make()
        define(e, w)
        e.stabilize()
        values_u = itertools.count(inputs[unrelated] + 1)
        values_h = itertools.count(inputs[head] + P, P)

        def unrelated_read(_: Any) -> Any:
            e.set(unrelated, next(values_u))
            return e[end]

        def cut_read(_: Any) -> Any:
            e.set(head, next(values_h))
            return e[end]

        t_u, got_u = best_of(unrelated_read, read_repeat)
        t_c, got_c = best_of(cut_read, read_repeat)
        if got_u != expected[end] or got_c != expected[end]:
            raise mismatch(what, f"{name}: a timed read gave another value")
        times[name] = t_u, t_c
    section = what
    for k, workload in enumerate(("set unrelated input + read end",
                                  "set head (cut off) + read end")):
        ratio_row(report, section, workload, times[ENGINE][k], PYENGINE, times[PYENGINE][k])
    report.note(f"{section}: an input defined before a chain of {human(n)} nodes and unrelated "
                "to it; after its set, engine[end of chain]; and after a set of the chain's head "
                "to a value whose dependent computes its old value (+P), engine[end]: set and "
                "read timed together, best of the runs; the checks require that the first read "
                "calls no function and the second only the head's dependent")


def idle_stabilize_rows(report: Report, workloads: Sequence[Workload], repeat: int,
                        timed: bool) -> None:
    """`stabilize()` when nothing changed since the last one."""
    for w in workloads:
        times: dict[str, float] = {}
        for name, make in engine_factories().items():
            e = make()
            define(e, w)
            e.stabilize()
            u = e.stabilize()
            lists = ("schedule", "reused", *REPORT_LISTS)
            if any(getattr(u, f) for f in lists):
                raise mismatch(f"idle stabilize {w.label}", f"{name} reports work: "
                               + ", ".join(f"{f} {len(getattr(u, f))}" for f in lists))
            if timed:
                times[name], u = best_of(lambda _: e.stabilize(), repeat)
                if u.schedule:
                    raise mismatch(f"idle stabilize {w.label}", f"{name} scheduled nodes")
        if timed:
            ratio_row(report, f"idle {w.label}", f"stabilize(), nothing to do ({w.n} nodes)",
                      times[ENGINE], PYENGINE, times[PYENGINE])
    if timed:
        report.note("idle: stabilize() right after another one, nothing changed in between")


def edit_rows(report: Report, n: int, repeat: int, timed: bool, removals: int = 5,
              fan: int = 200_000) -> None:
    """Edits on one large layered engine: removing leaves, redefining a node near the end of
    the order with a dependency defined after it (the node and its dependents move), and a node
    with `fan` dependencies defined, redefined with `fan` others, and explained. Every edit is
    done once and checked (values against a from-scratch evaluation, the computed nodes against
    the region the edit reaches) before it is timed."""
    w = layered(n)
    what = f"edits {w.label}"
    print(f"\n[{what}: {w.n} nodes]", flush=True)
    deps = workload_deps(w)
    inputs = input_values(w)
    e = tavik.Engine()
    define(e, w)
    e.stabilize()
    expected = from_scratch(w, inputs, deps)
    check_values(what, e, expected)
    mover, mover_deps = late_move(n)
    downstream = descendants(w, mover, deps)
    keep = {mover, w.probe, *mover_deps, *downstream}
    candidates = [id for id in leaves(w) if id not in keep]
    samples = max(1, repeat) if timed else 1
    step = max(1, len(candidates) // (removals * (samples + 1)))
    picked = candidates[::step][:removals * (samples + 1)]
    batches = [picked[k:k + removals] for k in range(0, len(picked), removals)]
    gone: set[str] = set()
    done: list[list[str]] = []  # the batches removed

    def remove_all(batch: list[str]) -> None:
        for id in batch:
            e.remove(id)
        done.append(batch)

    def removed(batch: list[str]) -> None:
        for id in batch:
            if id in e:
                raise mismatch(what, f"{id!r} is still there after its removal")
            gone.add(id)
            del deps[id]
            del expected[id]

    remove_all(batches[0])
    removed(batches[0])
    if len(e) != w.n - len(gone) or e.stabilize().computed:
        raise mismatch(what, "removing leaves changed more than the leaves")
    t_remove = 0.0
    if timed:
        rest = iter(batches[1:])
        t_remove, _ = best_of(remove_all, len(batches) - 1, setup=lambda: next(rest))
        t_remove /= removals
        for batch in done[1:]:  # the time budget may have stopped the runs early
            removed(batch)
        if e.stabilize().computed:
            raise mismatch(what, "removing leaves changed more than the leaves")

    # A node with `fan` dependencies, then `fan` others.
    ids = [id for id, _, _ in w.nodes if id not in gone]
    fan = min(fan, len(ids) // 2)
    wide_a, wide_b, wide = ids[:fan], ids[fan:2 * fan], "wide"
    e.reactive(wide, wide_a, node_fn)
    u = e.stabilize()
    if list(u.computed) != [wide] or e[wide] != node_fn(*[expected[d] for d in wide_a]):
        raise mismatch(what, f"the node of {human(fan)} dependencies has another value")
    if e.explain(wide).reason != "new":
        raise mismatch(what, f"explain: {e.explain(wide)}")
    e.redefine(wide, deps=wide_b)
    u = e.stabilize()
    if list(u.computed) != [wide] or e[wide] != node_fn(*[expected[d] for d in wide_b]):
        raise mismatch(what, f"the node of {human(fan)} dependencies, redefined, has another "
                             "value")
    explained = e.explain(wide)
    if explained.reason != "redefined" or explained.changed:
        raise mismatch(what, f"explain after redefine: {explained}")
    t_define = t_redefine = t_explain = 0.0
    if timed:
        def undefine() -> None:
            if wide in e:
                e.remove(wide)

        t_define, _ = best_of(lambda _: e.reactive(wide, wide_a, node_fn), repeat,
                              setup=undefine)

        def back_to_a() -> None:
            e.redefine(wide, deps=wide_a)
            e.stabilize()

        e.stabilize()
        t_redefine, _ = best_of(lambda _: e.redefine(wide, deps=wide_b), repeat,
                                setup=back_to_a)
        e.stabilize()
        t_explain, explained = best_of(lambda _: e.explain(wide), repeat)
        if explained.reason != "redefined" or explained.changed:
            raise mismatch(what, f"explain after redefine: {explained}")
    deps[wide] = list(wide_b)
    expected[wide] = e[wide]

    # The move: the node gets a dependency defined after it.
    old_deps = deps[mover]
    moved = {mover, *downstream}
    for step_name, new_deps in (("move", mover_deps), ("move back", old_deps)):
        deps[mover] = list(new_deps)
        e.redefine(mover, deps=new_deps)
        u = e.stabilize()
        if set(u.computed) != moved:
            raise mismatch(what, f"{step_name}: {len(u.computed)} nodes computed, "
                                 f"{len(moved)} downstream of the node")
        if step_name == "move":
            # An update through both ends of the new edge checks the order the move left.
            before = expected
            inputs[w.top] += 1
            e.set(w.top, inputs[w.top])
            e.stabilize()
            expected = from_scratch(w, inputs, deps)
            check_values(f"{what}, update after the move", e, expected,
                         [id for id in expected if id not in gone])
            # ... and the explanation of the wide node lists its dependencies that changed.
            explained = e.explain(wide)
            changed_deps = [d for d in wide_b if before[d] != expected[d]]
            if explained.reason != "dependencies" or explained.changed != changed_deps:
                raise mismatch(what, f"explain after an update: {explained.reason}, "
                                     f"{len(explained.changed)} changed, {len(changed_deps)} "
                                     "expected")
    if not timed:
        return
    t_explain_changed, explained = best_of(lambda _: e.explain(wide), repeat)
    redefine_alone: list[float] = []

    def move_back() -> None:
        e.redefine(mover, deps=old_deps)
        e.stabilize()

    def move(_: Any) -> Any:
        t0 = time.thread_time_ns()
        e.redefine(mover, deps=mover_deps)
        redefine_alone.append(time.thread_time_ns() - t0)
        return e.stabilize()

    t_move, u = best_of(move, repeat, setup=move_back)
    if set(u.computed) != moved:
        raise mismatch(what, "a timed move computed other nodes")
    section = what
    report.add(Row(section, "remove a leaf", fmt_ns(t_remove), f"{removals} leaves per run", ""))
    report.add(Row(section, f"define, {human(fan)} dependencies", fmt_ns(t_define), "-", ""))
    report.add(Row(section, f"redefine, {human(fan)} others", fmt_ns(t_redefine), "-", ""))
    report.add(Row(section, "explain it, after redefine", fmt_ns(t_explain), "-", ""))
    report.add(Row(section, f"explain it, {len(explained.changed)} deps changed",
                   fmt_ns(t_explain_changed), "-", ""))
    report.add(Row(section, f"redefine: node moves + stabilize ({len(moved)})", fmt_ns(t_move),
                   f"redefine alone: {fmt_ns(min(redefine_alone))}", ""))
    report.note(
        f"{section}: the layered shape of {human(n)} nodes in one engine. remove: {removals} "
        f"leaves (nodes nothing depends on) per run, time per removal; define / redefine: a "
        f"reactive node over the first {human(fan)} nodes, then over the next {human(fan)} "
        f"(the redefinition alone; the stabilize that follows is not timed); explain: of that "
        f"node, after its redefinition, and after an update that changed "
        f"{len(explained.changed)} of its dependencies; move: redefine a node "
        f"{w.n - 1 - [id for id, _, _ in w.nodes].index(mover)} places from the end of the "
        f"definition order with one more dependency defined after it (the node and its "
        f"dependents move after it), then stabilize, which computes the node and its "
        f"{len(moved) - 1} dependents"
    )


def signals_rows(report: Report, w: Workload, repeat: int, timed: bool) -> bool:
    """The full and the cut-off update on a Python signals library, answers checked against
    tavik's first; the rows are not printed if the answers differ. Returns whether the library
    is installed and its answers agreed."""
    version = signals.available()
    if version is None:
        report.note(f"{signals.LIBRARY} is not installed: its rows skipped (pip install "
                    "'.[bench]')")
        return False
    peer = f"{signals.LIBRARY} {version}"
    what = f"signals {w.label}"
    deps = workload_deps(w)
    inputs = input_values(w)
    calls_e, calls_s = dict.fromkeys(deps, 0), dict.fromkeys(deps, 0)
    e = tavik.Engine()
    define(e, w, functools.partial(counted, calls_e))
    e.stabilize()
    s = signals.SignalGraph(w, functools.partial(counted, calls_s))

    def refuse(step: str, detail: str) -> bool:
        report.note(f"{what}: {peer} rows not printed: after {step}, {detail}")
        return False

    for step, id, delta in (("definition", None, 0), ("full update", w.top, 1),
                            ("cut-off update", w.cut, P)):
        before = dict(calls_e), dict(calls_s)
        if id is not None:
            inputs[id] += delta
            e.set(id, inputs[id])
            e.stabilize()
            s.set(id, inputs[id])
            s.update()
        # The calls first: reading every value below would bring the library up to date too.
        ours, theirs = called_since(calls_e, before[0]), called_since(calls_s, before[1])
        if set(ours) != set(theirs) or any(calls_s[k] != calls_e[k] for k in ours):
            return refuse(step, f"it called {len(theirs)} functions, tavik {len(ours)}")
        for node in deps:
            if s[node] != e[node]:
                return refuse(step, f"{node!r} is {s[node]} there, {e[node]} in tavik")
        if called_since(calls_s, before[1]) != theirs:
            return refuse(step, "reading its values called more functions")
    if not timed:
        return True

    e = tavik.Engine()
    define(e, w)
    e.stabilize()
    s = signals.SignalGraph(w)
    runners: dict[str, tuple[Any, Callable[[], Any]]] = {
        "tavik": (e, e.stabilize), peer: (s, s.update)}
    times: dict[str, tuple[float, float]] = {}
    nodes = 0
    for name, (runner, bring_up_to_date) in runners.items():
        top = itertools.count(inputs[w.top] + 1)

        def full(_: Any) -> Any:
            runner.set(w.top, next(top))
            return bring_up_to_date()

        def cut_off(_: Any) -> Any:
            runner.set(w.cut, next(cut))
            return bring_up_to_date()

        t_full, u = best_of(full, repeat)
        if runner is e:
            nodes = len(u.computed)
        cut = itertools.count(runner[w.cut] + P, P)  # from the value the full updates left
        t_cut, _ = best_of(cut_off, repeat)
        times[name] = t_full / nodes, t_cut
    for runner, bring_up_to_date in runners.values():  # the same inputs: the same values
        runner.set(w.top, 7)
        runner.set(w.cut, 11)
        bring_up_to_date()
    for node in deps:
        if s[node] != e[node]:
            raise mismatch(what, f"after the timed runs {node!r} is {s[node]} in {peer}, "
                                 f"{e[node]} in tavik")
    section = what
    ratio_row(report, section, f"full update ({nodes})", times["tavik"][0], peer,
              times[peer][0], per="/node")
    ratio_row(report, section, "cut-off update", times["tavik"][1], peer, times[peer][1])
    report.note(f"{section}: {peer}, a Signal per input and a Computed per derived node "
                "(equal=operator.eq), an update is set() and a read of every node nothing "
                "depends on (the library is lazy); tavik: set and stabilize; full update per "
                "computed node, cut-off update per update")
    return True


def engine_more_rows(report: Report, repeat: int, quick: bool) -> None:
    """The floor, read, idle, edit and signals rows; with `quick`, their checks only, small."""
    timed = not quick
    big = layered(2_000 if quick else 100_000)
    print(f"\n[engine against the floor, {big.label}]", flush=True)
    floor_rows(report, big, repeat, lambdas=False, timed=timed)
    floor_rows(report, big, repeat, lambdas=True, timed=timed)
    print("\n[engine reads, idle stabilize]", flush=True)
    chain_read_rows(report, 2_000 if quick else 100_000, repeat, timed)
    idle_stabilize_rows(report, [chain(10), big], repeat, timed)
    edit_rows(report, 2_000 if quick else 1_000_000, repeat, timed,
              fan=500 if quick else 200_000)
    print(f"\n[signals library, {big.label}]", flush=True)
    agreed = signals_rows(report, big, repeat, timed)
    if quick:
        report.note(f"floor, read, idle, edit{' and signals' if agreed else ''} checks passed "
                    f"on {big.label}, {chain(10).label}, chain 2k")


# ---- hash flooding -----------------------------------------------------------------------------


def flooding(report: Report, sizes: Sequence[int], repeat: int) -> None:
    results = collide.run(sizes, repeat)
    for r in results:
        ratio = r.colliding_add / r.random_add
        report.add(Row(
            f"collide {human(r.n)}", "add_node, colliding ids", fmt_ns(r.colliding_add),
            f"random ids: {fmt_ns(r.random_add)}", f"{ratio:.2f}x random", "<= 1.5x",
            "PASS" if ratio <= 1.5 else "MISS",
        ))
        ratio = r.colliding_find / r.random_find
        report.add(Row(
            f"collide {human(r.n)}", "state_of, colliding ids", fmt_ns(r.colliding_find),
            f"random ids: {fmt_ns(r.random_find)}", f"{ratio:.2f}x random", "<= 1.5x",
            "PASS" if ratio <= 1.5 else "MISS",
        ))
    if len(results) >= 2:
        a, b = results[0], results[-1]
        growth = b.colliding_add / a.colliding_add
        report.add(Row(
            "collide", f"per insert {human(b.n)} / {human(a.n)}", fmt_ns(b.colliding_add),
            f"at {human(a.n)}: {fmt_ns(a.colliding_add)}", f"{growth:.2f}x",
            "<= 3x", "PASS" if growth <= 3 else "MISS",
        ))
    report.note(
        f"collide: ids sharing the low {collide.BITS} bits of FNV-1a 64 (an unkeyed table of "
        f"<= 2^{collide.BITS} slots would probe N^2/2 times); a quadratic index would show a "
        f"{results[-1].n // results[0].n}x growth of the time per insert" if len(results) >= 2
        else "collide: one size only"
    )


# ---- chart -------------------------------------------------------------------------------------


def chart(report: Report, path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        report.note("matplotlib is not installed: no chart")
        return
    workloads = ["construct", "build", "schedule from top", "update loop"]
    names = sorted({peer for _, peer in report.series})
    colour = {name: f"C{k}" for k, name in enumerate(names)}
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))
    for ax, workload in zip(axes.flat, workloads):
        for (w, peer), points in sorted(report.series.items()):
            if w != workload or len(points) < 1:
                continue
            xs = [p[0] for p in points]
            ys = [p[1] / 1e9 for p in points]
            ax.plot(xs, ys, marker="o", label=peer, color=colour[peer],
                    linewidth=2.5 if peer == "tavik" else 1.5)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(workload + (" (per node)" if workload == "update loop" else ""))
        ax.set_xlabel("nodes")
        ax.set_ylabel("seconds")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(f"tavik {tavik.__version__}: time against graph size (layered DAG)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"chart written to {path}")


# ---- main --------------------------------------------------------------------------------------


def parse_sizes(text: str) -> list[int]:
    out = []
    for part in text.split(","):
        part = part.strip().lower().replace("_", "")
        mult = 1
        if part.endswith("k"):
            mult, part = 1000, part[:-1]
        elif part.endswith("m"):
            mult, part = 1_000_000, part[:-1]
        out.append(int(float(part) * mult))
    return sorted(out)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python bench/run.py", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--sizes", type=parse_sizes, help="layered DAG sizes, e.g. 10k,100k,1M")
    parser.add_argument("--chain", type=int, help="chain length (0: no chain)")
    parser.add_argument("--huge", type=parse_sizes,
                        help="nodes of one very large graph timed step by step (0: none; "
                             "default 10M, none with --quick)")
    parser.add_argument("--repeat", type=int, help="best of this many runs per measurement")
    parser.add_argument("--chart", metavar="PATH", help="write a PNG chart of time against size")
    parser.add_argument("--only", choices=("kernel", "engine"),
                        help="run only the kernel's rows or only the engine's")
    parser.add_argument("--docs", action="store_true",
                        help="write the run's table into the benchmark block of README.md and "
                             "docs/benchmarks.md (a full run only)")
    args = parser.parse_args(argv)
    if args.docs and (args.quick or args.only):
        parser.error("--docs writes the figures of a full run: not with --quick or --only")

    quick = args.quick
    sizes = args.sizes or ([2_000, 20_000] if quick else [10_000, 100_000, 1_000_000])
    chain = args.chain if args.chain is not None else (20_000 if quick else 100_000)
    huge_n = args.huge[-1] if args.huge is not None else (0 if quick else 10_000_000)
    repeat = args.repeat or (2 if quick else 5)
    calls = 50_000 if quick else 200_000
    mem_sizes = [s for s in sizes if s >= 100_000] or sizes[-1:]
    collide_sizes = [2_000, 20_000] if quick else [10_000, 100_000]

    report = Report()
    print(f"tavik {tavik.__version__} on Python {platform.python_version()} "
          f"({platform.machine()}, {os.cpu_count()} cpus); repeat {repeat}")
    peers, missing = peer_mod.available_peers()
    for m in missing:
        report.note(m)
    report.note("times are CPU time of this thread (time.thread_time_ns), best of the runs, "
                "collector paused; operations under 20 ms are repeated within one sample")
    report.note("graphlib's order is another valid one: its set and validity are checked")

    started = time.perf_counter()
    if args.only != "engine":
        hot_pair = per_call(report, calls, max(repeat, 3))
        fan_in(report, [10_000, 100_000], max(repeat, 3))
        bench = GraphBench(report, peers, repeat, hot_pair)
        for n in sizes:
            bench.run_shape(Shape("layered", n))
        if chain:
            bench.run_shape(Shape("chain", chain))
        memory(report, mem_sizes, peers)
        if huge_n:
            huge(report, huge_n)
        flooding(report, collide_sizes, max(2, repeat // 2))
        if args.chart:
            chart(report, args.chart)
    if args.only != "kernel":
        if quick:  # the peers' answers only, at small sizes
            check_engines(report, [layered(2_000), build_shaped(300, 40, 10, 30)])
            engine_more_rows(report, repeat, quick)
        else:
            workloads = [layered(10_000), layered(100_000), build_shaped()]
            check_engines(report, workloads)
            engine_rows(report, workloads, repeat)
            engine_more_rows(report, repeat, quick)
            engine_memory(report, 100_000)

    print("\n" + "=" * 100)
    print(report.render())
    misses = sum(r.verdict == "MISS" for r in report.rows)
    passes = sum(r.verdict == "PASS" for r in report.rows)
    print(f"\n{passes} targets met, {misses} missed; {time.perf_counter() - started:.0f} s")
    if args.docs:
        command = " ".join(["python bench/run.py", *(sys.argv[1:] if argv is None else argv)])
        docs_block.write(docs_block.render(report.rows, report.notes, command, tavik.__version__))
        print("benchmark block written to " + ", ".join(
            str(p.relative_to(docs_block.ROOT)) for p in docs_block.DOCUMENTS))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
