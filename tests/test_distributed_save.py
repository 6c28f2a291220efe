"""sv_save_net in a two-process DistributedDataParallel run: rank 0 alone writes."""

import os
import socket
import subprocess
import sys

import torch

from sorvith import utils_svp

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, TESTS_DIR)
import dendritic_net as DN  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_only_rank_zero_writes_under_ddp(tmp_path):
    port = free_port()
    paths = [TESTS_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), MASTER_ADDR="127.0.0.1",
               MASTER_PORT=str(port), GLOO_SOCKET_IFNAME="lo", OMP_NUM_THREADS="1")
    env.pop("RANK", None)
    run = subprocess.run(
        [sys.executable, "-m", "torch.distributed.run", "--nnodes=1", "--nproc_per_node=2",
         "--master_addr=127.0.0.1", "--master_port=%d" % port,
         os.path.join(TESTS_DIR, "distributed_save_worker.py"), str(tmp_path)],
        env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr

    assert os.listdir(tmp_path / "shared") == ["net_nvr.pt"]
    assert os.listdir(tmp_path / "rank0") == ["net_nvr.pt"]
    assert not (tmp_path / "rank1").exists()

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
