"""Inference side: load the file that examples/train.py saved and predict, in a fresh process.

    python examples/infer.py [FOLDER]      (default folder: checkpoints)
"""

import argparse

import torch
import torch.nn as nn

from classifier import Classifier, test_set
from nevrane import globals_nevrane as GNV
from sorvith import network_svp

# The same companion configuration as in training: load_nvr_model converts the plain
# Classifier through it, so the converted network has the saved file's keys and shapes.
GNV.pc.set_modules_to_convert([nn.Linear])
GNV.pc.set_modules_to_track([nn.LayerNorm])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="checkpoints")
    parser.add_argument("--outputs", help="also write the test-set outputs to this file")
    args = parser.parse_args()

    net = network_svp.load_nvr_model(Classifier(), f"{args.folder}/classifier_nvr.pt").eval()

    x_test, y_test = test_set()
    with torch.inference_mode():
        out = net(x_test)
    predictions = out.argmax(dim=1)
    print(f"test accuracy: {(predictions == y_test).float().mean().item():.1%}")
    print("first predictions:", predictions[:12].tolist())
    if args.outputs:
        torch.save(out, args.outputs)


if __name__ == "__main__":
    main()
