"""NVROptimizedModule.forward against a plain Python rendering of the same forward and against
the floor (the same module calls and cascade tensor operations issued directly).

    python benchmarks/forward_optimized.py [--quick] [--json PATH]

Runs on the installed package, single-threaded torch, in inference mode. Times are the
minimum over several repeats of the mean time per call. Columns:
    py/C++      how many times faster the extension is than the Python rendering
    C++/floor   the extension's time over the floor's (1.00 = no overhead at all)
"""

import argparse
import time

import torch
import torch.nn as nn

from _forward_bench import PyBlock, measure, prepare, print_summary, write_json
from sorvith import network_svp


def make_block(count, width):
    block = network_svp.NVROptimizedModule(nn.Linear(width, width), "fc")
    block.simulate_cycles(2 * (count - 1), 10)
    for layer in block.layer_array:
        layer.reset_parameters()
    block.processor_array.append(None)
    block.register_parameter("skip_weights", nn.Parameter(torch.randn(count, count, width) * 0.1))
    block.register_buffer("view_tuple", torch.tensor([1, -1]))
    # No autograd graph on any thread: worker threads do not inherit the caller's mode.
    block.requires_grad_(False)
    return block


def build(count, width):
    """The optimised block and its Python rendering, which adds the skip terms out of place."""
    block = make_block(count, width)
    return block, PyBlock(block, in_place=False)


def main():
    # run_all.py looks for "--quick" and "--json" in this file's text: declare them here.
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the table's rows to PATH as JSON (times in microseconds)")
    options = parser.parse_args()
    repeats, target = prepare(options.quick, 12)

    began = time.perf_counter()
    with torch.inference_mode():
        rows = measure([(n, w, (1, 64)) for n in (1, 2, 4) for w in (16, 256, 2048)], build,
                       network_svp, repeats, target, time_width=11)
    if options.json:
        write_json(options.json, "forward_optimized", [(None, rows)])
    print_summary(rows, began)


if __name__ == "__main__":
    main()
