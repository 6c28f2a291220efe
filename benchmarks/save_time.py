"""Where the time of sv_save_net goes at many small neurons: deep copy, writer, the package.

    python benchmarks/save_time.py [--quick]

Networks of 1,000, 2,000 and 4,000 Linear(8, 8) neuron modules with one dendrite each
(--quick: 250, 500 and 1,000), in two layouts:

    flat        one nn.Sequential of the neurons
    nested      a module whose ModuleList holds blocks, each an nn.Module with two neurons
                and an nn.Sequential of one more (so attribute walks and container walks mix)

Each size runs in a child process of its own (a fresh heap, so one size's garbage does not slow
the next). A save (safetensors mode) is timed whole; the companion's deep copies
(UNV.deep_copy_nvr) and the writer (save_file of the state dictionary, with the state_dict()
call that makes its argument) are timed inside it by wrapping them, and the package's own share
is the rest: the two walks, the block builds, contiguous parameters, putting the file in place
and freeing the private copy, with the garbage collections that fall into them ("of which gc").
The package's share should stay within one deep copy of the network (the save's own deep copy,
timed in the same run; a copy made alone is shown beside it) and grow linearly with the neuron
count (the "us/neuron" column stays flat). "deep copies" gives the number of copies in brackets.

The second table splits the package's share, each part timed on a ready deep copy: the rewrite
walk (blockwise_network) and the block builds inside it (convert_to_nvr_layer_block), the
rebuild walk (refresh_net) and the block builds inside it (make_module). Times are seconds of
process CPU time (the machine may be shared), each the smallest of the repeats.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

FULL, QUICK = (1000, 2000, 4000), (250, 500, 1000)
LAYOUTS = ("flat", "nested")


def child(layout, neurons, repeats):
    import torch
    import torch.nn as nn

    from nevrane import globals_nevrane as GNV
    from nevrane import utils_nevrane as UNV
    from sorvith import blockwise_svp as BSV
    from sorvith import slim_load as SL
    from sorvith import utils_svp

    class Block(nn.Module):
        def __init__(self):
            super().__init__()
            self.first = nn.Linear(8, 8)
            self.second = nn.Linear(8, 8)
            self.tail = nn.Sequential(nn.Linear(8, 8))

    class Nested(nn.Module):
        def __init__(self, count):
            super().__init__()
            self.blocks = nn.ModuleList([Block() for _ in range(count)])

    torch.set_num_threads(1)
    GNV.pc.reset()
    torch.manual_seed(0)
    if layout == "flat":
        plain = nn.Sequential(*[nn.Linear(8, 8) for _ in range(neurons)])
    else:
        plain = Nested(neurons // 3)
    net = UNV.initialize_nvr(plain)
    UNV.add_dendrites(net)
    counted = sum(1 for m in net.modules() if type(m).__name__ == "NVRNeuronModule")

    spent, inside = {}, []

    def timed(key, fn):
        def run(*args, **kwargs):
            if inside:  # a nested call (state_dict recurses through the children)
                return fn(*args, **kwargs)
            spent[key + " calls"] = spent.get(key + " calls", 0) + 1
            inside.append(key)
            start = time.process_time()
            try:
                return fn(*args, **kwargs)
            finally:
                spent[key] = spent.get(key, 0.0) + time.process_time() - start
                inside.pop()
        return run

    collecting = {}

    def on_collection(phase, info):
        if phase == "start":
            collecting["start"] = time.process_time()
        elif not inside and "start" in collecting:
            spent["gc"] = spent.get("gc", 0.0) + time.process_time() - collecting.pop("start")

    folder = tempfile.mkdtemp(prefix="sorvith-save-time-")
    deep_copy, save_file, state_dict = UNV.deep_copy_nvr, utils_svp.save_file, nn.Module.state_dict
    UNV.deep_copy_nvr = timed("copy", deep_copy)
    utils_svp.save_file = timed("writer", save_file)
    nn.Module.state_dict = timed("writer", state_dict)
    gc.callbacks.append(on_collection)
    saves = []
    try:
        for _ in range(repeats):
            gc.collect()
            spent.clear()  # (after the collection above, which the callback saw)
            start = time.process_time()
            utils_svp.sv_save_net(net, folder, "net")
            total = time.process_time() - start
            saves.append({"total": total, "copy": spent["copy"], "copies": spent["copy calls"],
                          "writer": spent["writer"], "gc": spent.get("gc", 0.0)})
    finally:
        gc.callbacks.remove(on_collection)
        UNV.deep_copy_nvr, utils_svp.save_file = deep_copy, save_file
        nn.Module.state_dict = state_dict
    save = min(saves, key=lambda s: s["total"])

    # One deep copy alone, for the goal: the package's share within one copy.
    copies = []
    for _ in range(repeats):
        gc.collect()
        start = time.process_time()
        UNV.deep_copy_nvr(net)
        copies.append(time.process_time() - start)

    convert, make = BSV.convert_to_nvr_layer_block, SL.make_module
    BSV.convert_to_nvr_layer_block = timed("rewrite blocks", convert)
    SL.make_module = timed("rebuild blocks", make)
    parts = []
    try:
        for _ in range(repeats):
            spent.clear()
            copy = UNV.deep_copy_nvr(net)
            gc.collect()
            start = time.process_time()
            rewritten = BSV.blockwise_network(copy)
            rewrite = time.process_time() - start
            gc.collect()
            start = time.process_time()
            SL.refresh_net(rewritten)
            rebuild = time.process_time() - start
            parts.append({"rewrite": rewrite, "rewrite blocks": spent["rewrite blocks"],
                          "rebuild": rebuild, "rebuild blocks": spent["rebuild blocks"]})
            del copy, rewritten
    finally:
        BSV.convert_to_nvr_layer_block, SL.make_module = convert, make
    part = min(parts, key=lambda p: p["rewrite"] + p["rebuild"])
    print(json.dumps({"neurons": counted, "save": save, "one_copy": min(copies), **part}))


def run_child(layout, neurons, repeats):
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", layout,
                           str(neurons), str(repeats)], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError((done.stderr.strip().splitlines() or ["failed"])[-1])
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller networks, one repeat")
    parser.add_argument("--child", nargs=3, metavar=("LAYOUT", "NEURONS", "REPEATS"),
                        help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        layout, neurons, repeats = options.child
        child(layout, int(neurons), int(repeats))
        return 0

    sizes, repeats = (QUICK, 1) if options.quick else (FULL, 3)
    results = []
    for layout in LAYOUTS:
        for neurons in sizes:
            results.append((layout, run_child(layout, neurons, repeats)))

    import sorvith
    print("package: %s" % os.path.dirname(os.path.abspath(sorvith.__file__)))
    print("Linear(8, 8) neuron modules, one dendrite each; seconds")
    print()
    print("| layout | neurons | save | deep copies | writer | package's share | of which gc "
          "| share / one copy | one copy alone | share us/neuron |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for layout, r in results:
        s = r["save"]
        share = s["total"] - s["copy"] - s["writer"]
        one_copy = s["copy"] / s["copies"]  # within the same save
        print("| %s | %d | %.2f | %.2f (%d) | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f |" % (
            layout, r["neurons"], s["total"], s["copy"], s["copies"], s["writer"], share,
            s["gc"], share / one_copy, r["one_copy"], share / r["neurons"] * 1e6))
    print()
    print("| layout | neurons | rewrite walk | its block builds | rebuild walk "
          "| its block builds | walks us/neuron |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for layout, r in results:
        print("| %s | %d | %.2f | %.2f | %.2f | %.2f | %.0f |" % (
            layout, r["neurons"], r["rewrite"], r["rewrite blocks"], r["rebuild"],
            r["rebuild blocks"], (r["rewrite"] + r["rebuild"]) / r["neurons"] * 1e6))
    return 0


if __name__ == "__main__":
    sys.exit(main())
