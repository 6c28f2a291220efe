"""Half precision and autocast on every route: the cleaned network (sequential and threaded),
the file read back by load_net, and a freshly built network of that dtype loaded by
load_nvr_model give the trained network's outputs, in the dtype the trained network gives."""

import contextlib

import pytest
import torch
import torch.nn as nn

from nevrane import utils_nevrane as UNV
from sorvith import network_svp, slim_load, utils_svp

from support import dendritic_net as DN
from support.storage import use_mode


class ConvNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 4, 3, padding=1)
        self.fc = nn.Linear(64, 8)
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        return self.head(torch.tanh(self.fc(torch.relu(self.conv(x)).flatten(1))))


NETS = {"conv": ConvNet, "mixed": DN.MixedNet}
# Precision: (parameter dtype, autocast dtype or None, tolerance)
PRECISIONS = {
    "bf16": (torch.bfloat16, None, 3e-2),
    "fp16": (torch.float16, None, 3e-3),
    "autocast bf16": (torch.float32, torch.bfloat16, 3e-2),
}
ROUTES = ["clean_net", "clean_net threaded", "load_net safetensors", "load_net weight_tying",
          "load_net torch", "load_nvr_model", "load_nvr_model threaded"]


def run(net, x, autocast):
    context = torch.autocast("cpu", autocast) if autocast else contextlib.nullcontext()
    with torch.no_grad(), context:
        return net(x)


def dendritic(name, dtype, when, seed=0):
    """A trained-looking dendritic network in `dtype`, set before or after the conversion."""
    DN.configure()
    torch.manual_seed(seed)
    net = NETS[name]()
    if when == "before":
        net = net.to(dtype)
    net = UNV.initialize_nvr(net)
    UNV.add_dendrites(net)
    UNV.add_dendrites(net)
    with torch.no_grad():
        for p in net.parameters():
            p.normal_(0, 0.3)
    return net.to(dtype).eval()


# The network: (name, precision, dtype set before or after the conversion). GRU has no
# float16 kernel on the CPU; under autocast the weights stay float32 either way.
NETWORKS = [(name, precision, when) for name in NETS for precision in PRECISIONS
            for when in (["before"] if precision.startswith("autocast") else ["before", "after"])
            if not (name == "mixed" and precision == "fp16")]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name, precision, when", NETWORKS)
def test_half_precision_routes(name, precision, when, route, tmp_path, monkeypatch):
    dtype, autocast, tolerance = PRECISIONS[precision]
    net = dendritic(name, dtype, when)
    x = DN.inputs().to(dtype)
    want = run(net, x, autocast)
    threaded = route.endswith("threaded")
    monkeypatch.setattr(slim_load, "doing_threading", threaded)
    monkeypatch.setattr(network_svp, "doing_threading", threaded)
    if route.startswith("clean_net"):
        got_net = utils_svp.clean_net(net)
    elif route.startswith("load_net"):
        use_mode(route.split()[1])
        utils_svp.sv_save_net(net, str(tmp_path), "net")
        target = utils_svp.clean_net(dendritic(name, dtype, when, seed=1))
        got_net = utils_svp.load_net(target, str(tmp_path), "net_nvr")
    else:
        utils_svp.sv_save_net(net, str(tmp_path), "net")
        fresh = NETS[name]().to(dtype)
        got_net = network_svp.load_nvr_model(fresh, str(tmp_path / "net_nvr.pt")).eval()
    got = run(got_net, x, autocast)
    assert got.dtype == want.dtype
    torch.testing.assert_close(got, want, rtol=tolerance, atol=tolerance)
