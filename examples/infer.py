"""Inference side: load the file that examples/train.py saved and predict, in a fresh process.

    python examples/infer.py [FOLDER]      (default folder: checkpoints)
"""

import argparse

import torch.nn as nn

from classifier import Classifier, report
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
    report(net, args.outputs)


if __name__ == "__main__":
    main()
