"""What forward_cleaned.py and forward_optimized.py share: the plain Python rendering of a block's
forward, the floor, the timing, the table, the summary lines and the JSON file.

A helper module, not a benchmark: run_all.py passes over names starting with "_". The scripts
import it from their own folder, which Python puts first on sys.path for a script run by path.
"""

import json
import sys
import threading
import time

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV

# The Python rendering reads these module-level names at each call, as the extension does.
doing_threading = False
Thread = threading.Thread


class PyBlock(nn.Module):
    """A block's forward written in Python, over the block's own attributes. With `in_place` the
    cascade adds each skip term into the layer's output (``+=``), else into a new tensor (``+``)."""

    def __init__(self, block, in_place):
        super().__init__()
        self.in_place = in_place
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
        in_place = self.in_place
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
                    term = self.skip_weights[p][q, :].view(self.view_tuple.tolist()).to(
                        current.device) * outputs[q]
                    if in_place:
                        current += term
                    else:
                        current = current + term
                if p < count - 1:
                    current = GNV.pc.get_nvr_forward_function()(current)
            outputs[p] = current
        if self.processor_array[-1] is not None:
            current = self.processor_array[-1].post(current)
        return current


def make_floor(rendering, threaded):
    """The work no rendering can avoid: the module calls (on threads when threaded), one
    multiply and one add per (receiving, contributing) pair (in place when the rendering adds
    in place) and the activations, with the weight rows already shaped and every lookup done
    beforehand. Built from a PyBlock, whose attributes are the block's own."""
    layers = list(rendering.layer_array)
    view = rendering.view_tuple.tolist()
    rows = [[rendering.skip_weights[p][q, :].view(view) for q in range(p)]
            for p in range(len(layers))]
    activation = GNV.pc.get_nvr_forward_function()
    in_place = rendering.in_place
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
            outputs = [layer(x) for layer in layers[:-1]] + [last.forward(x)]
        for p in range(count):
            current = outputs[p]
            if in_place:
                for q in range(p):
                    current += rows[p][q] * outputs[q]
            else:
                for q in range(p):
                    current = current + rows[p][q] * outputs[q]
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


def set_threading(module, value):
    """Switch threading for the Python rendering and for the extension `module`."""
    global doing_threading
    doing_threading = value
    module.doing_threading = value


def prepare(quick, full_repeats):
    """Single-threaded torch, fixed seed, fresh companion state; the (repeats, target seconds)
    to time with."""
    torch.set_num_threads(1)
    torch.manual_seed(0)
    GNV.pc.reset()
    return (3, 0.004) if quick else (full_repeats, 0.01)


def measure(sizes, build, module, repeats, target, time_width):
    """Print one table and return its rows (L, width, batch, threaded, C++ s, Python s, floor s).
    `sizes` holds (L, width, batches); `build(L, width)` gives the block and its PyBlock;
    `module` is the extension module whose `doing_threading` is switched; `time_width` is the
    width of the C++ and floor columns."""
    header = "%2s %6s %5s %-10s %*s %11s %*s %8s %10s" % (
        "L", "width", "batch", "mode", time_width, "C++ us", "Python us", time_width, "floor us",
        "py/C++", "C++/floor")
    print(header)
    print("-" * len(header))
    rows = []
    for count, width, batches in sizes:
        block, python = build(count, width)
        for batch in batches:
            x = torch.randn(batch, width)
            for threaded in (False, True):
                set_threading(module, threaded)
                floor = make_floor(python, threaded)
                want = floor(x)
                for candidate in (block(x), python(x)):
                    torch.testing.assert_close(candidate, want, rtol=1e-5, atol=1e-5)
                times = per_call([lambda: block(x), lambda: python(x), lambda: floor(x)],
                                 repeats, target)
                rows.append((count, width, batch, threaded, *times))
                print("%2d %6d %5d %-10s %*.1f %11.1f %*.1f %7.2fx %10.2f" % (
                    count, width, batch, "threaded" if threaded else "sequential",
                    time_width, times[0] * 1e6, times[1] * 1e6, time_width, times[2] * 1e6,
                    times[1] / times[0], times[0] / times[2]))
                sys.stdout.flush()
    set_threading(module, False)
    return rows


def print_summary(rows, began, extra=()):
    """The lines under the main table, then `extra` lines, then the total time."""
    print()
    slower = [r for r in rows if r[4] >= r[5]]
    small = [r[5] / r[4] for r in rows if r[1] == 16 and r[2] == 1]
    large = [r[4] / r[6] for r in rows if r[1] == 2048 and r[2] == 64]
    print("faster than the Python rendering: %d of %d sizes" % (len(rows) - len(slower), len(rows)))
    print("width 16, batch 1: %.2fx to %.2fx faster than Python (target 1.5x)"
          % (min(small), max(small)))
    print("width 2048, batch 64: %.3f to %.3f of the floor (target 1.10)"
          % (min(large), max(large)))
    for line in extra:
        print(line)
    print("total %.1f s" % (time.perf_counter() - began))


def write_json(path, benchmark, tables):
    """The measured rows, one object per table row, for plotting. `tables` holds (autograd,
    rows) pairs; an `autograd` of None leaves that field out of the rows."""
    records = []
    for grad, table in tables:
        for count, width, batch, threaded, ours, python, floor in table:
            record = {"L": count, "width": width, "batch": batch,
                      "mode": "threaded" if threaded else "sequential"}
            if grad is not None:
                record["autograd"] = grad
            record.update(cpp_us=ours * 1e6, python_us=python * 1e6, floor_us=floor * 1e6)
            records.append(record)
    write_rows(path, benchmark, records)


def write_rows(path, benchmark, records):
    """The JSON file run_all.py reads: the benchmark's name and its rows, one object each."""
    with open(path, "w") as f:
        json.dump({"benchmark": benchmark, "rows": records}, f, indent=1)
        f.write("\n")
