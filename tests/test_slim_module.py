"""NVRModulePyThread: the state it takes over, its forward on the calling thread and on worker
threads, errors, and pickling."""

import os
import subprocess
import sys
import threading

import pytest
import torch
import torch.nn as nn

import sorvith
from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import slim_load as SL


@pytest.fixture(autouse=True)
def sequential(monkeypatch):
    monkeypatch.setattr(SL, "doing_threading", False)


@pytest.fixture(params=[False, True], ids=["sequential", "threaded"])
def threaded(request, monkeypatch):
    monkeypatch.setattr(SL, "doing_threading", request.param)


class NVRLayer(nn.Module):  # the members of a blockwise layer
    def __init__(self, modules, processors, skip, view, node_index=torch.tensor(1)):
        super().__init__()
        self.layer_array = nn.Sequential(*modules)
        self.register_buffer("module_id", torch.tensor([7, 8, 9]))
        self.register_buffer("num_cycles", torch.tensor(2 * (len(modules) - 1)))
        self.register_buffer("view_tuple", torch.tensor(view))
        self.processor_array = list(processors)
        self.skip_weights = nn.Parameter(skip)
        self.node_index = node_index


def linear_layer(count):
    modules = [nn.Linear(3, 4) for _ in range(count)]
    return NVRLayer(modules, [None] * count, torch.randn(count, count, 4), [1, -1])


def neuron_and_layer(main, dendrites):
    """A companion neuron module and the block made from it, processors set up as blocks use
    them."""
    neuron = NV.NVRNeuronModule(main, "n")
    for _ in range(dendrites):
        neuron.add_dendrite()
    d, main_proc = neuron.dendrite_module, neuron.processor
    procs = list(d.processors) or [None] * dendrites
    for p in procs:
        if p is not None:
            p.pre, p.post = p.pre_d, p.post_d
    if main_proc is not None:
        main_proc.pre, main_proc.post = main_proc.post_n1, main_proc.post_n2
    skip = torch.zeros(dendrites + 1, dendrites + 1, neuron.num_neurons)
    for i in range(dendrites):
        skip[i, :i] = d.dendrites_to_dendrites[i].detach()
    if dendrites:
        skip[-1, :-1] = neuron.dendrites_to_top[-1].detach()
    layer = NVRLayer(list(d.layers) + [main], procs + [main_proc], skip,
                     d.dendrite_values[0].view_shape(), neuron.this_node_index)
    return neuron, layer


class Boom(nn.Module):
    def forward(self, x):
        self.raised = ValueError("step failed")
        raise self.raised


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
def test_same_result_as_the_companion_neuron(gru, dendrites, threaded):
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


def test_two_modules_sum_into_the_main_output_in_place(threaded):
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


@pytest.mark.parametrize("context", [torch.enable_grad, torch.no_grad, torch.inference_mode])
def test_threads_run_in_the_callers_autograd_state(context, monkeypatch):
    block, x, results = SL.NVRModulePyThread(linear_layer(3)), torch.randn(2, 3), []
    monkeypatch.setattr(SL, "torch", None)  # bound by the module, used by none of its code
    for mode in (False, True):
        monkeypatch.setattr(SL, "doing_threading", mode)
        with context():
            results.append(block(x))
    assert torch.equal(results[0], results[1])
    assert results[0].requires_grad == results[1].requires_grad == (context is torch.enable_grad)


def test_switch_is_read_once_per_call(monkeypatch):
    made = []

    class Recording(threading.Thread):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

    class Flip(nn.Linear):
        def forward(self, x):
            SL.doing_threading = not SL.doing_threading
            return super().forward(x)

    monkeypatch.setattr(SL, "Thread", Recording)
    layer = linear_layer(3)
    layer.layer_array[0] = Flip(3, 4)
    block, x = SL.NVRModulePyThread(layer), torch.randn(2, 3)
    with torch.no_grad():
        first = block(x)  # sequential to the end although its first step switched threads on
        assert made == [] and SL.doing_threading is True
        assert torch.equal(block(x), first)
    assert [k["target"].__name__ for k in made] == ["process_and_forward"] * 2 + ["process_and_pre"]
    assert [k["args"][0] for k in made[:2]] == [0, 1]
    assert all(set(k) == {"target", "args", "kwargs"} and k["kwargs"] is made[0]["kwargs"]
               for k in made)


@pytest.mark.parametrize("failing", [(1,), (0, 2), (2,)])
def test_step_errors_are_raised_unchanged(failing, threaded, monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    layer = linear_layer(3)
    for position in failing:
        layer.layer_array[position] = Boom()
    with pytest.raises(ValueError) as caught:
        SL.NVRModulePyThread(layer)(torch.randn(2, 3))
    assert caught.value is layer.layer_array[failing[0]].raised and reported == []


def test_cleaned_module_returns_what_its_layer_returns(threaded):
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
