"""NVRModulePyThread.forward against a plain Python rendering of the same forward and against
the floor (the same module calls and cascade tensor operations issued directly).

    python benchmarks/forward_cleaned.py [--quick] [--json PATH]

Runs on the installed package with single-threaded torch. The main table is in inference mode;
a short second table repeats the smallest size with autograd on. Times are the minimum over
several repeats of the mean time per call. Columns:
    py/C++      how many times faster the extension is than the Python rendering
    C++/floor   the extension's time over the floor's (1.00 = no overhead at all)
"""

import argparse
import time

import torch
import torch.nn as nn

from _forward_bench import PyBlock, measure, prepare, print_summary, write_json
from sorvith import slim_load


class Layer(nn.Module):
    """What a cleaned block is made from: L linear modules of one width and the skip tensor."""

    def __init__(self, count, width):
        super().__init__()
        self.layer_array = nn.Sequential(*[nn.Linear(width, width) for _ in range(count)])
        self.processor_array = [None] * count
        self.skip_weights = nn.Parameter(torch.randn(count, count, width) * 0.1)
        self.node_index = torch.tensor(1)
        self.register_buffer("module_id", torch.tensor([1, 2, 3]))
        self.register_buffer("num_cycles", torch.tensor(2 * (count - 1)))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


class PyThreadModule(PyBlock):
    """The cleaned block's forward written in Python, over the same attributes; the cascade adds
    the skip terms in place."""

    def __init__(self, original_module):
        super().__init__(original_module, in_place=True)
        self.register_buffer("node_index", original_module.node_index.clone().detach())
        self.register_buffer("module_id", original_module.module_id.clone().detach())
        self.register_buffer("num_cycles", original_module.num_cycles)


def build(count, width):
    layer = Layer(count, width).requires_grad_(torch.is_grad_enabled())
    return slim_load.NVRModulePyThread(layer), PyThreadModule(layer)


def main():
    # run_all.py looks for "--quick" and "--json" in this file's text: declare them here.
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the tables' rows to PATH as JSON (times in microseconds)")
    options = parser.parse_args()
    repeats, target = prepare(options.quick, 10)

    began = time.perf_counter()
    print("inference mode")
    with torch.inference_mode():
        rows = measure([(n, w, (1, 64)) for n in (1, 2, 4) for w in (16, 256, 2048)], build,
                       slim_load, repeats, target, time_width=10)
    print("\nautograd on")
    grad_rows = measure([(n, 16, (1,)) for n in (1, 2, 4)], build, slim_load, repeats, target,
                        time_width=10)
    if options.json:
        write_json(options.json, "forward_cleaned", [(False, rows), (True, grad_rows)])

    sequential = {r[:3]: r[4] for r in rows if not r[3]}
    extra = ["L=%d batch %d: %+.1f us" % (r[0], r[2], (r[4] - sequential[r[:3]]) * 1e6)
             for r in rows if r[3] and r[1] == 16]
    print_summary(rows, began, ["threaded over sequential, width 16, per call: "
                                + ", ".join(extra)])


if __name__ == "__main__":
    main()
