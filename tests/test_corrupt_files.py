"""Damaged and edited files: every loader ends with an error of its own or a loaded network,
never with a crash, a hang or memory out of proportion to the file.

The corpus is made here from a fixed seed: a saved network in each storage mode, then
truncations, flipped bits, overwritten bytes, edited header lengths, offsets, dtypes and
shapes, edited values of the block entries, an empty file and a directory. The files are loaded
in a child process (tests/support/corrupt_load_worker.py) with a capped address space; a child that
dies or stops answering is reported with the file it was on, and a new child goes on with the
rest.
"""

import collections
import io
import json
import os
import random
import select
import struct
import subprocess
import sys
import time
import zipfile

import numpy as np
import torch
from safetensors.torch import load_file, save_file

from support import dendritic_net as DN
from support.storage import MODES, use_mode
from nevrane import globals_nevrane as GNV
from sorvith import utils_svp

HERE = os.path.dirname(os.path.abspath(__file__))
MEMORY_CAP = 1 << 30     # address space a child may add once it has imported everything
FILE_LIMIT = float(os.environ.get("SV_FILE_LIMIT", 20))        # seconds without an answer after which a child counts as hung
START_LIMIT = 60.0       # the same for the first answer, which waits for the imports
BLOCKS = DN.DENDRITES


# ---------------------------------------------------------------------------------------------
# The corpus


def split_safetensors(data):
    size = struct.unpack("<Q", data[:8])[0]
    return json.loads(data[8:8 + size]), data[8 + size:]


def join_safetensors(header, body):
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    return struct.pack("<Q", len(text)) + text + body


def flip_bits(data, rng, count, start=0, stop=None):
    data = bytearray(data)
    for _ in range(count):
        position = rng.randrange(start, stop or len(data))
        data[position] ^= 1 << rng.randrange(8)
    return bytes(data)


def overwrite(data, rng):
    data = bytearray(data)
    start = rng.randrange(len(data))
    for i in range(start, min(len(data), start + rng.randint(1, 64))):
        data[i] = rng.randrange(256)
    return bytes(data)


def byte_edits(data, rng, header_end):
    """Truncations, flipped bits and overwritten runs of any file; `header_end` is where the
    part most worth hitting ends."""
    cuts = {0, 1, 7, 8, header_end - 1, header_end, len(data) - 1}
    cuts.update(rng.randrange(len(data)) for _ in range(16))
    for cut in sorted(cuts):
        yield "truncated at %d" % cut, data[:cut]
    for i in range(20):
        yield "bit flip in the header %d" % i, flip_bits(data, rng, 1, 0, header_end)
    for i in range(16):
        yield "bit flip %d" % i, flip_bits(data, rng, 1)
    for i in range(4):
        yield "%d bit flips" % (8 * (i + 1)), flip_bits(data, rng, 8 * (i + 1))
    for i in range(8):
        yield "overwritten run %d" % i, overwrite(data, rng)


def header_edits(data, rng):
    """Edits of a safetensors header that keep it JSON: its length, offsets, dtypes, shapes."""
    header, body = split_safetensors(data)
    length = len(data) - len(body) - 8
    for value in (0, 1, length - 1, length + 1, len(data), 2 ** 63, 2 ** 64 - 1, 2 ** 40):
        yield "header length %d" % value, struct.pack("<Q", value) + data[8:]
    names = sorted(k for k in header if k != "__metadata__")

    def edited(change):
        copy = json.loads(json.dumps(header))
        change(copy[rng.choice(names)])
        return join_safetensors(copy, body)

    offsets = [lambda o: [o[0], o[1] + 4], lambda o: [o[1], o[0]], lambda o: [0, len(body) + 8],
               lambda o: [2 ** 62, 2 ** 62 + 4], lambda o: [o[0], 2 ** 64 - 1],
               lambda o: [o[0] - 4 if o[0] >= 4 else 0, o[1] - 4 if o[1] >= 4 else 0]]
    for i, change in enumerate(offsets * 2):
        yield "offsets %d" % i, edited(lambda e: e.update(data_offsets=change(e["data_offsets"])))
    for dtype in ("F64", "F16", "BF16", "I8", "U8", "BOOL", "I64", "I32", "F8_E4M3", "X9"):
        yield "dtype %s" % dtype, edited(lambda e: e.update(dtype=dtype))
    shapes = [lambda s: [], lambda s: [0], lambda s: [2 ** 40], lambda s: s + [1],
              lambda s: [d * 2 for d in s], lambda s: s[:-1], lambda s: [2 ** 31, 2 ** 31],
              lambda s: [1] * 40]
    for i, change in enumerate(shapes):
        yield "shape %d" % i, edited(lambda e: e.update(shape=change(e["shape"])))


