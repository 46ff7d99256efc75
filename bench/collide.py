"""Hash flooding: ids chosen to collide under an unkeyed hash do not slow the id index down.

The ids all share the low ``BITS`` bits of their 64-bit FNV-1a hash, so an index that placed
ids by those bits (any table of up to 2**BITS slots) would put every one of them on the same
home slot, and inserting N of them would cost N**2 / 2 probes. They are built as a
multicollision: the low bits of FNV-1a after a block of bytes depend only on the low bits of
the state before it, so finding, at each of ``stages`` steps, two short blocks (by a birthday
search) that lead from the current low state to the same one gives 2**stages ids with equal
low bits.

tavik keys its index per graph from the operating system's random source, so these ids should
cost what random ids of the same length cost, and the time per insert should stay flat as N
grows. Run alone: ``python bench/collide.py [N ...]``.
"""

from __future__ import annotations

import gc
import itertools
import random
import string
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass

FNV_OFFSET = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
MASK64 = (1 << 64) - 1
BITS = 20
ALPHABET = (string.ascii_letters + string.digits).encode()
BLOCK = 4


def fnv1a64(data: bytes) -> int:
    h = FNV_OFFSET
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & MASK64
    return h


def _step(state: int, block: bytes, mask: int) -> int:
    for b in block:
        state = ((state ^ b) * FNV_PRIME) & mask
    return state


def colliding_ids(count: int, bits: int = BITS, prefix: bytes = b"c") -> list[str]:
    """``count`` distinct ids whose FNV-1a 64 hashes agree in their low ``bits`` bits."""
    mask = (1 << bits) - 1
    stages = max(1, (count - 1).bit_length())
    state = fnv1a64(prefix) & mask
    pairs: list[tuple[bytes, bytes]] = []
    rng = random.Random(11)
    for _ in range(stages):
        seen: dict[int, bytes] = {}
        for _ in range(1 << 16):
            block = bytes(rng.choice(ALPHABET) for _ in range(BLOCK))
            after = _step(state, block, mask)
            other = seen.get(after)
            if other is not None and other != block:
                pairs.append((other, block))
                state = after
                break
            seen[after] = block
        else:
            raise RuntimeError("no colliding pair of blocks found at this stage")
    out: list[str] = []
    for choice in itertools.islice(itertools.product(*pairs), count):
        out.append((prefix + b"".join(choice)).decode())
    return out


def random_ids(count: int, length: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    letters = ALPHABET.decode()
    out: set[str] = set()
    while len(out) < count:
        out.add("".join(rng.choice(letters) for _ in range(length)))
    return sorted(out)


def verify_collisions(ids: Sequence[str], bits: int = BITS, sample: int = 2000) -> None:
    mask = (1 << bits) - 1
    rng = random.Random(1)
    picked = ids if len(ids) <= sample else rng.sample(list(ids), sample)
    low = {fnv1a64(i.encode()) & mask for i in picked}
    if len(low) != 1 or len(set(ids)) != len(ids):
        raise SystemExit("collide: the generated ids do not collide as intended")


def insert_ns(ids: Sequence[str], repeat: int) -> tuple[float, float]:
    """Best time per add_node and per state_of lookup over a fresh graph, in nanoseconds."""
    from tavik import Graph

    best_add = best_find = float("inf")
    for _ in range(repeat):
        g = Graph()
        add, state_of = g.add_node, g.state_of
        gc.disable()
        t0 = time.thread_time_ns()
        for i in ids:
            add(i, "input")
        t1 = time.thread_time_ns()
        for i in ids:
            state_of(i)
        t2 = time.thread_time_ns()
        gc.enable()
        best_add = min(best_add, (t1 - t0) / len(ids))
        best_find = min(best_find, (t2 - t1) / len(ids))
    return best_add, best_find


@dataclass
class CollideResult:
    n: int
    colliding_add: float
    random_add: float
    colliding_find: float
    random_find: float


def run(sizes: Sequence[int], repeat: int) -> list[CollideResult]:
    results: list[CollideResult] = []
    for n in sizes:
        bad = colliding_ids(n)
        verify_collisions(bad)
        good = random_ids(n, len(bad[0]))
        random.Random(3).shuffle(bad)  # both sets in a random order
        random.Random(3).shuffle(good)
        ca, cf = insert_ns(bad, repeat)
        ra, rf = insert_ns(good, repeat)
        results.append(CollideResult(n, ca, ra, cf, rf))
    return results


def main(argv: Sequence[str]) -> None:
    sizes = [int(a) for a in argv] or [10_000, 100_000]
    print(f"ids sharing the low {BITS} bits of FNV-1a 64 vs random ids of the same length")
    print(f"{'N':>8} {'add colliding':>14} {'add random':>11} {'find colliding':>15} "
          f"{'find random':>12}")
    for r in run(sizes, repeat=5):
        print(f"{r.n:>8} {r.colliding_add:>11.0f} ns {r.random_add:>8.0f} ns "
              f"{r.colliding_find:>12.0f} ns {r.random_find:>9.0f} ns")


if __name__ == "__main__":
    main(sys.argv[1:])
