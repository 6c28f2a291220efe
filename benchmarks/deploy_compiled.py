"""A cleaned network called in eager mode against its exported program compiled by
torch.compile, and against the eager floor.

    python benchmarks/deploy_compiled.py [--quick] [--json PATH]

The network holds one cleaned block (NVRModulePyThread) of L positions, each Linear(8, W).
Its program is exported once per L and W with a dynamic batch and compiled two ways:
torch.compile(program.module()), the route the README shows, and torch.compile of that
module's forward with its input checks off (the exported module checks its inputs in Python
hooks at every call). Runs on the installed package with single-threaded torch, in inference
mode, sequential mode. Times are the minimum over several repeats of the mean time per call,
all four taking turns. Columns:
    eager us      the network called directly
    compiled us   torch.compile(program.module())
    forward us    torch.compile(module.forward), module.validate_inputs = False
    floor us      the eager floor: the module calls, one multiply and one add per pair of
                  positions and the activations, with the weight rows already shaped
    /floor        compiled and forward over the floor: at or below 1.00, nothing eager is
                  faster
"""

import time

import torch
import torch.nn as nn
from torch.export import Dim

from _support import (INPUTS, PyBlock, best_of, cleaned_layer, make_floor, parse_options,
                      prepare, print_header, write_rows)
from sorvith import slim_load


def main():
    options = parse_options(__doc__)  # "--quick" and "--json", as run_all.py reads them
    repeats, target = prepare(options.quick, 10)

    began = time.perf_counter()
    header = "%2s %6s %5s %9s %12s %11s %9s %15s %10s" % (
        "L", "width", "batch", "eager us", "compiled us", "forward us", "floor us",
        "/floor", "compile s")
    print_header(header)
    rows = []
    for count in (2, 4):
        for width in (16, 256, 2048):
            layer = cleaned_layer(count, width).requires_grad_(False)
            net = nn.Sequential(slim_load.NVRModulePyThread(layer)).eval()
            floor = make_floor(PyBlock(layer, in_place=True), threaded=False)
            program = torch.export.export(net, (torch.randn(5, INPUTS),),
                                          dynamic_shapes=({0: Dim("batch")},))
            compiled = torch.compile(program.module())
            unchecked = program.module()
            unchecked.validate_inputs = False
            forward = torch.compile(unchecked.forward)
            with torch.inference_mode():
                for batch in (1, 64):
                    x = torch.randn(batch, INPUTS)
                    compiling = time.perf_counter()
                    got = [compiled(x), forward(x)]  # each compiles for this batch size
                    seconds = time.perf_counter() - compiling
                    for candidate in got + [floor(x)]:
                        torch.testing.assert_close(candidate, net(x))
                    times = best_of(repeats, lambda: net(x), lambda: compiled(x),
                                    lambda: forward(x), lambda: floor(x), target=target,
                                    collect=False)
                    rows.append((count, width, batch, *times))
                    print("%2d %6d %5d %9.1f %12.1f %11.1f %9.1f %7.2f %7.2f %10.1f" % (
                        count, width, batch, *(t * 1e6 for t in times), times[1] / times[3],
                        times[2] / times[3], seconds), flush=True)
    print()
    for column, name in ((4, "compiled"), (5, "compiled forward")):
        ratios = [r[column] / r[6] for r in rows]
        print("%s at or below the eager floor: %d of %d sizes (%.2f to %.2f of it, goal 1.00)"
              % (name, sum(q <= 1 for q in ratios), len(rows), min(ratios), max(ratios)))
    print("total %.1f s" % (time.perf_counter() - began))
    if options.json:
        write_rows(options.json, "deploy_compiled",
                   [{"L": c, "width": w, "batch": b, "eager_us": e * 1e6,
                     "compiled_us": p * 1e6, "forward_us": f * 1e6, "floor_us": fl * 1e6}
                    for c, w, b, e, p, f, fl in rows])

if __name__ == "__main__":
    main()