def value_edits(path, rng):
    """Well-formed files whose block entries disagree with each other or with the network."""
    saved = load_file(path)

    def blocks(dendrites=0):
        return [b for b in sorted(BLOCKS) if BLOCKS[b] >= dendrites]

    def edited(block, key, value=None, drop=()):
        state = dict(saved)
        if value is not None:
            state[block + "." + key] = value
        for k in list(state):
            if any(k.startswith(block + "." + d) for d in drop):
                del state[k]
        return state

    for block in blocks():
        count = BLOCKS[block] + 1
        width = saved[block + ".skip_weights"].shape[2]
        cycles = saved[block + ".num_cycles"]
        yield block + ": 2**40 cycles", edited(block, "num_cycles", torch.tensor(2 ** 40))
        yield block + ": 2**62 cycles", edited(block, "num_cycles", torch.tensor(2 ** 62))
        yield block + ": -3 cycles", edited(block, "num_cycles", torch.tensor(-3))
        yield block + ": two cycles more", edited(block, "num_cycles", cycles + 2)
        yield block + ": float cycles", edited(block, "num_cycles", torch.tensor(1e30))
        yield block + ": NaN cycles", edited(block, "num_cycles", torch.tensor(float("nan")))
        yield block + ": three cycle counts", edited(block, "num_cycles", cycles.repeat(3))
        yield block + ": no cycle count", edited(block, "num_cycles", torch.zeros(0))
        yield block + ": skip tensor one larger", edited(
            block, "skip_weights", torch.randn(count + 1, count + 1, width))
        yield block + ": skip tensor of two dimensions", edited(
            block, "skip_weights", torch.randn(count, count))
        yield block + ": skip tensor one row short", edited(
            block, "skip_weights", torch.randn(count, max(count - 1, 0), width))
        for i, view in enumerate(([2, -1], [-1, -1], [[1, -1]], [1.0, -1.0], [0, -1], [])):
            yield block + ": view %d" % i, edited(block, "view_tuple", torch.tensor(view))
        module_id = saved[block + ".module_id"]
        yield block + ": module_id of two dimensions", edited(
            block, "module_id", module_id.reshape(1, -1))
        yield block + ": module_id of no dimension", edited(block, "module_id", module_id[0])
        yield block + ": a 0-d buffer given three values", edited(
            block, "node_index", torch.tensor([1, 2, 3]))
    for block in blocks(dendrites=1):
        last = BLOCKS[block]
        yield block + ": last entry missing", edited(block, "", drop=("layer_array.%d." % last,))
        state = edited(block, "")
        for k in [k for k in state if k.startswith(block + ".layer_array.%d." % last)]:
            state[k.replace(".layer_array.%d." % last, ".layer_array.%d." % (last + 7))] = state.pop(k)
        yield block + ": last entry renumbered", state
        yield block + ": fewer cycles than entries", edited(block, "num_cycles", torch.tensor(0))


