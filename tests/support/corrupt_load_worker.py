"""Loads damaged files one after another and reports, for each, what the loaders did.

    python tests/support/corrupt_load_worker.py LIST.json FIRST MEMORY_BYTES

Run by test_corrupt_files.py. LIST.json holds [path, mode] pairs (mode: the storage mode the
file was written in); the worker starts at index FIRST. Once torch and the package are imported,
the address space is capped at its size then plus MEMORY_BYTES, so that a load that tries to
build far more than the file holds fails instead of taking the machine's memory. For each file
it prints JSON lines, flushed at once: {"phase": ...} as each step starts, so that the caller
can tell where a worker died or stopped, then the results: the outcome of load_net in the
file's mode, and for files in the safetensors format the outcome of load_nvr_model and, when
that accepted the file, of one forward call. An outcome is "accepted", an exception's qualified
type name, or "memory" when the exception was an allocation failure.
"""

import contextlib
import io
import json
import os
import re
import resource
import sys
import time

import torch

# tests/, so that the networks unpickle by their module's name, support.dendritic_net.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from support import dendritic_net as DN  # noqa: E402
from support.storage import use_mode  # noqa: E402
from nevrane import globals_nevrane as GNV  # noqa: E402
from sorvith import network_svp, utils_svp  # noqa: E402



def outcome(error):
    if error is None:
        return "accepted"
    if isinstance(error, MemoryError) or "can't allocate memory" in str(error):
        return "memory"
    kind = type(error)
    return kind.__name__ if kind.__module__ == "builtins" else "%s.%s" % (kind.__module__,
                                                                          kind.__qualname__)


def attempt(fn):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return fn(), None
    except Exception as error:  # every failure is an outcome to report
        return None, error


def cap_memory(extra):
    size = int(re.search(r"VmSize:\s+(\d+)", open("/proc/self/status").read()).group(1)) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))


def phase(name):
    print(json.dumps({"phase": name}), flush=True)


def main(listing, first, extra):
    torch.set_num_threads(1)
    files = json.load(open(listing))
    x = DN.inputs()
    DN.configure()
    # One cleaned network receives every load_net: a failed load changes values, never shapes.
    target = utils_svp.clean_net(DN.dendritic(seed=7))
    cap_memory(extra)
    for path, mode in files[first:]:
        started = time.perf_counter()
        GNV.pc.reset()
        DN.configure()
        use_mode(mode)
        folder, name = os.path.split(path)
        phase("load_net")
        _, error = attempt(lambda: utils_svp.load_net(target, folder, name[:-3]))
        result = {"file": os.path.basename(path), "mode": mode, "load_net": outcome(error)}
        if mode != "torch":
            phase("load_nvr_model")
            net, error = attempt(lambda: network_svp.load_nvr_model(DN.MixedNet(), path))
            result["load_nvr_model"] = outcome(error)
            if error is None:
                phase("forward")
                with torch.no_grad():
                    _, error = attempt(lambda: net.eval()(x))
                result["forward"] = outcome(error)
        result["seconds"] = round(time.perf_counter() - started, 3)
        print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
