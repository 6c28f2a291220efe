"""NVRModulePyThread: the state it takes over, its forward, and pickling (its worker threads
and step errors: test_block_threads.py)."""

import os
import subprocess
import sys

import pytest
import torch
import torch.nn as nn

import sorvith
from nevrane import globals_nevrane as GNV
from sorvith import slim_load as SL

from support.blocks import CleanedLayer, grown_neuron


def linear_layer(count):
    return CleanedLayer(count, 4)


def neuron_and_layer(main, dendrites):
    """A companion neuron module and the block made from it, processors set up as blocks use
    them."""
    neuron = grown_neuron(main, dendrites)
    d, main_proc = neuron.dendrite_module, neuron.processor
    procs = list(d.processors) or [None] * dendrites
    for p in procs:
        if p is not None:
            p.pre, p.post = p.pre_d, p.post_d
    if main_proc is not None:
        main_proc.pre, main_proc.post = main_proc.post_n1, main_proc.post_n2
    layer = CleanedLayer(dendrites + 1, neuron.num_neurons)
    layer.layer_array, layer.processor_array = nn.Sequential(*d.layers, main), procs + [main_proc]
    with torch.no_grad():
        layer.skip_weights.zero_()
        for i in range(dendrites):
            layer.skip_weights[i, :i] = d.dendrites_to_dendrites[i]
        if dendrites:
            layer.skip_weights[-1, :-1] = neuron.dendrites_to_top[-1]
    layer.view_tuple = torch.tensor(d.dendrite_values[0].view_shape())
    layer.node_index = neuron.this_node_index
    return neuron, layer


def test_state_shared_and_copied():
    layer = linear_layer(3)
    block = SL.NVRModulePyThread(original_module=layer)
    assert type(block).__module__ == "sorvith.slim_load" and type(block).__doc__ is None
    for name in ("layer_array", "processor_array", "skip_weights", "num_cycles", "view_tuple"):
        assert getattr(block, name) is getattr(layer, name)
    for name in ("node_index", "module_id"):
        getattr(layer, name).add_(5)
        assert torch.equal(getattr(block, name) + 5, getattr(layer, name))
    assert set(block.state_dict()) == {"skip_weights", "node_index", "module_id", "num_cycles",
                                       "view_tuple", *("layer_array." + k for k in
                                                       layer.layer_array.state_dict())}
    with pytest.raises(TypeError, match="self"):  # through the class, without an instance
        SL.NVRModulePyThread.forward()


@pytest.mark.parametrize("dendrites", [0, 1, 3])
@pytest.mark.parametrize("gru", [False, True], ids=["linear", "gru"])
def test_same_result_as_the_companion_neuron(gru, dendrites, threading_mode):
    main, x = (nn.GRU(5, 4), torch.randn(3, 2, 5)) if gru else (nn.Linear(5, 4), torch.randn(6, 5))
    neuron, layer = neuron_and_layer(main, dendrites)
    hooked = []
    main.register_forward_hook(lambda *a: hooked.append(a))
    with torch.no_grad():
        got = SL.NVRModulePyThread(layer)(x)
        assert hooked == []  # the main module's forward is called directly
        want = neuron.forward(x)
    for g, w in zip(*((got, want) if gru else ([got], [want]))):
        assert torch.allclose(g, w, atol=1e-6)


def test_two_modules_sum_into_the_main_output_in_place(threading_mode):
    class Keep(nn.Linear):
        def forward(self, x):
            self.out = super().forward(x)
            return self.out

    layer = linear_layer(2)
    layer.layer_array[1] = main = Keep(3, 4)
    GNV.pc.set_nvr_forward_function(torch.tanh)
    x = torch.randn(5, 3)
    with torch.no_grad():
        want = main(x) + layer.skip_weights[1][0].view(1, -1) * torch.tanh(layer.layer_array[0](x))
        got = SL.NVRModulePyThread(layer)(x)
    assert torch.equal(got, want) and got is main.out


def test_cleaned_module_returns_what_its_layer_returns(threading_mode):
    from sorvith import blockwise_svp as BSV

    neuron, _ = neuron_and_layer(nn.Linear(5, 4), 2)
    layer = BSV.convert_to_nvr_layer_block(neuron)
    x = torch.randn(3, 5)
    with torch.no_grad():
        assert torch.allclose(SL.NVRModulePyThread(layer)(x), layer(x), atol=1e-6)


FRESH_PROCESS_CHECK = """
import sys, torch
net, x, want = torch.load(sys.argv[1], weights_only=False)
assert type(net[0]).__qualname__ == "NVRModulePyThread", type(net[0])
import sorvith.slim_load as SL
for SL.doing_threading in (False, True):
    with torch.no_grad():
        got = net(x)
    assert torch.equal(got[0], want[0]) and torch.equal(got[1], want[1])
print("ok")
"""


def test_whole_pickle_loads_in_a_fresh_process(tmp_path):
    net = nn.Sequential(SL.NVRModulePyThread(neuron_and_layer(nn.GRU(5, 4), 2)[1]))
    x = torch.randn(3, 2, 5)
    with torch.no_grad():
        torch.save((net, x, net(x)), tmp_path / "whole.pt")
    env = dict(os.environ)  # the same interpreter, finding the same package
    here = os.path.dirname(os.path.dirname(sorvith.__file__))
    env["PYTHONPATH"] = os.pathsep.join([here] + env.get("PYTHONPATH", "").split(os.pathsep))
    result = subprocess.run([sys.executable, "-c", FRESH_PROCESS_CHECK, str(tmp_path / "whole.pt")],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
