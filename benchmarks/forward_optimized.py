"""NVROptimizedModule.forward against a plain Python rendering of the same forward and against
the floor (the same module calls and cascade tensor operations issued directly).

    python benchmarks/forward_optimized.py [--quick] [--json PATH]

Runs on the installed package, single-threaded torch, in inference mode. Times are the
minimum over several repeats of the mean time per call. Columns:
    py/C++      how many times faster the extension is than the Python rendering
    C++/floor   the extension's time over the floor's (1.00 = no overhead at all)
"""

import argparse
import json
import sys
import threading
import time

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from sorvith import network_svp


# The Python rendering reads these module-level names at each call, as the extension does.
doing_threading = False
Thread = threading.Thread


class PyOptimizedModule(nn.Module):
    """The optimised block's forward written in Python, over the same attributes."""

    def __init__(self, block):
        super().__init__()
        self.layer_array = block.layer_array
        self.processor_array = block.processor_array
        self.skip_weights = block.skip_weights
        self.register_buffer("view_tuple", block.view_tuple)

    def process_and_forward(self, *args, **kwargs):
        k, outputs, args = args[0], args[1], args[2:]
        if self.processor_array[k] != None:  # noqa: E711 (the `!=` test is the behaviour)
            args, kwargs = self.processor_array[k].pre(*args, **kwargs)
        out = self.layer_array[k](*args, **kwargs)
        if self.processor_array[k] != None:  # noqa: E711
            out = self.processor_array[k].post(out)
        outputs[k] = out

    def process_and_pre(self, *args, **kwargs):
        outputs, args = args[0], args[1:]
        out = self.layer_array[-1].forward(*args, **kwargs)
        if self.processor_array[-1] is not None:
            out = self.processor_array[-1].pre(out)
        outputs[len(self.layer_array) - 1] = out

    def forward(self, *args, **kwargs):
        threaded = doing_threading
        count = len(self.layer_array)
        outputs = [None] * count
        threads = {}
        for k in range(count - 1):
            if threaded:
                threads[k] = Thread(target=self.process_and_forward, args=(k, outputs) + args,
                                    kwargs=kwargs)
            else:
                self.process_and_forward(k, outputs, *args, **kwargs)
        if threaded:
            threads[len(self.layer_array) - 1] = Thread(
                target=self.process_and_pre, args=(outputs,) + args, kwargs=kwargs)
        else:
            self.process_and_pre(outputs, *args, **kwargs)
        if threaded:
            for i in range(len(outputs)):
                threads[i].start()
            for i in range(len(outputs)):
                threads[i].join()
        for p in range(count):
            current = outputs[p]
            if len(self.layer_array) > 1:
                for q in range(p):
                    weight = self.skip_weights[p][q, :].view(self.view_tuple.tolist())
                    current = current + weight.to(current.device) * outputs[q]
                if p < count - 1:
                    current = GNV.pc.get_nvr_forward_function()(current)
            outputs[p] = current
        if self.processor_array[-1] is not None:
            current = self.processor_array[-1].post(current)
        return current