def torch_edits(data, rng):
    """Edits inside the archive that keep it a valid zip, so that the pickle itself is read."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        members = [(info, archive.read(info)) for info in archive.infolist()]
    pickled = next(i for i, (info, _) in enumerate(members) if info.filename.endswith("data.pkl"))
    for i in range(24):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
            for j, (info, content) in enumerate(members):
                if j == pickled:
                    content = flip_bits(content, rng, 1 + i % 3)
                archive.writestr(info, content)
        yield "pickle bit flip %d" % i, out.getvalue()


def make_corpus(folder):
    """Writes the corpus; returns [path, mode, description] triples."""
    rng = random.Random(20240611)
    np.random.seed(20240611)  # the filler values of the saved skip tensors
    corpus = []

    def add(mode, description, data=None, state=None):
        path = os.path.join(folder, "%s_%03d.pt" % (mode, len(corpus)))
        if state is not None:
            save_file(state, path)
        elif data is None:
            os.mkdir(path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        corpus.append([path, mode, description])

    for mode in MODES:
        GNV.pc.reset()
        use_mode(mode)
        utils_svp.sv_save_net(DN.dendritic(seed=0), folder, "base_" + mode)
        base = os.path.join(folder, "base_%s_nvr.pt" % mode)
        data = open(base, "rb").read()
        add(mode, "unchanged", data)
        add(mode, "empty", b"")
        add(mode, "a directory")
        if mode == "torch":
            header_end = len(data) // 8
            edits = torch_edits(data, rng)
        else:
            header_end = 8 + struct.unpack("<Q", data[:8])[0]
            edits = header_edits(data, rng)
            if mode == "safetensors":
                for description, state in value_edits(base, rng):
                    add(mode, description, state=state)
        for description, edited in list(byte_edits(data, rng, header_end)) + list(edits):
            add(mode, description, edited)
        os.remove(base)
    GNV.pc.reset()
    return corpus


# ---------------------------------------------------------------------------------------------
# Loading it


def load_all(corpus, listing):
    """Runs workers over the corpus; returns one result per file, crashes and hangs included."""
    with open(listing, "w") as f:
        json.dump([[path, mode] for path, mode, _ in corpus], f)
    results, first = [], 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [HERE] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    while first < len(corpus):
        worker = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "support", "corrupt_load_worker.py"), listing,
             str(first), str(MEMORY_CAP)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        limit, lines, phase = START_LIMIT, b"", "load_net"
        while first < len(corpus):
            ready, _, _ = select.select([worker.stdout], [], [], limit)
            chunk = os.read(worker.stdout.fileno(), 1 << 16) if ready else None
            if not chunk:
                hung = not ready
                if hung:
                    worker.kill()
                status = worker.wait()
                results.append({"file": os.path.basename(corpus[first][0]), "mode": corpus[first][1],
                                phase: "hang" if hung else "crash (status %d)" % status,
                                "stderr": worker.stderr.read().decode()[-2000:]})
                first += 1
                break
            lines += chunk
            while b"\n" in lines:
                line, lines = lines.split(b"\n", 1)
                result = json.loads(line)
                if "phase" in result:
                    phase = result["phase"]
                    continue
                results.append(result)
                first += 1
            limit = FILE_LIMIT
        else:
            worker.wait()
        worker.stdout.close()
        worker.stderr.close()
    return results


def table(results):
    rows = collections.Counter()
    for result in results:
        for loader in ("load_net", "load_nvr_model", "forward"):
            if loader in result:
                rows[(result["mode"], loader, result[loader])] += 1
    return "\n".join("%-13s %-15s %-45s %4d" % (*key, n) for key, n in sorted(rows.items()))


def test_damaged_files_fail_cleanly(tmp_path):
    started = time.perf_counter()
    corpus = make_corpus(str(tmp_path))
    assert len(corpus) >= 300
    results = load_all(corpus, str(tmp_path / "listing.json"))
    print("\n%d files, %.1f s\n%s" % (len(corpus), time.perf_counter() - started, table(results)))
    described = {os.path.basename(path): text for path, _, text in corpus}
    failures = [(described[r["file"]], r) for r in results
                if any(r.get(k, "").startswith(("crash", "hang", "memory"))
                       for k in ("load_net", "load_nvr_model", "forward"))]
    assert failures == []
    unchanged = [r for r in results if described[r["file"]] == "unchanged"]
    assert all(r["load_net"] == "accepted" and r.get("forward", "accepted") == "accepted"
               for r in unchanged), unchanged
