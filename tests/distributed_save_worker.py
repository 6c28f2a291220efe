"""Run on every rank by torch.distributed.run (see test_distributed_save.py).

Each rank trains the same dendritic network for one step under DistributedDataParallel and
saves it with sv_save_net, once into a folder shared by all ranks and once into a folder of its
own. Each rank also keeps its weights for the test to compare against.
"""

import os
import sys

import torch
import torch.distributed as dist
import torch.nn.functional as F
from torch.nn.parallel import DistributedDataParallel

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dendritic_net as DN  # noqa: E402
from sorvith import utils_svp  # noqa: E402


def main(folder):
    dist.init_process_group("gloo")
    rank = dist.get_rank()
    net = DN.dendritic(seed=0).train()
    # Some dendrite-to-dendrite entries hold no rows and get no gradient.
    model = DistributedDataParallel(net, find_unused_parameters=True)
    gen = torch.Generator().manual_seed(100 + rank)
    x, target = torch.randn(4, 2, 4, 4, generator=gen), torch.randn(4, 3, generator=gen)
    opt = torch.optim.SGD(model.parameters(), lr=0.1)
    F.mse_loss(model(x), target).backward()
    opt.step()
    # The ranks now hold the same weights; set them apart so the file tells who wrote it.
    with torch.no_grad():
        net.head.main_module.bias.add_(rank)
    torch.save(net.state_dict(), os.path.join(folder, "weights%d.pt" % rank))
    utils_svp.sv_save_net(net, os.path.join(folder, "shared"), "net")
    utils_svp.sv_save_net(net, os.path.join(folder, "rank%d" % rank), "net")
    dist.barrier()
    dist.destroy_process_group()


if __name__ == "__main__":
    main(sys.argv[1])
