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
import json
import sys
import threading
import time

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from sorvith import slim_load

# The Python rendering reads these module-level names at each call, as the extension does.
doing_threading = False
Thread = threading.Thread


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


class PyThreadModule(nn.Module):
    """The cleaned block's forward written in Python, over the same attributes."""

    def __init__(self, original_module):
        super().__init__()
        self.layer_array = original_module.layer_array
        self.processor_array = original_module.processor_array
        self.skip_weights = original_module.skip_weights
        self.register_buffer("node_index", original_module.node_index.clone().detach())
        self.register_buffer("module_id", original_module.module_id.clone().detach())
        self.register_buffer("num_cycles", original_module.num_cycles)
        self.register_buffer("view_tuple", original_module.view_tuple)

    def process_and_forward(self, *args2, **kwargs2):
        c, dendrite_outs, args2 = args2[0], args2[1], args2[2:]
        if self.processor_array[c] != None:  # noqa: E711 (the `!=` test is the behaviour)
            args2, kwargs2 = self.processor_array[c].pre(*args2, **kwargs2)
        out_values = self.layer_array[c](*args2, **kwargs2)
        if self.processor_array[c] != None:  # noqa: E711
            out = self.processor_array[c].post(out_values)
        else:
            out = out_values
        dendrite_outs[c] = out

    def process_and_pre(self, *args, **kwargs):
        dendrite_outs, args = args[0], args[1:]
        out = self.layer_array[-1].forward(*args, **kwargs)
        if self.processor_array[-1] is not None:
            out = self.processor_array[-1].pre(out)
        dendrite_outs[len(self.layer_array) - 1] = out

    def forward(self, *args, **kwargs):
        doing_multi = doing_threading
        dendrite_outs = [None] * len(self.layer_array)
        threads = {}
        for c in range(0, len(self.layer_array) - 1):
            if doing_multi:
                threads[c] = Thread(target=self.process_and_forward,
                                    args=(c, dendrite_outs, *args), kwargs=kwargs)
            else:
                self.process_and_forward(c, dendrite_outs, *args, **kwargs)
        if doing_multi:
            threads[len(self.layer_array) - 1] = Thread(
                target=self.process_and_pre, args=(dendrite_outs, *args), kwargs=kwargs)
        else:
            self.process_and_pre(dendrite_outs, *args, **kwargs)
        if doing_multi:
            for i in range(len(dendrite_outs)):
                threads[i].start()
            for i in range(len(dendrite_outs)):
                threads[i].join()
        for out_index in range(len(self.layer_array)):
            current_out = dendrite_outs[out_index]
            if len(self.layer_array) > 1:
                for in_index in range(0, out_index):
                    current_out += self.skip_weights[out_index][in_index, :].view(
                        self.view_tuple.tolist()).to(current_out.device) * dendrite_outs[in_index]
                if out_index < len(self.layer_array) - 1:
                    current_out = GNV.pc.get_nvr_forward_function()(current_out)
            dendrite_outs[out_index] = current_out
        if self.processor_array[-1] is not None:
            current_out = self.processor_array[-1].post(current_out)
        return current_out


def make_floor(layer, threaded):
    """The same work with nothing around it: the module calls (on threads when threaded) and
    the cascade's tensor operations, with every lookup done beforehand."""
    layers = list(layer.layer_array)
    rows = [[layer.skip_weights[p][q, :] for q in range(p)] for p in range(len(layers))]
    view = layer.view_tuple.tolist()
    activation = GNV.pc.get_nvr_forward_function()
    count, last = len(layers), layers[-1]

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
            outputs = [m(x) for m in layers[:-1]] + [last.forward(x)]
        for p in range(count):
            current = outputs[p]
            for q in range(p):
                current += rows[p][q].view(view).to(current.device) * outputs[q]
            if p < count - 1:
                current = activation(current)
            outputs[p] = current
        return current

    return run


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
    slim_load.doing_threading = value


HEADER = "%2s %6s %5s %-10s %10s %11s %10s %8s %10s" % (
    "L", "width", "batch", "mode", "C++ us", "Python us", "floor us", "py/C++", "C++/floor")


def measure(sizes, repeats, target, rows):
    print(HEADER)
    print("-" * len(HEADER))
    for count, width, batches in sizes:
        layer = Layer(count, width).requires_grad_(torch.is_grad_enabled())
        block, python = slim_load.NVRModulePyThread(layer), PyThreadModule(layer)
        for batch in batches:
            x = torch.randn(batch, width)
            for threaded in (False, True):
                set_threading(threaded)
                floor = make_floor(layer, threaded)
                want = floor(x)
                for candidate in (block(x), python(x)):
                    torch.testing.assert_close(candidate, want, rtol=1e-5, atol=1e-5)
                times = per_call([lambda: block(x), lambda: python(x), lambda: floor(x)],
                                 repeats, target)
                rows.append((count, width, batch, threaded, *times))
                print("%2d %6d %5d %-10s %10.1f %11.1f %10.1f %7.2fx %10.2f" % (
                    count, width, batch, "threaded" if threaded else "sequential",
                    times[0] * 1e6, times[1] * 1e6, times[2] * 1e6, times[1] / times[0],
                    times[0] / times[2]))
                sys.stdout.flush()
    set_threading(False)


def write_json(path, rows, grad_rows):
    """The measured rows of both tables, one object per table row, for plotting."""
    records = [{"L": count, "width": width, "batch": batch,
                "mode": "threaded" if threaded else "sequential", "autograd": grad,
                "cpp_us": ours * 1e6, "python_us": python * 1e6, "floor_us": floor * 1e6}
               for grad, table in ((False, rows), (True, grad_rows))
               for count, width, batch, threaded, ours, python, floor in table]
    with open(path, "w") as f:
        json.dump({"benchmark": "forward_cleaned", "rows": records}, f, indent=1)
        f.write("\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the tables' rows to PATH as JSON (times in microseconds)")
    options = parser.parse_args()
    repeats, target = (3, 0.004) if options.quick else (10, 0.01)

    torch.set_num_threads(1)
    torch.manual_seed(0)
    GNV.pc.reset()
    began = time.perf_counter()
    rows = []
    print("inference mode")
    with torch.inference_mode():
        measure([(n, w, (1, 64)) for n in (1, 2, 4) for w in (16, 256, 2048)], repeats, target,
                rows)
    print("\nautograd on")
    grad_rows = []
    measure([(n, 16, (1,)) for n in (1, 2, 4)], repeats, target, grad_rows)
    if options.json:
        write_json(options.json, rows, grad_rows)

    print()
    slower = [r for r in rows if r[4] >= r[5]]
    small = [r[5] / r[4] for r in rows if r[1] == 16 and r[2] == 1]
    large = [r[4] / r[6] for r in rows if r[1] == 2048 and r[2] == 64]
    print("faster than the Python rendering: %d of %d sizes" % (len(rows) - len(slower), len(rows)))
    print("width 16, batch 1: %.2fx to %.2fx faster than Python (target 1.5x)"
          % (min(small), max(small)))
    print("width 2048, batch 64: %.3f to %.3f of the floor (target 1.10)"
          % (min(large), max(large)))
    sequential = {r[:3]: r[4] for r in rows if not r[3]}
    extra = ["L=%d batch %d: %+.1f us" % (r[0], r[2], (r[4] - sequential[r[:3]]) * 1e6)
             for r in rows if r[3] and r[1] == 16]
    print("threaded over sequential, width 16, per call: " + ", ".join(extra))
    print("total %.1f s" % (time.perf_counter() - began))


if __name__ == "__main__":
    main()