def make_floor(block, threaded):
    """The same work with nothing around it: the module calls (on threads when threaded) and
    the cascade's tensor operations, with every lookup done beforehand."""
    layers = list(block.layer_array)
    rows = [[block.skip_weights[p][q, :] for q in range(p)] for p in range(len(layers))]
    view = block.view_tuple.tolist()
    activation = GNV.pc.get_nvr_forward_function()
    count = len(layers)
    last = layers[-1]

    def run(x):
        if threaded:
            outputs = [None] * count

            def step(k):
                outputs[k] = layers[k](x) if k < count - 1 else last.forward(x)

            threads = [threading.Thread(target=step, args=(k,)) for k in range(count)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        else:
            outputs = [layer(x) for layer in layers[:-1]] + [last.forward(x)]
        for p in range(count):
            current = outputs[p]
            for q in range(p):
                current = current + rows[p][q].view(view).to(current.device) * outputs[q]
            if p < count - 1:
                current = activation(current)
            outputs[p] = current
        return current

    return run


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


def per_call(fns, repeats, target):
    """For each function, the minimum over `repeats` of the mean time of one call, with enough
    calls per repeat to last about `target` seconds. The functions take turns within each
    repeat, so that a slow spell on a shared machine hits all of them alike."""
    counts = []
    for fn in fns:
        fn()
        start = time.perf_counter()
        fn()
        counts.append(max(1, int(target / max(time.perf_counter() - start, 1e-9))))
    best = [float("inf")] * len(fns)
    for _ in range(repeats):
        for i, (fn, calls) in enumerate(zip(fns, counts)):
            start = time.perf_counter()
            for _ in range(calls):
                fn()
            best[i] = min(best[i], (time.perf_counter() - start) / calls)
    return best


def set_threading(value):
    global doing_threading
    doing_threading = value
    network_svp.doing_threading = value


def write_json(path, rows):
    """The measured rows, one object per table row, for plotting."""
    records = [{"L": count, "width": width, "batch": batch,
                "mode": "threaded" if threaded else "sequential",
                "cpp_us": ours * 1e6, "python_us": python * 1e6, "floor_us": floor * 1e6}
               for count, width, batch, threaded, ours, python, floor in rows]
    with open(path, "w") as f:
        json.dump({"benchmark": "forward_optimized", "rows": records}, f, indent=1)
        f.write("\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the table's rows to PATH as JSON (times in microseconds)")
    options = parser.parse_args()
    repeats, target = (3, 0.004) if options.quick else (12, 0.01)

    torch.set_num_threads(1)
    torch.manual_seed(0)
    GNV.pc.reset()
    rows = []
    header = "%2s %6s %5s %-10s %11s %11s %11s %8s %10s" % (
        "L", "width", "batch", "mode", "C++ us", "Python us", "floor us", "py/C++", "C++/floor")
    print(header)
    print("-" * len(header))
    began = time.perf_counter()
    with torch.inference_mode():
        for count in (1, 2, 4):
            for width in (16, 256, 2048):
                block = make_block(count, width)
                python = PyOptimizedModule(block)
                for batch in (1, 64):
                    x = torch.randn(batch, width)
                    for threaded in (False, True):
                        set_threading(threaded)
                        floor = make_floor(block, threaded)
                        want = floor(x)
                        for candidate in (block(x), python(x)):
                            torch.testing.assert_close(candidate, want, rtol=1e-5, atol=1e-5)
                        times = per_call([lambda: block(x), lambda: python(x), lambda: floor(x)],
                                         repeats, target)
                        rows.append((count, width, batch, threaded, *times))
                        mode = "threaded" if threaded else "sequential"
                        print("%2d %6d %5d %-10s %11.1f %11.1f %11.1f %7.2fx %10.2f" % (
                            count, width, batch, mode, times[0] * 1e6, times[1] * 1e6,
                            times[2] * 1e6, times[1] / times[0], times[0] / times[2]))
                        sys.stdout.flush()
    set_threading(False)
    if options.json:
        write_json(options.json, rows)

    print()
    slower = [r for r in rows if r[4] >= r[5]]
    small = [r[5] / r[4] for r in rows if r[1] == 16 and r[2] == 1]
    large = [r[4] / r[6] for r in rows if r[1] == 2048 and r[2] == 64]
    print("faster than the Python rendering: %d of %d sizes" % (len(rows) - len(slower), len(rows)))
    print("width 16, batch 1: %.2fx to %.2fx faster than Python (target 1.5x)"
          % (min(small), max(small)))
    print("width 2048, batch 64: %.3f to %.3f of the floor (target 1.10)" % (min(large), max(large)))
    print("total %.1f s" % (time.perf_counter() - began))


if __name__ == "__main__":
    main()
