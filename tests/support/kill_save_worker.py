"""Kills sv_save_net at random moments over an existing file and reports what each kill left.

    python tests/support/kill_save_worker.py FOLDER MODES TRIALS SEED

(MODES: e.g. "safetensors,torch".)

Run by test_utils_save_load.py (and by hand for longer runs). One process imports torch once and
forks a child per trial; the child saves a second network over a file holding the first one
and tells the parent, through a pipe, the moment its writer starts. The parent waits a random
time within the measured span from that moment to the return of a whole save, kills the child with
SIGKILL, and compares the path with the old and the new file. Prints one JSON line: for each
mode the counts "old", "new", "missing", "other" (anything else at the path) and "leftover"
(trials after which the folder held more than the file itself, with some of the names seen).
"""

import json
import os
import random
import shutil
import signal
import statistics
import struct
import sys
import time

import numpy as np
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import utils_svp

writer_started = 0.0  # in the child: when its writer started
MODES = {"safetensors": (True, False), "weight_tying": (True, True), "torch": (False, False)}
NAME = "net_nvr.pt"


def network(seed):
    """Two Linear neurons of width 256 with two dendrites each: a file of about 1.6 MB, so that
    a kill can land inside the write."""
    torch.manual_seed(seed)
    net = UNV.initialize_nvr(nn.Sequential(nn.Linear(256, 256), nn.Linear(256, 256)))
    UNV.add_dendrites(net)
    UNV.add_dendrites(net)
    return net


def announce_writer(mode, pipe):
    """Wraps the mode's writer so that it writes one byte to `pipe` as it starts."""
    if mode == "torch":
        owner, name = torch, "save"
    elif mode == "weight_tying":
        owner, name = UNV, "save_model_with_weight_tying"
    else:
        owner, name = utils_svp, "save_file"
    real = getattr(owner, name)

    def writer(*args, **kwargs):
        global writer_started
        writer_started = time.perf_counter()
        os.write(pipe, b"!")
        return real(*args, **kwargs)

    setattr(owner, name, writer)


def start_save(folder, mode, net):
    """Forks a child that saves `net`; returns its pid and the read end of its pipe once its
    writer has started (the pid is None if the child ended before that). When the save has
    returned, the child writes the seconds since its writer started."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            np.random.seed(0)
            announce_writer(mode, write_end)
            utils_svp.sv_save_net(net, folder, "net")
            os.write(write_end, struct.pack("d", time.perf_counter() - writer_started))
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    if not os.read(read_end, 1):
        os.close(read_end)
        os.waitpid(pid, 0)
        return None, None
    return pid, read_end


def reset(folder, content):
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.remove(path)
    if content is not None:
        with open(os.path.join(folder, NAME), "wb") as f:
            f.write(content)


def read(folder):
    try:
        with open(os.path.join(folder, NAME), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def kill_saves(folder, mode, trials, rng):
    GNV.pc.set_using_safe_tensors(MODES[mode][0])
    GNV.pc.set_weight_tying_experimental(MODES[mode][1])
    os.makedirs(folder, exist_ok=True)
    old_net, new_net = network(1), network(2)
    np.random.seed(0)
    reset(folder, None)
    utils_svp.sv_save_net(old_net, folder, "net")
    old = read(folder)

    # Whole saves, unkilled: the new file, and the span from the writer's start to the end.
    spans, new = [], None
    for _ in range(3):
        reset(folder, old)
        pid, pipe = start_save(folder, mode, new_net)
        span = os.read(pipe, 8)
        assert len(span) == 8, "a save that was not killed failed"
        spans.append(struct.unpack("d", span)[0])
        os.close(pipe)
        os.waitpid(pid, 0)
        new = read(folder)
        assert new != old and os.listdir(folder) == [NAME]
    span = statistics.median(spans)

    counts = {"old": 0, "new": 0, "missing": 0, "other": 0, "leftover": 0}
    leftovers = set()
    for _ in range(trials):
        reset(folder, old)
        pid, pipe = start_save(folder, mode, new_net)
        if pid is not None:
            time.sleep(rng.uniform(0, 1.2 * span))
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(pipe)
        found = read(folder)
        kind = ("missing" if found is None else "old" if found == old
                else "new" if found == new else "other")
        counts[kind] += 1
        extra = [name for name in os.listdir(folder) if name != NAME]
        if extra:
            counts["leftover"] += 1
            leftovers.update(extra)
    counts["leftover_names"] = sorted(leftovers)[:10]
    counts["span_ms"] = round(span * 1e3, 1)
    return counts


def main(folder, modes, trials, seed):
    torch.set_num_threads(1)
    rng = random.Random(seed)
    results = {mode: kill_saves(os.path.join(folder, mode), mode, trials, rng)
               for mode in modes.split(",")}
    print(json.dumps(results))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
