"""Fusion: the fused block forward (doing_fusion) against the floor and the described forward.

    python benchmarks/forward_fused.py [--quick] [--json PATH]

Cleaned (NVRModulePyThread) and loaded (NVROptimizedModule) blocks of L positions, each
Linear(8, W), no processors, in inference mode with single-threaded torch. The three take turns
within each repeat; times are the minimum over the repeats of the mean time per call. The floor
is the work no rendering of the described forward can avoid: the L module calls, one multiply
and one add per pair of positions and the L - 1 activations, with the weight rows already
shaped. Columns:
    fused/floor       the fused forward's time over the floor's
    described/floor   the same block with doing_fusion off
    taken             whether the fused path ran (it falls back where it does not pay)
    extra KiB         what the block keeps for it: one copy of its modules' weights and biases
"""

import sys
import time

import torch

from _support import (PyBlock, best_of, cleaned_layer, loaded, make_floor, parse_options,
                      prepare, print_header, write_rows)
from sorvith import network_svp, slim_load

COUNTS, WIDTHS, BATCHES = (2, 4, 6, 8), (16, 256, 2048), (1, 64)
KINDS = {"cleaned": (slim_load, True), "loaded": (network_svp, False)}


def build(kind, count, width):
    if kind == "cleaned":
        return slim_load.NVRModulePyThread(cleaned_layer(count, width))
    return loaded(count, width)


def fused_taken(block, x):
    """Whether a call ran one linear for all positions (the modules' forward and the fused one
    both call torch.nn.functional.linear)."""
    functional, calls = torch.nn.functional, []
    linear = functional.linear
    functional.linear = lambda *args, **kwargs: calls.append(1) or linear(*args, **kwargs)
    try:
        block(x)
    finally:
        functional.linear = linear
    return len(calls) == 1


def main():
    options = parse_options(__doc__)
    repeats, target = prepare(options.quick, 10)
    began = time.perf_counter()
    print_header("%-8s %2s %6s %5s %10s %12s %16s %6s %9s" % (
        "block", "L", "width", "batch", "floor us", "fused/floor", "described/floor", "taken",
        "extra KiB"))
    rows, goals = [], {}
    for kind, (module, in_place) in KINDS.items():
        for count in COUNTS:
            for width in WIDTHS:
                block = build(kind, count, width)
                floor = make_floor(PyBlock(block, in_place=in_place), False)
                extra = sum(p.numel() * p.element_size() for p in block.layer_array.parameters())
                for batch in BATCHES:
                    x = torch.randn(batch, 8)
                    with torch.inference_mode():
                        module.doing_fusion = True
                        block(x)  # the first call of a layout compares the two ways
                        taken = fused_taken(block, x)
                        want = floor(x)
                        torch.testing.assert_close(block(x), want, rtol=1e-5, atol=1e-5)

                        def fused():
                            module.doing_fusion = True
                            return block(x)

                        def described():
                            module.doing_fusion = False
                            return block(x)

                        times = best_of(repeats, fused, described, lambda: floor(x),
                                        target=target, collect=False)
                        module.doing_fusion = False
                    ratio = times[0] / times[2]
                    goals.setdefault((width, batch), []).append((kind, count, ratio))
                    rows.append({"block": kind, "L": count, "width": width, "batch": batch,
                                 "mode": "sequential" if kind == "cleaned" else "loaded",
                                 "cpp_us": times[0] * 1e6, "python_us": times[1] * 1e6,
                                 "floor_us": times[2] * 1e6, "taken": taken,
                                 "extra_bytes": extra if taken else 0})
                    print("%-8s %2d %6d %5d %10.1f %12.2f %16.2f %6s %9.1f" % (
                        kind, count, width, batch, times[2] * 1e6, ratio, times[1] / times[2],
                        "yes" if taken else "no", extra / 1024 if taken else 0))
                    sys.stdout.flush()
    print()
    for (width, batch), goal in (((16, 1), "0.50 for L >= 4"), ((256, 64), "0.90"),
                                 ((2048, 64), "1.02")):
        print("fused/floor, width %d, batch %d: %s (goal %s)" % (width, batch, ", ".join(
            "%s L=%d %.2f" % entry for entry in goals[(width, batch)]), goal))
    print("highest fused/floor: %.2f (goal: never above 1.02)" % max(
        row["cpp_us"] / row["floor_us"] for row in rows))
    if options.json:
        write_rows(options.json, "forward_fused", rows,
                   labels=("fused", "described (doing_fusion off)", "floor"))
    print("total %.1f s" % (time.perf_counter() - began))


# run_all.py finds "--quick" and "--json" in this text: _support.parse_options declares both.
if __name__ == "__main__":
    main()
