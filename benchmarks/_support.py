"""What the benchmarks share: the interleaved best-of timer, the floors, the table printing,
the forward benchmarks' Python rendering, sizes, main and JSON rows.

A helper module, not a benchmark: run_all.py passes over names starting with "_". The scripts
import it from their own folder, which Python puts first on sys.path for a script run by path.
The Python rendering of a block's forward is the tests' own (tests/support/blocks.py), so that
what the benchmarks time is what the tests compare the blocks with; this module puts tests/ on
sys.path to import it.
"""

import argparse
import contextlib
import ctypes
import gc
import io
import json
import math
import os
import sys
import threading
import time

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))
from support.blocks import CleanedLayer, loaded_block, written_out  # noqa: E402

# The Python rendering reads these module-level names at each call, as the extension does.
doing_threading = False
Thread = threading.Thread


def best_of(repeat, *fns, setup=None, target=None, collect=True):
    """The least time of one call of each function over `repeat` rounds, in their order. Within
    a round the functions take turns, so that a slow spell of a shared machine falls on none of
    them in particular.

    setup:   called before each timed call, outside the timing; the call is fn(setup())
    target:  seconds: each turn makes as many calls as last about that long (counted from one
             call after a warm-up one) and its time is their mean
    collect: gc.collect() before each turn, so that no function's time includes a collection
             of the garbage another one left. A collection takes about 0.1 s here with torch
             loaded: the forward benchmarks, whose turns last milliseconds and number in the
             thousands, time without it.
    """
    counts = [1] * len(fns)
    if target is not None:
        counts = []
        for fn in fns:
            fn()
            start = time.perf_counter()
            fn()
            counts.append(max(1, int(target / max(time.perf_counter() - start, 1e-9))))
    best = [math.inf] * len(fns)
    for _ in range(repeat):
        for i, (fn, calls) in enumerate(zip(fns, counts)):
            value = setup() if setup is not None else None
            if collect:
                gc.collect()
            start = time.perf_counter()
            if setup is not None:
                fn(value)
            else:
                for _ in range(calls):
                    fn()
            best[i] = min(best[i], (time.perf_counter() - start) / calls)
    return best


def save_floor(net, state, path):
    """The floor of sv_save_net: one deep copy of the dendritic `net` (the save's own private
    copy) and save_file of the cleaned network's state dictionary."""
    from safetensors.torch import save_file

    def run():
        UNV.deep_copy_nvr(net)
        save_file(state, path)
    return run


def load_floor(module, path):
    """The floor of a load: load_file and load_state_dict into the finished network."""
    from safetensors.torch import load_file
    return lambda: module.load_state_dict(load_file(path))


def parameter_bytes(net):
    return sum(p.numel() * p.element_size() for p in net.parameters())


def quiet(fn):
    """fn without the progress lines that conversion prints."""
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            return fn()
    return run


def print_header(header):
    """A table's header line, underlined."""
    print(header)
    print("-" * len(header))


def print_operations(rows, python=True):
    """The table of whole operations: (label, ours, python, floor) rows in seconds, shown in
    milliseconds with ours over the floor; `ours` may be the exception the operation raised,
    and the Python column is left out unless `python`."""
    if python:
        print("%-28s %10s %10s %10s %8s" % ("operation", "ours ms", "python ms", "floor ms",
                                            "/floor"))
    else:
        print("%-28s %10s %10s %8s" % ("operation", "ours ms", "floor ms", "/floor"))
    for label, ours, theirs, floor in rows:
        if isinstance(ours, Exception):
            print("%-28s failed: %s" % (label, str(ours).splitlines()[0][:80]))
            continue
        if python:
            print("%-28s %10.1f %10s %10.1f %8.2f" % (
                label, ours * 1e3, "-" if theirs is None else "%.1f" % (theirs * 1e3),
                floor * 1e3, ours / floor))
        else:
            print("%-28s %10.1f %10.1f %8.2f" % (label, ours * 1e3, floor * 1e3, ours / floor))


class PyBlock(nn.Module):
    """A block's forward written in Python (the tests' rendering), over the block's own
    attributes, threaded when this module's `doing_threading` is true. With `in_place` the
    cascade adds each skip term into the layer's output (``+=``), else into a new tensor
    (``+``)."""

    def __init__(self, block, in_place):
        super().__init__()
        self.in_place = in_place
        self.layer_array = block.layer_array
        self.processor_array = block.processor_array
        self.skip_weights = block.skip_weights
        self.register_buffer("view_tuple", block.view_tuple)

    def forward(self, *args, **kwargs):
        return written_out(self, *args, in_place=self.in_place, threaded=doing_threading,
                           Thread=Thread, **kwargs)


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


def cleaned_layer(count, width):
    """What a cleaned block is made from: L Linear(8, W) modules and the skip tensor."""
    return CleanedLayer(count, width, INPUTS, scale=0.1, module_id=(1, 2, 3))


def loaded(count, width):
    """An optimised block as loading leaves it: L Linear(8, W) positions, no processors."""
    return loaded_block(count, width, INPUTS, scale=0.1)


def measure(build, context, module, repeats, target):
    """Print one table and return its rows (L, width, batch, threaded, C++ s, Python s, floor s).
    `build(L, width)` gives the block and its PyBlock, which run under `context()` (the block is
    built outside it, as a network is loaded before it runs); `module` is the extension module
    whose `doing_threading` is switched."""
    header = "%2s %6s %5s %-10s %10s %11s %10s %10s %10s" % (
        "L", "width", "batch", "mode", "C++ us", "Python us", "floor us", "C++/floor",
        "py/floor")
    print_header(header)
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
                        times = best_of(repeats, lambda: block(x), lambda: python(x),
                                        lambda: floor(x), target=target, collect=False)
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


def write_rows(path, benchmark, records, labels=None):
    """The JSON file run_all.py reads: the benchmark's name and its rows, one object each, and
    the names of its three times (cpp_us, python_us, floor_us) in the plot when they are not
    the package's, the Python rendering's and the floor's."""
    data = {"benchmark": benchmark, "rows": records}
    if labels:
        data["labels"] = list(labels)
    with open(path, "w") as f:
        json.dump(data, f, indent=1)
        f.write("\n")
