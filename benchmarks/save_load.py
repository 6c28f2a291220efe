"""Saving and loading a cleaned dendritic network, counting its parameters.

    python benchmarks/save_load.py [--quick]

The network: 32 Linear neuron modules of width 512 in an nn.Sequential, 3 dendrites each.
Every operation runs in one process beside a plain Python rendering of the same steps (over the
same extension functions, so it shows this module's own overhead) and beside its floor, the
bare work it cannot avoid:

    sv_save_net (safetensors)   one deep copy + save_file of the cleaned state dictionary
    sv_save_net, no syncs       the same save with os.fsync made a no-op: its difference from
                                the row above is what making the file durable costs
    load_nvr_model, load_net    load_file + load_state_dict into the finished network
    sv_count_params (training)  one pass over named_parameters
    sv_count_params (cleaned)   two deep copies + one pass over named_parameters

"walks" is the package's own work inside sv_save_net, timed directly: the blockwise rewrite
and the rebuild, each on a ready deep copy. Times are the minimum over the repeats.

Peak memory of a save is measured in a child process on Linux: the peak resident size is reset
through /proc/self/clear_refs just before sv_save_net, and VmHWM minus the resident size before
the call is reported as a multiple of the network's parameter bytes (resource.getrusage's
ru_maxrss cannot be reset, so elsewhere only its increase over the build's peak is shown, a
lower bound).
"""

import argparse
import gc
import json
import os
import re
import resource
import subprocess
import sys
import tempfile

import torch
import torch.nn as nn
from safetensors.torch import load_file, save_file

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import blockwise_svp as BSV
from sorvith import network_svp
from sorvith import slim_load as SL
from sorvith import utils_svp

from _support import best_of, load_floor, parameter_bytes, print_operations, quiet, save_floor

WIDTH, NEURONS, DENDRITES = 512, 32, 3


def plain():
    return nn.Sequential(*[nn.Linear(WIDTH, WIDTH) for _ in range(NEURONS)])


def dendritic():
    torch.manual_seed(0)
    net = UNV.initialize_nvr(plain())
    for _ in range(DENDRITES):
        UNV.add_dendrites(net)
    return net


# Python renderings of the module's functions, over the same companion and extension calls.
def py_sv_save_net(net, folder, name):
    net = UNV.deep_copy_nvr(net)
    os.makedirs(folder, exist_ok=True)
    net = SL.refresh_net(BSV.blockwise_network(net))
    del net.tracker_string
    for param in net.parameters():
        param.data = param.data.contiguous()
    save_file(net.state_dict(), folder + "/" + name + "_nvr.pt")


def py_load_net(net, folder, name):
    return UNV.load_net_from_dict(net, load_file(folder + "/" + name + ".pt"))


def py_count(net, training):
    if not training:
        net = SL.refresh_net(UNV.deep_copy_nvr(BSV.blockwise_network(UNV.deep_copy_nvr(net))))
    unique = {}
    for name, p in net.named_parameters():
        if "parent_module" not in name:
            unique[p.data_ptr()] = p
    return sum(p.numel() for p in unique.values())


class WithoutSync:
    """The os module with fsync made a no-op, set as utils_svp's late-bound `os`."""

    def __init__(self, os_module):
        self._os = os_module

    def __getattr__(self, name):
        return getattr(self._os, name)

    @staticmethod
    def fsync(fd):
        pass


def unsynced(fn):
    def run():
        utils_svp.os = WithoutSync(os)
        try:
            return fn()
        finally:
            utils_svp.os = os
    return run


def hwm_kib():
    match = re.search(r"VmHWM:\s+(\d+)", open("/proc/self/status").read())
    return int(match.group(1))


def rss_kib():
    match = re.search(r"VmRSS:\s+(\d+)", open("/proc/self/status").read())
    return int(match.group(1))


def measure_memory_child(folder):
    """In the child: peak memory added by one sv_save_net, as a JSON line."""
    GNV.pc.reset()
    net = dendritic()
    gc.collect()
    result = {"parameter_bytes": parameter_bytes(net)}
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = rss_kib()
        utils_svp.sv_save_net(net, folder, "net")
        result["method"] = "VmHWM after a reset, minus VmRSS before"
        result["extra_bytes"] = (hwm_kib() - before) * 1024
    except OSError:
        build_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        utils_svp.sv_save_net(net, folder, "net")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        scale = 1 if sys.platform == "darwin" else 1024
        result["method"] = "ru_maxrss increase over the build's peak (a lower bound)"
        result["extra_bytes"] = (peak - build_peak) * scale
    print(json.dumps(result))


