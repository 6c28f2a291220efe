"""Parameter counts, gradient diagnostics and warning filters (sorvith.utils_svp)."""

import warnings

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import utils_svp


class Tied(nn.Module):
    """One Linear neuron with a dendrite, and plain layers that share weights."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 3)                      # neuron: 15 parameters, width 3
        self.embed = nn.Embedding(5, 3)                # 15
        self.decode = nn.Bilinear(3, 3, 5, bias=False)  # 45
        self.again = nn.Embedding(5, 3)
        self.again.weight = self.embed.weight           # the same parameter: counted once


def tied_net():
    torch.manual_seed(0)
    return UNV.add_dendrites(UNV.initialize_nvr(Tied()))


# Training form: main + dendrite copy (2 x 15), one top row (3); cleaned form: 2 x 15 and a
# (2, 2, 3) skip tensor. Plain layers: 15 + 45.
@pytest.mark.parametrize("training, expected", [(True, 30 + 3 + 60), (False, 30 + 12 + 60)])
def test_count_by_hand_with_tied_weights(training, expected):
    GNV.pc.set_count_training_params(training)
    net = tied_net()
    before = {k: v.clone() for k, v in net.state_dict().items()}
    assert utils_svp.sv_count_params(net) == expected
    assert type(net.fc).__name__ == "NVRNeuronModule"
    assert all(torch.equal(v, before[k]) for k, v in net.state_dict().items())


def test_count_shared_storage_and_parent_module_names():
    GNV.pc.set_count_training_params(True)
    net = nn.Module()
    net.a = nn.Linear(3, 3)                                  # 12
    net.b = nn.Linear(3, 3, bias=False)
    net.b.weight = nn.Parameter(net.a.weight.data)          # another parameter, same storage
    net.parent_module = nn.Linear(10, 10)                    # skipped by name ...
    net.c = nn.Module()
    net.c.my_parent_module_copy = nn.Linear(10, 10)          # ... wherever the text occurs
    assert utils_svp.sv_count_params(net) == 12
    assert utils_svp.sv_count_params(nn.Sequential(nn.ReLU())) == 0


def test_debug_print_walks_the_tree(capsys):
    frozen = nn.Linear(2, 2).requires_grad_(False)
    utils_svp.debug_print_grad_modules(nn.Sequential(nn.Linear(2, 2), frozen), 0, "R")
    assert capsys.readouterr().out == "R: has req grads: 1\nR.0: has req grads: 1\nR.1: has req grads: 0\n"


def test_warning_filters():
    filters = list(warnings.filters)
    utils_svp.add_future_warning()
    utils_svp.add_future_warning()
    entry = ("ignore", None, Warning, None, 0)
    assert warnings.filters[:2] == [entry, entry] and warnings.filters[2:] == filters
    with warnings.catch_warnings(record=True) as shown:
        warnings.filters.insert(1, ("always", None, Warning, None, 0))  # below the front entry
        warnings.warn("dropped", DeprecationWarning)
    assert shown == []
    utils_svp.remove_future_warning()
    utils_svp.remove_future_warning()
    assert warnings.filters == filters

