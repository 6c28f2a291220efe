"""Block forward of two builds of the package in one process, as ratios (after / before).

    PYTHONPATH=AFTER_STAGE python benchmarks/_compare_builds.py BEFORE_DIR [--quick]

BEFORE_DIR holds a package folder `sorvith_before/` with the earlier build's extension files
(an empty __init__.py beside them); the later build is the `sorvith` package that Python
imports. Both make the same cleaned and loaded blocks of L Linear(8, W) positions from one set
of weights; they take turns within each repeat (single-threaded torch), in inference mode and
with autograd off and on (forward only). Not run by `make bench`: it needs two builds.
"""

import argparse
import copy
import importlib
import sys

import torch
import torch.nn as nn

from _support import best_of, cleaned_layer

SIZES = [(2, 16, 1), (4, 16, 1), (6, 16, 1), (4, 256, 64), (4, 2048, 64)]
MODES = {"inference": torch.inference_mode, "no_grad": torch.no_grad, "grad": torch.enable_grad}


def loaded_block(network_svp, layer):
    """An NVROptimizedModule with the layer's modules and weights, as load_nvr_model makes."""
    count = len(layer.layer_array)
    block = network_svp.NVROptimizedModule(copy.deepcopy(layer.layer_array[0]), "fc")
    block.simulate_cycles(2 * (count - 1), 10)
    block.processor_array.append(None)
    block.layer_array.load_state_dict(layer.layer_array.state_dict(), strict=False)
    block.register_parameter("skip_weights", nn.Parameter(layer.skip_weights.detach().clone()))
    block.register_buffer("view_tuple", layer.view_tuple.clone())
    return block


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("before", help="folder holding sorvith_before/")
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    options = parser.parse_args()
    sys.path.insert(0, options.before)
    builds = [(importlib.import_module(f"{package}.slim_load"),
               importlib.import_module(f"{package}.network_svp"))
              for package in ("sorvith_before", "sorvith")]
    torch.set_num_threads(1)
    repeats, target = (3, 0.05) if options.quick else (15, 0.2)
    print("| block | mode | L | width | batch | after/before |")
    print("|---|---|---|---|---|---|")
    for kind in ("cleaned", "loaded"):
        for mode, context in MODES.items():
            for count, width, batch in SIZES:
                torch.manual_seed(0)
                layer = cleaned_layer(count, width)
                x = torch.randn(batch, 8)
                blocks = [slim_load.NVRModulePyThread(copy.deepcopy(layer)) if kind == "cleaned"
                          else loaded_block(network_svp, layer)
                          for slim_load, network_svp in builds]
                with context():
                    assert torch.equal(blocks[0](x), blocks[1](x))
                    before, after = best_of(repeats, *[lambda b=b: b(x) for b in blocks],
                                            target=target, collect=False)
                print(f"| {kind} | {mode} | {count} | {width} | {batch} | {after / before:.3f} |")


if __name__ == "__main__":
    main()
