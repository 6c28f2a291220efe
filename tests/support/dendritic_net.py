"""A trained dendritic network with every kind of module the package handles.

Linear and Conv2d neurons, a GRU neuron with its processor, a tracked LayerNorm and nested
containers, with 0, 1 and 3 dendrites across the neurons. Importable by name, so that child
processes can unpickle whole networks built from it.
"""

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from nevrane import utils_nevrane as UNV

# Dendrites per neuron module, by its state-dictionary prefix.
DENDRITES = {"conv": 1, "blocks.0.0": 3, "blocks.1": 0, "gru": 3, "head": 1}


def configure():
    """The companion settings this network needs (tests reset them afterwards)."""
    GNV.pc.set_modules_to_convert([nn.Linear, nn.Conv2d, nn.GRU])
    GNV.pc.set_modules_to_track([nn.LayerNorm])


class MixedNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 4, 3, padding=1)
        self.norm = nn.LayerNorm(64)
        self.blocks = nn.ModuleList([nn.Sequential(nn.Linear(64, 12), nn.Tanh()), nn.Linear(12, 12)])
        self.gru = nn.GRU(12, 6, batch_first=True)
        self.head = nn.Linear(6, 3)

    def forward(self, x):
        h = self.norm(torch.relu(self.conv(x)).flatten(1))
        h = self.blocks[1](self.blocks[0](h))
        out, hidden = self.gru(torch.stack([h, 0.5 * h, -h], dim=1))
        return self.head(out[:, -1] + hidden[0])


class SmallNet(nn.Module):
    """Conv2d, Linear inside a container, GRU and a Linear head, with a ReLU between."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(2, 3, 3, padding=1)
        self.blocks = nn.Sequential(nn.Linear(3 * 4 * 4, 8), nn.ReLU())
        self.gru = nn.GRU(8, 5)
        self.head = nn.Linear(5, 2)

    def forward(self, x):
        h = torch.relu(self.conv(x)).flatten(1)
        h = self.blocks(h)
        out, hidden = self.gru(torch.stack([h, 2 * h, -h]))
        return self.head(out[-1] + hidden[0])


def inputs(seed=1, batch=5):
    return torch.randn(batch, 2, 4, 4, generator=torch.Generator().manual_seed(seed))


def train(net, steps, seed):
    """A few SGD steps on fixed random data, so that every weight moves from its start."""
    gen = torch.Generator().manual_seed(seed)
    x = torch.randn(8, 2, 4, 4, generator=gen)
    target = torch.randn(8, 3, generator=gen)
    opt = torch.optim.SGD(net.parameters(), lr=0.05)
    for _ in range(steps):
        opt.zero_grad()
        nn.functional.mse_loss(net(x), target).backward()
        opt.step()


def _grow(net):
    neurons = {m.name: m for m in net.modules() if isinstance(m, NV.NVRNeuronModule)}
    assert sorted(neurons) == sorted(DENDRITES)
    for name, count in DENDRITES.items():
        for _ in range(count):
            neurons[name].add_dendrite()
    return net


def dendritic(seed=0):
    """A fresh dendritic MixedNet with the dendrite counts of DENDRITES, untrained."""
    configure()
    torch.manual_seed(seed)
    return _grow(UNV.initialize_nvr(MixedNet()))


def trained(seed=0):
    """Trained, dendrites added, trained again; in eval mode."""
    configure()
    torch.manual_seed(seed)
    net = UNV.initialize_nvr(MixedNet())
    train(net, 3, seed)
    _grow(net)
    train(net, 3, seed + 1)
    return net.eval()


class Holder(nn.Module):
    """A module whose members are the keyword arguments it is made with."""

    def __init__(self, **members):
        super().__init__()
        for name, value in members.items():
            setattr(self, name, value)


class TiedNet(nn.Module):
    """A small language model whose output layer uses the input embedding's matrix (tied
    weights, unless `tie` is false), with an untied layer between them."""

    def __init__(self, tie=True):
        super().__init__()
        self.embed = nn.Embedding(10, 6)
        self.body = nn.Linear(6, 6)
        self.head = nn.Linear(6, 10, bias=False)
        if tie:
            self.head.weight = self.embed.weight

    def forward(self, tokens):
        return self.head(torch.tanh(self.body(self.embed(tokens))))


TOKENS = torch.randint(0, 10, (3, 5), generator=torch.Generator().manual_seed(1))


def tied(seed=0, tie=True):
    """A dendritic TiedNet, two dendrites on each Linear, every weight moved from its start."""
    GNV.pc.set_modules_to_convert([nn.Linear])
    torch.manual_seed(seed)
    net = UNV.initialize_nvr(TiedNet(tie))
    UNV.add_dendrites(net)
    UNV.add_dendrites(net)
    with torch.no_grad():
        for param in net.parameters():
            param.add_(0.1 * torch.randn_like(param))
    return net.eval()
