"""The fused forward (`doing_fusion`): one wide linear or convolution per block and a batched
cascade, taken only where nothing could tell it from the described forward, and bit for bit
the same result."""

import contextlib
import pickle

import pytest
import torch
import torch.nn as nn
from torch.nn.utils import parametrize
from torch.utils._python_dispatch import TorchDispatchMode

from sorvith import network_svp, slim_load
from support.blocks import finish_loading

MODULES = {  # a module of each fusable class, its input (batch, width given) and view shape
    "linear": (lambda w: nn.Linear(8, w), lambda b: torch.randn(b, 8), [1, -1]),
    "conv1d": (lambda w: nn.Conv1d(3, w, 3, padding=1), lambda b: torch.randn(b, 3, 10),
               [1, -1, 1]),
    "conv2d": (lambda w: nn.Conv2d(3, w, 3, padding=1), lambda b: torch.randn(b, 3, 6, 6),
               [1, -1, 1, 1]),
}
SWITCHES = {"cleaned": slim_load, "loaded": network_svp}


class Layer(nn.Module):  # what a cleaned block takes over
    def __init__(self, modules, width, view):
        super().__init__()
        count = len(modules)
        self.layer_array = nn.Sequential(*modules)
        self.processor_array = [None] * count
        self.skip_weights = nn.Parameter(torch.randn(count, count, width))
        self.node_index = torch.tensor(1)
        self.register_buffer("module_id", torch.tensor([1, 2]))
        self.register_buffer("num_cycles", torch.tensor(2 * (count - 1)))
        self.register_buffer("view_tuple", torch.tensor(view))


def make_block(kind, module="linear", count=4, width=16, dtype=torch.float32):
    make, _, view = MODULES[module]
    if kind == "cleaned":
        block = slim_load.NVRModulePyThread(Layer([make(width) for _ in range(count)], width,
                                                  view))
    else:
        block = network_svp.NVROptimizedModule(make(width), "fc")
        block.simulate_cycles(2 * (count - 1), 10)
        for layer in block.layer_array:
            layer.reset_parameters()
        finish_loading(block, view, width)
    return block.to(dtype)


def module_calls(call):
    """call()'s result and how many linears and convolutions torch ran for it."""
    names = {"aten::linear", "aten::conv1d", "aten::conv2d"}
    with torch.autograd.profiler.profile() as profile:
        out = call()
    return out, sum(event.name in names and (event.cpu_parent is None or
                                             event.cpu_parent.name not in names)
                    for event in profile.function_events)  # autocast calls them twice


@contextlib.contextmanager
def fusion(kind, on=True):
    switch = SWITCHES[kind]
    switch.doing_fusion = on
    try:
        yield
    finally:
        switch.doing_fusion = False


def described(kind, block, *args):
    with fusion(kind, on=False):
        return block(*args)


SWEEP = {  # widths (features or channels) and batches per module class
    "linear": ((1, 7, 16, 256, 2048), (1, 5, 64)),
    "conv1d": ((1, 7, 16, 64), (1, 5, 64)),
    "conv2d": ((1, 7, 16, 64), (1, 5, 64)),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16], ids=["float32", "bfloat16"])
@pytest.mark.parametrize("module", MODULES)
def test_fused_results_are_the_described_bits(module, dtype):
    widths, batches = SWEEP[module]
    differ, fused, cases = [], 0, 0
    as_bits = torch.int16 if dtype == torch.bfloat16 else torch.int32
    for kind in SWITCHES:
        for count in (2, 3, 5, 8):
            for width in widths:
                for batch in batches:
                    block = make_block(kind, module, count, width, dtype)  # as loaded: outside
                    first, again = (MODULES[module][1](batch).to(dtype) for _ in range(2))
                    with torch.inference_mode():
                        with fusion(kind):
                            block(first)  # compares the two ways for this input layout
                            got, calls = module_calls(lambda: block(again))
                        want = described(kind, block, again)
                    cases += 1
                    fused += calls == 1
                    if got.dtype != want.dtype or not torch.equal(got.view(as_bits),
                                                                  want.view(as_bits)):
                        differ.append((kind, count, width, batch))
    assert not differ
    assert fused >= cases // 3, (fused, cases)  # the fused path is taken, not only refused