def measure_memory(folder):
    run = subprocess.run([sys.executable, __file__, "--memory-child", folder],
                         capture_output=True, text=True, check=True)
    return json.loads(run.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="one repeat of each measurement")
    parser.add_argument("--memory-child", metavar="FOLDER", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.memory_child:
        measure_memory_child(options.memory_child)
        return
    repeat = 1 if options.quick else 4
    torch.set_num_threads(1)
    GNV.pc.reset()

    net = dendritic()
    folder = tempfile.mkdtemp(prefix="sorvith-bench-")
    path = folder + "/net_nvr.pt"
    utils_svp.sv_save_net(net, folder, "net")
    cleaned = utils_svp.clean_net(UNV.deep_copy_nvr(net))
    cleaned_state = cleaned.state_dict()
    try:
        converted = quiet(lambda: network_svp.load_nvr_model(plain(), path))()
    except Exception as error:  # reported in the table; the other rows still run
        converted = error

    rows = []
    ours, unsynced_ours, python, floor = best_of(
        repeat, lambda: utils_svp.sv_save_net(net, folder, "net"),
        unsynced(lambda: utils_svp.sv_save_net(net, folder, "net")),
        lambda: py_sv_save_net(net, folder, "py"),
        save_floor(net, cleaned_state, folder + "/floor.pt"))
    rows.append(("sv_save_net (safetensors)", ours, python, floor))
    rows.append(("sv_save_net, no syncs", unsynced_ours, None, floor))
    if isinstance(converted, Exception):
        rows.append(("load_nvr_model", converted, None, None))
    else:
        ours, floor = best_of(repeat, quiet(lambda: network_svp.load_nvr_model(plain(), path)),
                              load_floor(converted, path))
        rows.append(("load_nvr_model", ours, None, floor))
    ours, python, floor = best_of(repeat, lambda: utils_svp.load_net(cleaned, folder, "net_nvr"),
                                  lambda: py_load_net(cleaned, folder, "net_nvr"),
                                  load_floor(cleaned, path))
    rows.append(("load_net", ours, python, floor))
    for training in (True, False):
        GNV.pc.set_count_training_params(training)
        if training:
            floor = lambda: sum(p.numel() for _, p in net.named_parameters())  # noqa: E731
        else:
            floor = lambda: sum(  # noqa: E731
                p.numel() for _, p in UNV.deep_copy_nvr(UNV.deep_copy_nvr(net)).named_parameters())
        times = best_of(repeat, lambda: utils_svp.sv_count_params(net),
                        lambda: py_count(net, training), floor)
        rows.append(("sv_count_params (%s)" % ("training" if training else "cleaned"), *times))
    GNV.pc.reset()

    rewritten = BSV.blockwise_network(UNV.deep_copy_nvr(net))
    walks = (best_of(repeat, BSV.blockwise_network, setup=lambda: UNV.deep_copy_nvr(net))[0]
             + best_of(repeat, SL.refresh_net, setup=lambda: UNV.deep_copy_nvr(rewritten))[0])
    memory = measure_memory(folder + "/memory")

    print("network: %d Linear neurons, width %d, %d dendrites each; %.1f MB of parameters"
          % (NEURONS, WIDTH, DENDRITES, parameter_bytes(net) / 1e6))
    print_operations(rows)
    save_time = rows[0][1]
    print("package's own work in sv_save_net: walks %.1f ms = %.1f%% of the save (target < 20%%);"
          " save minus floor: %.1f%%" % (walks * 1e3, 100 * walks / save_time,
                                         100 * (save_time - rows[0][3]) / save_time))
    print("syncing the saved file and its folder: %.1f ms = %.1f%% of the save"
          % ((save_time - rows[1][1]) * 1e3, 100 * (save_time - rows[1][1]) / save_time))
    print("peak memory added by sv_save_net: %.2f x parameter bytes (%s)"
          % (memory["extra_bytes"] / memory["parameter_bytes"], memory["method"]))


if __name__ == "__main__":
    main()
