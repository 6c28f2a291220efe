"""From a trained dendritic network to a saved inference network and back.

Trains a small dendritic classifier on a synthetic task (with the stand-in companion library),
adds dendrites twice with training in between, then walks through sorvith: parameter counts
before and after cleaning, one save in safetensors mode, the two ways of loading it back, a
check that every route predicts what the trained network predicts, and sequential against
threaded inference. Exits with status 1 if any check fails.

    make demo        (or: .venv/bin/python examples/demo.py)
"""

import os
import shutil
import sys
import tempfile
import time

import torch
import torch.nn as nn
from tqdm import tqdm

from classifier import Classifier, make_task
from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import network_svp, slim_load, utils_svp

DENDRITE_ROUNDS = 2


def train(net, x, y, epochs, label):
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    net.train()
    batches = list(zip(x.split(64), y.split(64)))
    # A live bar on a terminal; into a log or a pipe, one line per training round.
    on_terminal = sys.stderr.isatty()
    with tqdm(total=epochs * len(batches), desc=f"   {label:12s}", unit="step", mininterval=0.5,
              disable=not on_terminal) as bar:
        for _ in range(epochs):
            for xb, yb in batches:
                opt.zero_grad()
                loss = nn.functional.cross_entropy(net(xb), yb)
                loss.backward()
                opt.step()
                bar.set_postfix(loss=f"{loss.item():.3f}")
                bar.update()
    if not on_terminal:
        print(f"   {label:12s} {epochs * len(batches)} steps, final loss {loss.item():.3f}")
    net.eval()


def accuracy(net, x, y):
    with torch.no_grad():
        return (net(x).argmax(dim=1) == y).float().mean().item()


def timed(fn, repeats=200):
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeats):
            fn()
        best = min(best, (time.perf_counter() - start) / repeats)
    return best


def main(workdir):
    torch.manual_seed(0)
    GNV.pc.set_modules_to_convert([nn.Linear])
    GNV.pc.set_modules_to_track([nn.LayerNorm])
    GNV.pc.set_using_safe_tensors(True)
    x_train, y_train = make_task(2048, seed=1)
    x_test, y_test = make_task(512, seed=2)

    print("1. Training a dendritic classifier on a synthetic 4-class task")
    net = UNV.initialize_nvr(Classifier())
    train(net, x_train, y_train, epochs=6, label="no dendrites")
    for round_ in range(1, DENDRITE_ROUNDS + 1):
        UNV.add_dendrites(net)
        train(net, x_train, y_train, epochs=4, label=f"{round_} dendrite{'s' * (round_ > 1)}")
    print(f"   test accuracy: {accuracy(net, x_test, y_test):.1%}")

    print("\n2. Counting parameters")
    GNV.pc.set_count_training_params(True)
    training_count = utils_svp.sv_count_params(net)
    GNV.pc.set_count_training_params(False)
    cleaned_count = utils_svp.sv_count_params(net)
    print(f"   training form: {training_count:,}   cleaned form: {cleaned_count:,}")
    count = DENDRITE_ROUNDS + 1  # the dendrites and the main module of each block
    print(f"   (cleaned counts more: each block's skip tensor holds {count} x {count} x W values, "
          f"filler rows included, where training holds {count * (count - 1) // 2} x W weights)")

    folder = os.path.join(workdir, "checkpoints")
    print("\n3. Saving the cleaned network (safetensors mode)")
    utils_svp.sv_save_net(net, folder, "classifier")
    path = os.path.join(folder, "classifier_nvr.pt")
    print(f"   wrote {path} ({os.path.getsize(path):,} bytes; the folder is removed at the end)")

    print("\n4. Loading it back")
    # An inference script builds the plain architecture and lets load_nvr_model convert it.
    loaded = network_svp.load_nvr_model(Classifier(), path).eval()
    print("   load_nvr_model: a fresh Classifier, converted and filled from the file")
    # load_net fills a network of the cleaned structure: here, one grown the same way.
    shape_donor = UNV.initialize_nvr(Classifier())
    for _ in range(DENDRITE_ROUNDS):
        UNV.add_dendrites(shape_donor)
    reloaded = utils_svp.load_net(utils_svp.clean_net(shape_donor), folder, "classifier_nvr").eval()
    print("   load_net: a network of the cleaned structure, filled from the file")

    with torch.no_grad():
        expected = net(x_test)
        routes = {
            "cleaned (clean_net)": utils_svp.clean_net(UNV.deep_copy_nvr(net)).eval()(x_test),
            "load_nvr_model": loaded(x_test),
            "load_net": reloaded(x_test),
        }
        network_svp.doing_threading = True
        routes["load_nvr_model, threaded"] = loaded(x_test)
        network_svp.doing_threading = False
        slim_load.doing_threading = True
        routes["load_net, threaded"] = reloaded(x_test)
        slim_load.doing_threading = False

    print("\n5. Does every route predict what the trained network predicts?")
    checks = []
    for route, out in routes.items():
        same = torch.equal(out.argmax(dim=1), expected.argmax(dim=1))
        diff = (out - expected).abs().max().item()
        ok = same and diff < 1e-5
        checks.append(ok)
        print(f"   {route:28s} max |difference| {diff:.2e}  {'ok' if ok else 'MISMATCH'}")

    print("\n6. Inference time of the loaded network (one sample)")
    sample = x_test[:1]
    with torch.inference_mode():
        sequential = timed(lambda: loaded(sample))
        network_svp.doing_threading = True
        try:
            threaded = timed(lambda: loaded(sample), repeats=50)
        finally:
            network_svp.doing_threading = False
    print(f"   sequential {sequential * 1e6:8.1f} us   threaded {threaded * 1e6:8.1f} us")

    rows = [
        ("test accuracy (trained)", f"{accuracy(net, x_test, y_test):.1%}"),
        ("parameters, training form", f"{training_count:,}"),
        ("parameters, cleaned form", f"{cleaned_count:,}"),
        ("saved file", f"{os.path.getsize(path):,} bytes"),
        ("routes matching the trained net", f"{sum(checks)}/{len(checks)}"),
        ("forward, sequential", f"{sequential * 1e6:.1f} us"),
        ("forward, threaded", f"{threaded * 1e6:.1f} us"),
    ]
    width = max(len(name) for name, _ in rows)
    print("\nSummary")
    print(f"| {'result':{width}s} | {'value':>16s} |")
    print(f"|{'-' * (width + 2)}|{'-' * 18}|")
    for name, value in rows:
        print(f"| {name:{width}s} | {value:>16s} |")
    if not all(checks):
        print("\nSome routes do not give the trained network's predictions.")
        return 1
    print("\nEvery route gives the trained network's predictions.")
    return 0


if __name__ == "__main__":
    workdir = tempfile.mkdtemp(prefix="sorvith-demo-")
    try:
        status = main(workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    sys.exit(status)
