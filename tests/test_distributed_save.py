"""Networks from distributed training: DataParallel and DistributedDataParallel wrappers are
seen through, networks sharded by FSDP2 are refused with the full-state-dict route, and in a
two-process run only rank 0 writes."""

import os
import re
import socket
import subprocess
import sys
import types

import numpy as np
import pytest
import safetensors.torch
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from sorvith import utils_svp

from support import dendritic_net as DN

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS_DIR)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_only_rank_zero_writes_under_ddp_and_fsdp2(tmp_path):
    port = free_port()
    paths = [TESTS_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), MASTER_ADDR="127.0.0.1",
               MASTER_PORT=str(port), GLOO_SOCKET_IFNAME="lo", OMP_NUM_THREADS="1")
    env.pop("RANK", None)
    run = subprocess.run(
        [sys.executable, "-m", "torch.distributed.run", "--nnodes=1", "--nproc_per_node=2",
         "--master_addr=127.0.0.1", "--master_port=%d" % port,
         os.path.join(TESTS_DIR, "support", "distributed_save_worker.py"), str(tmp_path)],
        env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr

    assert os.listdir(tmp_path / "shared") == ["net_nvr.pt"]
    assert os.listdir(tmp_path / "rank0") == ["net_nvr.pt"]
    assert not (tmp_path / "rank1").exists()
    assert os.listdir(tmp_path / "fsdp") == ["classifier_nvr.pt"]
    assert not (tmp_path / "refused").exists()

    x = DN.inputs()
    cleaned = utils_svp.clean_net(DN.dendritic(seed=9)).eval()
    loaded = utils_svp.load_net(cleaned, str(tmp_path / "shared"), "net_nvr")
    results = {}
    for rank in (0, 1):
        reference = DN.dendritic(seed=9).eval()
        reference.load_state_dict(torch.load(tmp_path / ("weights%d.pt" % rank)))
        with torch.no_grad():
            results[rank] = reference(x)
    with torch.no_grad():
        out = loaded(x)
    torch.testing.assert_close(out, results[0])
    assert not torch.allclose(out, results[1])


class OwnDataParallel(nn.DataParallel):
    pass


# Without GPUs DataParallel keeps the module on the CPU and its forward calls the module.
WRAPPERS = {
    "DataParallel": nn.DataParallel,
    "subclass": OwnDataParallel,
    "nested": lambda net: nn.DataParallel(nn.DataParallel(net)),
}


def innermost(model):
    while isinstance(model, nn.DataParallel):
        model = model.module
    return model


@pytest.mark.parametrize("function", ["clean_net", "sv_save_net", "sv_count_params"])
@pytest.mark.parametrize("wrap", WRAPPERS.values(), ids=WRAPPERS)
def test_data_parallel_gives_what_its_module_gives(tmp_path, monkeypatch, wrap, function):
    monkeypatch.delenv("RANK", raising=False)
    net, twin = DN.dendritic(seed=3).eval(), DN.dendritic(seed=3).eval()
    model = wrap(net)
    before = {k: v.clone() for k, v in net.state_dict().items()}
    x = DN.inputs()

    if function == "clean_net":
        cleaned, expected = utils_svp.clean_net(model), utils_svp.clean_net(twin)
        assert cleaned.state_dict().keys() == expected.state_dict().keys()
        with torch.no_grad():
            torch.testing.assert_close(cleaned(x), expected(x))
        # The wrapped network is rewritten in place, as the network itself would be.
        assert net.state_dict().keys() == twin.state_dict().keys() != before.keys()
    elif function == "sv_save_net":
        np.random.seed(5)  # the blocks' unused skip-weight entries are drawn at random
        assert utils_svp.sv_save_net(model, str(tmp_path / "wrapped"), "net") is None
        np.random.seed(5)
        utils_svp.sv_save_net(twin, str(tmp_path / "plain"), "net")
        saved, expected = (safetensors.torch.load_file(tmp_path / kind / "net_nvr.pt")
                           for kind in ("wrapped", "plain"))
        assert saved.keys() == expected.keys()
        for key in saved:
            torch.testing.assert_close(saved[key], expected[key])
        torch.testing.assert_close(net.state_dict(), before)
        assert hasattr(net, "tracker_string")
    else:
        for training in (True, False):
            GNV.pc.set_count_training_params(training)
            assert utils_svp.sv_count_params(model) == utils_svp.sv_count_params(twin) > 0
        torch.testing.assert_close(net.state_dict(), before)
    assert innermost(model) is net


class FakeDTensor(nn.Parameter):
    """Stands for torch.distributed.tensor.DTensor, which needs a process group to make."""


@pytest.mark.parametrize("wrap", [lambda net: net, nn.DataParallel], ids=["plain", "wrapped"])
@pytest.mark.parametrize("function", ["clean_net", "sv_save_net", "sv_count_params"])
def test_sharded_network_is_refused_before_anything(tmp_path, monkeypatch, recorder, wrap,
                                                    function):
    monkeypatch.delenv("RANK", raising=False)
    fake = types.ModuleType("torch.distributed.tensor")
    fake.DTensor = FakeDTensor
    monkeypatch.setitem(sys.modules, "torch.distributed.tensor", fake)
    net = DN.dendritic(seed=3)
    net.head.main_module.weight = FakeDTensor(net.head.main_module.weight.detach().clone())
    modules = [(name, type(m)) for name, m in net.named_modules()]
    args = (str(tmp_path / "out"), "net") if function == "sv_save_net" else ()
    recorder.clear()  # building the network read settings

    with pytest.raises(TypeError) as raised:
        getattr(utils_svp, function)(wrap(net), *args)
    message = str(raised.value)
    assert message.startswith(function + ": the network's parameter 'head.main_module.weight'")
    for part in ("get_model_state_dict(model, options=StateDictOptions(full_state_dict=True, "
                 "cpu_offload=True))", "on rank 0", "pass that network to sv_save_net"):
        assert part in message
    # No companion setting read, nothing rewritten, nothing created.
    assert recorder == []
    assert [(name, type(m)) for name, m in net.named_modules()] == modules
    assert os.listdir(tmp_path) == []


def test_readme_shows_the_route_of_the_fsdp_example():
    with open(os.path.join(ROOT, "README.md")) as f:
        section = f.read().split("\n## Distributed training\n")[1].split("\n## ")[0]
    with open(os.path.join(ROOT, "examples", "fsdp_save.py")) as f:
        example = f.read()
    (snippet,) = re.findall(r"```python\n(.*?)```", section, re.S)
    assert "def save_sharded(" in snippet
    # Every line of the snippet, in the example's order.
    position = 0
    for line in filter(None, snippet.splitlines()):
        position = example.index(line, position) + len(line)
