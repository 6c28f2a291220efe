"""The whole road: a trained dendritic network is saved in each storage mode and every way of
reading it back gives the trained network's outputs."""

import os
import subprocess
import sys

import pytest
import torch

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import network_svp, slim_load, utils_svp

from support import dendritic_net as DN
from support.storage import MODES, use_mode

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(autouse=True)
def configured(fresh_config):
    DN.configure()
    yield
    slim_load.doing_threading = network_svp.doing_threading = False


@pytest.fixture(scope="module")
def trained():
    net = DN.trained()
    x = DN.inputs()
    with torch.no_grad():
        expected = net(x)
    GNV.pc.reset()
    return net, x, expected


def outputs(net, x):
    """The network's outputs run sequentially, then with every block on threads."""
    results = []
    with torch.no_grad():
        for threaded in (False, True):
            slim_load.doing_threading = network_svp.doing_threading = threaded
            results.append(net(x))
    slim_load.doing_threading = network_svp.doing_threading = False
    return results


def snapshot(net):
    """Everything of the caller's network that a save must leave alone."""
    processors = [
        sorted(vars(p)) for m in net.modules() if isinstance(m, NV.NVRNeuronModule)
        for p in [m.processor] + list(m.dendrite_module.processors) if p is not None
    ]
    return (
        [(name, type(m), sorted(vars(m))) for name, m in net.named_modules()],
        [(name, id(t), t.clone()) for name, t in net.state_dict(keep_vars=True).items()],
        processors,
    )


def assert_same_snapshot(before, after):
    assert before[0] == after[0] and before[2] == after[2]
    assert [(n, i) for n, i, _ in before[1]] == [(n, i) for n, i, _ in after[1]]
    assert all(torch.equal(b[2], a[2]) for b, a in zip(before[1], after[1]))


def load_in_fresh_process(path, x, tmp_path):
    """torch.load of the whole pickled network in a new interpreter; its outputs."""
    torch.save(x, tmp_path / "x.pt")
    script = (
        "import sys, torch\n"
        "from sorvith import slim_load\n"
        "net = torch.load(sys.argv[1], weights_only=False).eval()\n"
        "x = torch.load(sys.argv[2])\n"
        "outs = []\n"
        "with torch.no_grad():\n"
        "    for threaded in (False, True):\n"
        "        slim_load.doing_threading = threaded\n"
        "        outs.append(net(x))\n"
        "torch.save(outs, sys.argv[3])\n"
    )
    paths = [TESTS_DIR] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    subprocess.run([sys.executable, "-c", script, path, str(tmp_path / "x.pt"),
                    str(tmp_path / "outs.pt")], env=env, check=True, timeout=120)
    return torch.load(tmp_path / "outs.pt")


@pytest.mark.parametrize("mode", MODES)
def test_every_route_back_gives_the_trained_outputs(tmp_path, trained, mode):
    net, x, expected = trained
    use_mode(mode)
    before = snapshot(net)
    utils_svp.sv_save_net(net, str(tmp_path / "saved"), "mixed")
    assert_same_snapshot(before, snapshot(net))
    assert net.tracker_string
    path = str(tmp_path / "saved" / "mixed_nvr.pt")
    assert os.listdir(tmp_path / "saved") == ["mixed_nvr.pt"]

    routes = {}
    if mode != "torch":
        routes["load_nvr_model"] = outputs(network_svp.load_nvr_model(DN.MixedNet(), path), x)
    cleaned = utils_svp.clean_net(DN.dendritic(seed=7)).eval()
    routes["load_net"] = outputs(utils_svp.load_net(cleaned, str(tmp_path / "saved"), "mixed_nvr"), x)
    if mode == "torch":
        routes["fresh process"] = load_in_fresh_process(path, x, tmp_path)
    for route, results in routes.items():
        for result in results:
            torch.testing.assert_close(result, expected, msg=lambda m: "%s: %s" % (route, m))


# (main-module parameters, neuron width) of every neuron of the test network; the tracked
# LayerNorm has 128 parameters.
NEURONS = {"conv": (2 * 4 * 9 + 4, 4), "blocks.0.0": (64 * 12 + 12, 12), "blocks.1": (12 * 12 + 12, 12),
           "gru": (3 * 6 * (12 + 6) + 2 * 3 * 6, 6), "head": (6 * 3 + 3, 3)}


def count_by_hand(training):
    total = 128
    for name, (main, width) in NEURONS.items():
        k = DN.DENDRITES[name]
        total += (k + 1) * main
        if k and training:
            total += width * k * (k - 1) // 2 + width * k  # dendrite-to-dendrite rows, top rows
        elif k:
            total += (k + 1) ** 2 * width                  # one (count, count, width) skip tensor
    return total


@pytest.mark.parametrize("training", [True, False])
def test_count_of_the_trained_network(trained, training):
    net = trained[0]
    GNV.pc.set_count_training_params(training)
    before = snapshot(net)
    assert utils_svp.sv_count_params(net) == count_by_hand(training)
    assert_same_snapshot(before, snapshot(net))
