"""What the forward benchmarks share: the literal Python rendering of a block's forward, the
floor, the timing, the tables, the summary lines and the JSON file.

A helper module, not a benchmark: run_all.py passes over names starting with "_". The scripts
import it from their own folder, which Python puts first on sys.path for a script run by path.
"""

import argparse
import ctypes
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
                    if in_place:
                        current += self.skip_weights[p][q, :].view(self.view_tuple.tolist()).to(
                            current.device) * outputs[q]
                    else:
                        current = current + self.skip_weights[p][q, :].view(
                            self.view_tuple.tolist()).to(current.device) * outputs[q]
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


def steady_allocator():
    """Keep freed memory in the process. By default glibc's malloc hands large freed blocks
    back to the kernel, and the next call faults every page of them in again: at width 2048,
    batch 64 that is about 480 page faults a call for L = 4, which take longer than the
    arithmetic, and whether it happens depends on the order of allocations and frees in the
    process so far (the same code runs at 0.57 ms or 1.4 ms a call). With the thresholds
    pinned, the tables compare the work itself. Returns whether it could (glibc only)."""
    try:
        libc = ctypes.CDLL(None)
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
    return bool(mallopt(M_TRIM_THRESHOLD, 1 << 30) and mallopt(M_MMAP_THRESHOLD, 1 << 25))


def prepare(quick, full_repeats):
    """Single-threaded torch, fixed seed, fresh companion state, a steady allocator; the
    (repeats, target seconds) to time with."""
    if steady_allocator():
        print("glibc malloc: trim and mmap thresholds raised (freed memory stays in the process)")
    torch.set_num_threads(1)
    torch.manual_seed(0)
    GNV.pc.reset()
    return (3, 0.004) if quick else (full_repeats, 0.01)


# The sizes of the forward tables: L positions (L - 1 dendrites and the main module), each
# Linear(INPUTS, width), at each batch.
COUNTS, WIDTHS, BATCHES, INPUTS = (2, 4, 6), (16, 256, 2048), (1, 64), 8


def measure(build, context, module, repeats, target):
    """Print one table and return its rows (L, width, batch, threaded, C++ s, Python s, floor s).
    `build(L, width)` gives the block and its PyBlock, which run under `context()` (the block is
    built outside it, as a network is loaded before it runs); `module` is the extension module
    whose `doing_threading` is switched."""
    header = "%2s %6s %5s %-10s %10s %11s %10s %10s %10s" % (
        "L", "width", "batch", "mode", "C++ us", "Python us", "floor us", "C++/floor",
        "py/floor")
    print(header)
    print("-" * len(header))
    rows = []
    for count in COUNTS:
        for width in WIDTHS:
            block, python = build(count, width)
            for batch in BATCHES:
                x = torch.randn(batch, INPUTS)
                for threaded in (False, True):
                    set_threading(module, threaded)
                    with context():
                        floor = make_floor(python, threaded)
                        want = floor(x)
                        for candidate in (block(x), python(x)):
                            torch.testing.assert_close(candidate, want, rtol=1e-5, atol=1e-5)
                        times = per_call([lambda: block(x), lambda: python(x),
                                          lambda: floor(x)], repeats, target)
                    rows.append((count, width, batch, threaded, *times))
                    print("%2d %6d %5d %-10s %10.1f %11.1f %10.1f %10.2f %10.2f" % (
                        count, width, batch, "threaded" if threaded else "sequential",
                        times[0] * 1e6, times[1] * 1e6, times[2] * 1e6, times[0] / times[2],
                        times[1] / times[2]))
                    sys.stdout.flush()
    set_threading(module, False)
    return rows


def summary(rows):
    """The lines under a table: the package over the floor where the goals are set, and what
    threaded mode costs per call over sequential mode."""
    sequential = {r[:3]: r for r in rows if not r[3]}

    def ratios(width, batch):
        return ", ".join("L=%d %.2f" % (c, sequential[(c, width, batch)][4] /
                                         sequential[(c, width, batch)][6]) for c in COUNTS)

    extra = [r[4] - sequential[r[:3]][4] for r in rows if r[3]]
    return [
        "C++/floor, width 16, batch 1: %s (goal 1.25)" % ratios(16, 1),
        "C++/floor, width 2048, batch 64: %s (goal 1.10)" % ratios(2048, 64),
        "threaded over sequential, per call: %.0f to %.0f us; width 16, batch 1: %s" % (
            min(extra) * 1e6, max(extra) * 1e6,
            ", ".join("L=%d %+.0f us" % (r[0], (r[4] - sequential[r[:3]][4]) * 1e6)
                      for r in rows if r[3] and r[1] == 16 and r[2] == 1)),
    ]


def parse_options(doc):
    """--quick and --json PATH, the options of every forward benchmark. run_all.py looks for
    "--quick" and "--json" in a script's text: each script that calls this names them."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats")
    parser.add_argument("--json", metavar="PATH",
                        help="also write the tables' rows to PATH as JSON (times in microseconds)")
    return parser.parse_args()


class CleanedLayer(nn.Module):
    """What a cleaned block is made from: L Linear(8, W) modules and the skip tensor."""

    def __init__(self, count, width):
        super().__init__()
        self.layer_array = nn.Sequential(*[nn.Linear(INPUTS, width) for _ in range(count)])
        self.processor_array = [None] * count
        self.skip_weights = nn.Parameter(torch.randn(count, count, width) * 0.1)
        self.node_index = torch.tensor(1)
        self.register_buffer("module_id", torch.tensor([1, 2, 3]))
        self.register_buffer("num_cycles", torch.tensor(2 * (count - 1)))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


def run(name, doc, build, module):
    """The main of a forward benchmark: a table in inference mode and one with autograd on,
    their summaries, and the JSON file. `build(L, width, grad)` gives the block and its
    PyBlock, with parameters that require grad when `grad`."""
    options = parse_options(doc)
    repeats, target = prepare(options.quick, 10)
    began = time.perf_counter()
    tables, lines = [], []
    for grad, title, context in ((False, "inference mode", torch.inference_mode),
                                 (True, "autograd on", torch.enable_grad)):
        print(title)
        rows = measure(lambda count, width: build(count, width, grad), context, module,
                       repeats, target)
        tables.append((grad, rows))
        lines += ["%s: %s" % (title, line) for line in summary(rows)]
        print()
    if options.json:
        write_json(options.json, name, tables)
    for line in lines:
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