def hook_on_first(block):
    calls = []
    block.layer_array[0].register_forward_hook(lambda *a: calls.append(1))
    return calls


class Subclassed(nn.Linear):
    pass


def subclassed(block):
    for i, layer in enumerate(block.layer_array):
        swapped = Subclassed(8, 16)
        swapped.load_state_dict(layer.state_dict(), strict=False)
        block.layer_array[i] = swapped


def processor(block):
    class Identity:
        def pre(self, *args, **kwargs):
            return args, kwargs

        def post(self, out):
            return out

    block.processor_array[0] = Identity()


class Watching(TorchDispatchMode):
    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        return func(*args, **(kwargs or {}))


FALLBACKS = {  # what makes a call take the described forward
    "switch off": {"on": False},
    "gradient needed": {"context": torch.enable_grad},
    "hook on a dendrite": {"change": hook_on_first},
    "global module hook": {"context": lambda: global_hook()},
    "subclass": {"change": subclassed},
    "parametrized weight": {"change": lambda b: parametrize.register_parametrization(
        b.layer_array[1], "weight", nn.Identity())},
    "instance forward": {"change": lambda b: setattr(b.layer_array[2], "forward",
                                                     b.layer_array[2].forward)},
    "one bias missing": {"change": lambda b: setattr(b.layer_array[1], "bias", None)},
    "a processor": {"change": processor},
    "dispatch mode": {"context": Watching},
    "autocast": {"context": lambda: torch.autocast("cpu", dtype=torch.bfloat16)},
    "keyword input": {"keyword": True},
    "too large to pay": {"width": 1024, "batch": 64},
    "weights made in inference mode": {"built": torch.inference_mode},  # they count no versions
}


@contextlib.contextmanager
def global_hook():
    handle = nn.modules.module.register_module_forward_hook(lambda *a: None)
    try:
        yield
    finally:
        handle.remove()


@pytest.mark.parametrize("case", FALLBACKS)
@pytest.mark.parametrize("kind", SWITCHES)
def test_a_call_that_could_tell_takes_the_described_forward(kind, case):
    spec = FALLBACKS[case]
    with spec.get("built", contextlib.nullcontext)():
        block = make_block(kind, width=spec.get("width", 16))
    hooked = spec.get("change", lambda b: None)(block)
    x = torch.randn(spec.get("batch", 3), 8)
    call = (lambda: block(input=x)) if spec.get("keyword") else (lambda: block(x))
    with spec.get("context", torch.no_grad)():
        with fusion(kind, on=False):
            want = call()
        with fusion(kind, on=spec.get("on", True)):
            call()
            got, calls = module_calls(call)
    assert calls == len(block.layer_array)
    assert torch.equal(got, want)
    assert hooked is None or hooked  # a hook ran


def grouped(module):
    conv = nn.Conv1d if module == "conv1d" else nn.Conv2d
    block = network_svp.NVROptimizedModule(conv(4, 16, 3, padding=1, groups=2), "fc")
    block.simulate_cycles(6, 10)
    for layer in block.layer_array:
        layer.reset_parameters()
    return finish_loading(block, MODULES[module][2], 16)


