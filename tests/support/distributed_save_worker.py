"""Run on every rank by torch.distributed.run (see test_distributed_save.py).

DistributedDataParallel: each rank trains the same dendritic network under the wrapper and
passes the wrapper to sv_count_params, sv_save_net (once into a folder shared by all ranks, once
into a folder of its own) and clean_net; each rank keeps its weights for the test to compare
against, and every rank reads the shared file back.

FSDP2: the three functions refuse a sharded network, then examples/fsdp_save.py trains one and
saves it by its full state dict, and every rank reads that file back.
"""

import os
import sys

import torch
import torch.distributed as dist
import torch.nn.functional as F
from torch.distributed.fsdp import fully_shard
from torch.nn.parallel import DistributedDataParallel

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TESTS_DIR)
sys.path.insert(0, os.path.join(os.path.dirname(TESTS_DIR), "examples"))
from support import dendritic_net as DN  # noqa: E402
import fsdp_save  # noqa: E402
from classifier import Classifier, test_set  # noqa: E402
from sorvith import network_svp, utils_svp  # noqa: E402


def ddp_wrapper(folder, rank):
    net = DN.dendritic(seed=0).train()
    # Some dendrite-to-dendrite entries hold no rows and get no gradient.
    model = DistributedDataParallel(net, find_unused_parameters=True)
    gen = torch.Generator().manual_seed(100 + rank)
    opt = torch.optim.SGD(model.parameters(), lr=0.1)
    for _ in range(2):
        x, target = torch.randn(4, 2, 4, 4, generator=gen), torch.randn(4, 3, generator=gen)
        opt.zero_grad()
        F.mse_loss(model(x), target).backward()
        opt.step()
    # The ranks now hold the same weights; set them apart so the file tells who wrote it.
    with torch.no_grad():
        net.head.main_module.bias.add_(rank)
    net.eval()
    torch.save(net.state_dict(), os.path.join(folder, "weights%d.pt" % rank))
    x = DN.inputs()
    with torch.no_grad():
        own = net(x)

    assert utils_svp.sv_count_params(model) == utils_svp.sv_count_params(net)
    utils_svp.sv_save_net(model, os.path.join(folder, "shared"), "net")
    utils_svp.sv_save_net(model, os.path.join(folder, "rank%d" % rank), "net")
    assert model.module is net and hasattr(net, "tracker_string")
    dist.barrier()

    rank0 = own.clone()
    dist.broadcast(rank0, src=0)
    loaded = utils_svp.load_net(utils_svp.clean_net(DN.dendritic(seed=9)).eval(),
                                os.path.join(folder, "shared"), "net_nvr")
    with torch.no_grad():
        torch.testing.assert_close(loaded(x), rank0)
    # clean_net rewrites the wrapped network in place; the wrapper still holds it.
    cleaned = utils_svp.clean_net(model)
    assert model.module is net
    with torch.no_grad():
        torch.testing.assert_close(cleaned(x), own)


def fsdp_refused(folder, rank):
    sharded = DN.dendritic(seed=0)
    fully_shard(sharded)
    modules = [(name, type(m)) for name, m in sharded.named_modules()]
    target = os.path.join(folder, "refused")
    calls = [(utils_svp.clean_net, ()), (utils_svp.sv_count_params, ()),
             (utils_svp.sv_save_net, (target, "net"))]
    for function, args in calls:
        try:
            result = function(sharded, *args)
        except TypeError as error:
            message = str(error)
            assert message.startswith(function.__name__ + ": "), message
            for part in ("DTensor", "get_model_state_dict",
                         "StateDictOptions(full_state_dict=True, cpu_offload=True)",
                         "rank 0", "sv_save_net"):
                assert part in message, (part, message)
        else:
            # The rank gate comes first: other ranks return before looking at the network.
            assert (function, rank, result) == (utils_svp.sv_save_net, 1, None)
    assert [(name, type(m)) for name, m in sharded.named_modules()] == modules
    assert not os.path.exists(target)


def fsdp_route(folder):
    target = os.path.join(folder, "fsdp")
    trained = fsdp_save.main(target)
    loaded = network_svp.load_nvr_model(Classifier(), os.path.join(target, "classifier_nvr.pt"))
    with torch.no_grad():
        torch.testing.assert_close(loaded.eval()(test_set()[0]), trained)


def main(folder):
    dist.init_process_group("gloo")
    rank = dist.get_rank()
    ddp_wrapper(folder, rank)
    fsdp_refused(folder, rank)
    fsdp_route(folder)
    dist.barrier()
    dist.destroy_process_group()


if __name__ == "__main__":
    main(sys.argv[1])
