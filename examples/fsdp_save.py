"""Train a dendritic classifier sharded with FSDP2 (fully_shard) and save its inference form.

    python -m torch.distributed.run --nproc_per_node=2 examples/fsdp_save.py [FOLDER]

Runs on CPU with the gloo backend. Rank 0 writes FOLDER/classifier_nvr.pt (default folder:
checkpoints), which examples/infer.py reads back like the file of examples/train.py.

A sharded network can be neither copied nor cleaned, and sv_save_net refuses one with a
TypeError. save_sharded below is the route: every rank takes part in gathering the full state
dict, rank 0 loads it into a plain dendritic network of the same architecture and saves that.
"""

import argparse
import os

import torch
import torch.distributed as dist
import torch.nn as nn
from torch.distributed.checkpoint.state_dict import StateDictOptions, get_model_state_dict
from torch.distributed.fsdp import fully_shard

from classifier import Classifier, make_task, test_set
from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import utils_svp

DENDRITES = 2


def build():
    """The dendritic classifier, dendrites included: every rank builds it, and rank 0 builds it
    again as the plain network that takes the gathered weights."""
    net = UNV.initialize_nvr(Classifier())
    for _ in range(DENDRITES):
        UNV.add_dendrites(net)
    return net


def save_sharded(model, folder, name):
    """sv_save_net for a network sharded with fully_shard. Call it on every rank."""
    # A collective: every rank joins; with cpu_offload only rank 0 receives the full tensors.
    state = get_model_state_dict(
        model, options=StateDictOptions(full_state_dict=True, cpu_offload=True))
    if dist.get_rank() == 0:
        plain = build()
        plain.load_state_dict(state)
        utils_svp.sv_save_net(plain, folder, name)
    dist.barrier()  # no rank reads the file before rank 0 has written it


def train(model, x, y, epochs):
    opt = torch.optim.Adam(model.parameters(), lr=3e-3)
    model.train()
    for _ in range(epochs):
        for xb, yb in zip(x.split(64), y.split(64)):
            opt.zero_grad()
            nn.functional.cross_entropy(model(xb), yb).backward()
            opt.step()
    model.eval()


def main(folder):
    """Train and save; returns the trained network's outputs on the held-out points. Needs an
    initialised process group."""
    # The companion configuration, as in examples/train.py and examples/infer.py.
    GNV.pc.set_modules_to_convert([nn.Linear])
    GNV.pc.set_modules_to_track([nn.LayerNorm])
    rank, world = dist.get_rank(), dist.get_world_size()

    torch.manual_seed(0)  # the same starting weights on every rank
    model = build()
    fully_shard(model)
    x, y = make_task(1024, seed=1)
    train(model, x[rank::world], y[rank::world], epochs=3)  # each rank its share of the data

    x_test, y_test = test_set()
    with torch.no_grad():  # every rank runs the sharded forward: it gathers the weights
        outputs = model(x_test)
    save_sharded(model, folder, "classifier")
    if rank == 0:
        accuracy = (outputs.argmax(dim=1) == y_test).float().mean().item()
        print(f"test accuracy {accuracy:.1%}; saved {os.path.join(folder, 'classifier_nvr.pt')}")
    return outputs


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="checkpoints")
    args = parser.parse_args()
    dist.init_process_group("gloo")
    try:
        main(args.folder)
    finally:
        dist.destroy_process_group()