@pytest.mark.parametrize("module", ["conv1d", "conv2d"])
@pytest.mark.parametrize("case", ["groups", "padding mode", "channels last", "kernel sizes"])
def test_convolutions_that_fusing_would_change_are_not_fused(module, case):
    block, x = make_block("loaded", module), MODULES[module][1](2)
    if case == "groups":  # side by side, the groups would take other channels
        block, x = grouped(module), torch.randn(2, 4, *x.shape[2:])
    if case == "padding mode":
        for layer in block.layer_array:
            layer.padding_mode = "circular"
    if case == "kernel sizes":  # the same output shape from another weight shape
        conv = type(block.layer_array[0])
        block.layer_array[1] = conv(3, 16, 5, padding=2)
    if case == "channels last":
        if module == "conv1d":
            pytest.skip("3-D tensors have no channels-last format")
        x = x.contiguous(memory_format=torch.channels_last)
    with torch.inference_mode():
        want = described("loaded", block, x)
        with fusion("loaded"):
            block(x)
            got, calls = module_calls(lambda: block(x))
    assert calls == len(block.layer_array)
    assert torch.equal(got, want) and got.stride() == want.stride()


CHANGES = {  # after fused calls, each of these is seen by the next one
    "state dict": lambda b: b.load_state_dict(
        {k: torch.randn_like(v) if v.is_floating_point() else v
         for k, v in b.state_dict().items()}),
    "new parameter": lambda b: setattr(b.layer_array[1], "weight",
                                       nn.Parameter(torch.randn(16, 8))),
    "weight .data": lambda b: setattr(b.layer_array[0].weight, "data", torch.randn(16, 8)),
    "swap_tensors": lambda b: torch.utils.swap_tensors(b.layer_array[2].weight,
                                                       nn.Parameter(torch.randn(16, 8))),
    "optimiser step": lambda b: _step(b),
    "cast": lambda b: b.double(),
    "skip in place": lambda b: b.skip_weights.data.mul_(-2),
    "view": lambda b: b.view_tuple.copy_(torch.tensor([-1, 16])),
}


def _step(block):
    optimiser = torch.optim.SGD(block.parameters(), lr=0.5)
    for p in block.parameters():
        p.grad = torch.randn_like(p)
    optimiser.step()


@pytest.mark.parametrize("swap", [False, True], ids=["assign", "swap"])
@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("kind", SWITCHES)
def test_changed_weights_are_fused_anew(kind, change, swap):
    block, x = make_block(kind), torch.randn(3, 8)
    torch.__future__.set_swap_module_params_on_conversion(swap)
    try:
        with torch.no_grad(), fusion(kind):
            block(x)
            block(x)
            CHANGES[change](block)  # nothing the fused forward keeps stands in the way
            if change == "cast":
                x = x.double()
            block(x)
            got, calls = module_calls(lambda: block(x))
            want = described(kind, block, x)
    finally:
        torch.__future__.set_swap_module_params_on_conversion(False)
    assert got.dtype == want.dtype and torch.equal(got, want)
    assert calls == 1  # and fused again


def test_a_fused_block_pickles_and_converts_as_one_that_never_ran():
    block, x = make_block("loaded"), torch.randn(3, 8)
    before = pickle.dumps(block)
    with torch.no_grad(), fusion("loaded"):
        block(x)
        block(x)
    assert pickle.dumps(block) == before
    torch.__future__.set_swap_module_params_on_conversion(True)
    try:
        block.to(torch.float64)  # swaps every parameter: no other holder
    finally:
        torch.__future__.set_swap_module_params_on_conversion(False)
    with torch.no_grad(), fusion("loaded"):
        got = block(x.double())
    assert torch.equal(got, described("loaded", block, x.double()))


def test_traces_and_wrong_inputs_see_the_described_forward():
    block, x = make_block("loaded"), torch.randn(3, 8)
    with torch.no_grad(), fusion("loaded"):
        block(x)
        traced = torch.jit.trace(block, x)
        errors = []
        for on in (True, False):
            network_svp.doing_fusion = on
            with pytest.raises(RuntimeError) as error:
                block(x.double())  # the modules' own error, fused or not
            errors.append(str(error.value))
    linears = [n for n in traced.inlined_graph.nodes() if n.kind() == "aten::linear"]
    assert len(linears) == len(block.layer_array)
    assert errors[0] == errors[1]
