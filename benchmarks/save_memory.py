"""Peak memory of saving and loading, as a multiple of the network's parameter bytes.

    python benchmarks/save_memory.py [--quick]

The network: a stack of wide Linear neuron modules with one dendrite each, in an nn.Sequential
(width 2048, about 64 MB, 256 MB and 1 GB of parameters; --quick: width 1024, about 17, 34 and
67 MB). Each cell is one operation in a child process of its own: everything it needs is built
first, then the child's peak resident size is reset (Linux: /proc/self/clear_refs) and the
operation runs. The cell is resource.getrusage(RUSAGE_SELF).ru_maxrss after the call minus the
resident size just before it, over the network's parameter bytes: what the call adds at its
peak. A value near 0 means the call holds nothing beyond what the process held already.

    sv_save_net (...)           a save of the dendritic network in each storage mode
    save_file floor             save_file(net.state_dict()) of the same network
    load_nvr_model              a fresh Sequential of Linear modules, converted and loaded
    load_net                    the saved file read back into a cleaned network
    load_file floor             load_file + load_state_dict into the network load_nvr_model gave

load_nvr_model starts from the unconverted network (the main modules: half the bytes here) and
adds the dendrite copies as well as the tensors read from the file, so at the same peak as its
floor, which starts from the finished network, its cell is half a network higher.

Where the peak cannot be reset (not Linux), the set-up's own peak may show in the cell.
"""

import argparse
import ctypes
import gc
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile

# Neuron count per size, and the width, in full and quick runs.
FULL = (2048, (2, 8, 32))
QUICK = (1024, (2, 4, 8))

OPERATIONS = [
    ("sv_save_net (safetensors)", "save_safetensors"),
    ("sv_save_net (torch.save)", "save_torch"),
    ("sv_save_net (weight tying)", "save_tying"),
    ("save_file floor", "save_floor"),
    ("load_nvr_model", "load_nvr_model"),
    ("load_net", "load_net"),
    ("load_file floor", "load_floor"),
]


# ---- the child: one measured call ----------------------------------------------------------

def rss_bytes():
    """The resident size now (Linux), else the peak so far (the cell is then a lower bound)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return peak_bytes()


def settle():
    """Drops what the set-up freed, so that the resident size before the call is what is live."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    scale = 1 if sys.platform == "darwin" else 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale


def child(operation, width, neurons, folder):
    import torch
    import torch.nn as nn
    from safetensors.torch import load_file, save_file

    from nevrane import globals_nevrane as GNV
    from nevrane import utils_nevrane as UNV
    from sorvith import network_svp, utils_svp

    torch.set_num_threads(1)
    GNV.pc.reset()

    def plain():
        return nn.Sequential(*[nn.Linear(width, width) for _ in range(neurons)])

    def dendritic():
        torch.manual_seed(0)
        net = UNV.initialize_nvr(plain())
        UNV.add_dendrites(net)
        return net

    path = os.path.join(folder, "net_nvr.pt")
    with torch.no_grad():
        reference = dendritic()
    network_bytes = sum(p.numel() * p.element_size() for p in reference.parameters())

    if operation.startswith("save_"):
        net = reference
        if operation == "save_torch":
            GNV.pc.set_using_safe_tensors(False)
        elif operation == "save_tying":
            GNV.pc.set_weight_tying_experimental(True)
        target = os.path.join(folder, operation)
        if operation == "save_floor":
            state = net.state_dict()
            call = lambda: save_file(state, target + ".safetensors")  # noqa: E731
        else:
            call = lambda: utils_svp.sv_save_net(net, target, "net")  # noqa: E731
    else:
        del reference
        if operation == "load_net":
            net = utils_svp.clean_net(dendritic())
            call = lambda: utils_svp.load_net(net, folder, "net_nvr")  # noqa: E731
        elif operation == "load_nvr_model":
            fresh = plain()
            call = lambda: network_svp.load_nvr_model(fresh, path)  # noqa: E731
        else:
            net = network_svp.load_nvr_model(plain(), path)
            call = lambda: net.load_state_dict(load_file(path))  # noqa: E731
    settle()
    was_reset = reset_peak()
    before = rss_bytes()
    call()
    extra = max(peak_bytes() - before, 0)  # (a call that only frees adds nothing)
    print(json.dumps({"network_bytes": network_bytes, "extra_bytes": extra,
                      "reset": was_reset}))


def prepare(width, neurons, folder):
    """Writes the file the load rows read: a safetensors save of the dendritic network."""
    import torch
    import torch.nn as nn

    from nevrane import globals_nevrane as GNV
    from nevrane import utils_nevrane as UNV
    from sorvith import utils_svp

    GNV.pc.reset()
    torch.manual_seed(0)
    with torch.no_grad():
        net = UNV.initialize_nvr(nn.Sequential(*[nn.Linear(width, width)
                                                 for _ in range(neurons)]))
        UNV.add_dendrites(net)
    utils_svp.sv_save_net(net, folder, "net")


# ---- the parent: no torch, only children ---------------------------------------------------

def run_child(*args):
    done = subprocess.run([sys.executable, os.path.abspath(__file__)] + [str(a) for a in args],
                          capture_output=True, text=True)
    if done.returncode != 0:
        tail = done.stderr.strip().splitlines()[-1:] or ["exit status %d" % done.returncode]
        raise RuntimeError(tail[0])
    lines = done.stdout.strip().splitlines()
    return json.loads(lines[-1]) if lines else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller networks")
    parser.add_argument("--child", nargs=4, metavar=("OP", "WIDTH", "NEURONS", "FOLDER"),
                        help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        operation, width, neurons, folder = options.child
        if operation == "prepare":
            prepare(int(width), int(neurons), folder)
        else:
            child(operation, int(width), int(neurons), folder)
        return 0

    width, counts = QUICK if options.quick else FULL
    cells, sizes, unreset = {}, [], False
    for neurons in counts:
        folder = tempfile.mkdtemp(prefix="sorvith-memory-")
        try:
            run_child("--child", "prepare", width, neurons, folder)
            size = None
            for label, operation in OPERATIONS:
                try:
                    result = run_child("--child", operation, width, neurons, folder)
                except RuntimeError as error:
                    cells[label, neurons] = "failed: %s" % str(error)[:40]
                    continue
                size = result["network_bytes"]
                unreset |= not result["reset"]
                cells[label, neurons] = "%.2f" % (result["extra_bytes"] / size)
            sizes.append((neurons, size))
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    import sorvith
    print("package: %s" % os.path.dirname(os.path.abspath(sorvith.__file__)))
    print("network: nn.Sequential of Linear(%d, %d) neuron modules, one dendrite each" % (
        width, width))
    print("cells: peak resident size added by the call / the network's parameter bytes")
    print()
    head = ["operation"] + ["%d neurons, %s" % (n, megabytes(b)) for n, b in sizes]
    print("| " + " | ".join(head) + " |")
    print("|---" + "|---:" * len(sizes) + "|")
    for label, _ in OPERATIONS:
        print("| " + " | ".join([label] + [cells.get((label, n), "-") for n, _ in sizes]) + " |")
    if unreset:
        print("\nthe peak could not be reset before the call: cells may show the set-up's peak")
    return 0


def megabytes(size):
    return "? MB" if size is None else "%.0f MB" % (size / 1e6)


if __name__ == "__main__":
    sys.exit(main())
