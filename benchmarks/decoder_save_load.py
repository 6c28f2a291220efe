"""Saving and loading a 16-layer decoder-only language model built from a configuration.

    python benchmarks/decoder_save_load.py [--quick]

The network: a Llama model of transformers (16 layers, hidden size 512, random weights, nothing
downloaded) whose every nn.Linear is a dendritic neuron module with one dendrite. Each
operation is shown beside its floor, the bare work it cannot avoid, and split into the
package's own share:

    sv_save_net (safetensors)   floor: one deep copy + save_file of the cleaned state dictionary
                                own: the rewrite walk and the rebuild walk, each with the blocks
                                it builds, timed on a ready deep copy
    load_nvr_model              floor: load_file + load_state_dict into the finished network
                                own: convert_network (the companion's conversion walk building
                                the optimised modules), the get_nvr_modules walk, and the rest
                                (dendrite copies, skip weights, the narrowing of saved texts)

Times are the minimum over the repeats; the operations of one table row take turns.
"""

import argparse
import os
import sys
import tempfile
import time
import warnings

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
import transformers  # noqa: E402

from nevrane import globals_nevrane as GNV  # noqa: E402
from nevrane import modules_nevrane as NV  # noqa: E402
from nevrane import utils_nevrane as UNV  # noqa: E402
from sorvith import blockwise_svp as BSV  # noqa: E402
from sorvith import network_svp  # noqa: E402
from sorvith import slim_load as SL  # noqa: E402
from sorvith import utils_svp  # noqa: E402

from _support import (best_of, load_floor, parameter_bytes, print_operations, quiet,  # noqa: E402
                      save_floor)

LAYERS, HIDDEN = 16, 512
CONFIG = dict(vocab_size=1024, hidden_size=HIDDEN, intermediate_size=2 * HIDDEN,
              num_hidden_layers=LAYERS, num_attention_heads=8, num_key_value_heads=4,
              max_position_embeddings=64)


def plain():
    return transformers.LlamaForCausalLM(transformers.LlamaConfig(**CONFIG)).eval()


def dendritic():
    torch.manual_seed(0)
    net = UNV.initialize_nvr(plain())
    with torch.no_grad():
        net(input_ids=torch.zeros(1, 4, dtype=torch.long))  # settles the output layouts
    UNV.add_dendrites(net)
    return net


def building_blocks(net, kind, build):
    """The time build() takes for every module of `kind` in net, summed."""
    total = 0.0
    for module in [m for m in net.modules() if type(m) is kind]:
        start = time.perf_counter()
        build(module)
        total += time.perf_counter() - start
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="one repeat of each measurement")
    options = parser.parse_args()
    repeat = 1 if options.quick else 3
    torch.set_num_threads(1)
    transformers.logging.set_verbosity_error()
    warnings.filterwarnings("ignore", ".*is_gradient_checkpointing", FutureWarning)
    GNV.pc.reset()
    GNV.pc.set_modules_to_convert([nn.Linear])

    net = dendritic()
    neurons = sum(type(m) is NV.NVRNeuronModule for m in net.modules())
    folder = tempfile.mkdtemp(prefix="sorvith-bench-")
    path = folder + "/net_nvr.pt"
    utils_svp.sv_save_net(net, folder, "net")
    cleaned_state = utils_svp.clean_net(UNV.deep_copy_nvr(net)).state_dict()
    loaded = quiet(lambda: network_svp.load_nvr_model(plain(), path))()

    save, floor = best_of(repeat, lambda: utils_svp.sv_save_net(net, folder, "net"),
                          save_floor(net, cleaned_state, folder + "/floor.pt"))
    rewrite, = best_of(repeat, BSV.blockwise_network, setup=lambda: UNV.deep_copy_nvr(net))
    rewritten = BSV.blockwise_network(UNV.deep_copy_nvr(net))
    layers = building_blocks(UNV.deep_copy_nvr(net), NV.NVRNeuronModule,
                             BSV.convert_to_nvr_layer_block)
    rebuild, = best_of(repeat, SL.refresh_net, setup=lambda: UNV.deep_copy_nvr(rewritten))
    threads = building_blocks(UNV.deep_copy_nvr(rewritten), BSV.NVRLayer, SL.NVRModulePyThread)

    fresh = [plain() for _ in range(repeat)]
    load, loading_floor = best_of(
        repeat, quiet(lambda: network_svp.load_nvr_model(fresh.pop(), path)),
        load_floor(loaded, path))
    convert, = best_of(repeat, lambda n: quiet(lambda: network_svp.convert_network(n))(),
                       setup=plain)
    converted = quiet(lambda: network_svp.convert_network(plain()))()
    find, = best_of(repeat, lambda: network_svp.get_nvr_modules(converted, 0))
    GNV.pc.reset()

    print("network: LlamaForCausalLM, %d layers, hidden size %d, %d Linear neurons with one "
          "dendrite each; %.1f MB of parameters"
          % (LAYERS, HIDDEN, neurons, parameter_bytes(net) / 1e6))
    print_operations([("sv_save_net (safetensors)", save, None, floor),
                      ("load_nvr_model", load, None, loading_floor)], python=False)
    print()
    print("package's own share of sv_save_net: %.1f ms = %.1f%% of the save" % (
        (rewrite + rebuild) * 1e3, 100 * (rewrite + rebuild) / save))
    print("  rewrite walk %.1f ms, of which building %d NVRLayer blocks %.1f ms" % (
        rewrite * 1e3, neurons, layers * 1e3))
    print("  rebuild walk %.1f ms, of which building %d NVRModulePyThread blocks %.1f ms" % (
        rebuild * 1e3, neurons, threads * 1e3))
    print("  the rest beyond the floor (state dictionary, contiguous parameters, putting the file"
          " in place): %.1f ms" % ((save - floor - rewrite - rebuild) * 1e3))
    rest = load - loading_floor - convert - find
    print("package's own share of load_nvr_model beyond its floor: %.1f ms = %.1f%% of the load"
          % ((load - loading_floor) * 1e3, 100 * (load - loading_floor) / load))
    print("  convert_network %.1f ms, get_nvr_modules %.1f ms, the rest %.1f ms" % (
        convert * 1e3, find * 1e3, rest * 1e3))


if __name__ == "__main__":
    sys.exit(main())
