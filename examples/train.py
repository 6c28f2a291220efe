"""Training side: train a dendritic classifier and save its inference form.

    python examples/train.py [FOLDER]      (default folder: checkpoints)

writes FOLDER/classifier_nvr.pt; examples/infer.py reads it back in a process of its own.
"""

import argparse

import torch
import torch.nn as nn

from classifier import Classifier, make_task, report
from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import utils_svp

# The companion configuration: which classes become dendritic neurons, which are tracked
# without dendrites. The inference script must set the same before it loads the file.
GNV.pc.set_modules_to_convert([nn.Linear])
GNV.pc.set_modules_to_track([nn.LayerNorm])


def train(net, x, y, epochs):
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    net.train()
    for _ in range(epochs):
        for xb, yb in zip(x.split(64), y.split(64)):
            opt.zero_grad()
            loss = nn.functional.cross_entropy(net(xb), yb)
            loss.backward()
            opt.step()
    net.eval()
    return loss.item()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="checkpoints")
    parser.add_argument("--outputs", help="also write the test-set outputs to this file")
    args = parser.parse_args()

    torch.manual_seed(0)
    x, y = make_task(1024, seed=1)
    net = UNV.initialize_nvr(Classifier())
    print(f"no dendrites: final loss {train(net, x, y, epochs=4):.3f}")
    for dendrites in (1, 2):
        UNV.add_dendrites(net)
        print(f"{dendrites} dendrite(s): final loss {train(net, x, y, epochs=3):.3f}")

    utils_svp.sv_save_net(net, args.folder, "classifier")
    print(f"saved {args.folder}/classifier_nvr.pt")
    report(net, args.outputs)


if __name__ == "__main__":
    main()
