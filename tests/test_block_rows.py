"""The weight rows a block keeps between forward calls: every call computes from the current
skip_weights and view_tuple, whatever changed since the last one and under whichever autograd
mode, with results and gradients bit-identical to the cascade written out."""

import contextlib
import copy
import inspect
import pickle
import threading
import types
from unittest import mock

import pytest
import torch
import torch.nn as nn
from torch._subclasses.fake_tensor import FakeTensorMode
from torch.fx.experimental.proxy_tensor import make_fx
from torch.utils._python_dispatch import TorchDispatchMode

from nevrane import globals_nevrane as GNV
from sorvith import blockwise_svp, network_svp, slim_load

from support import blocks

WIDTH = 4  # also the batch, so that view_tuple [-1, 1] is as valid as [1, -1]
KINDS = ("cleaned", "loaded", "blockwise")
MODES = {"inference": torch.inference_mode, "no_grad": torch.no_grad, "grad": torch.enable_grad}


def make_block(kind, count=3):
    return blocks.block_of_kind(kind, count, WIDTH)


def written_out(block, x):
    """The cascade as the blocks compute it, from the block's current values."""
    activation = (block.internal_nonlinearity if isinstance(block, blockwise_svp.NVRLayer)
                  else None)
    return blocks.written_out(block, x, activation=activation)


def set_view(block, values):
    block.view_tuple.copy_(torch.tensor(values))


CHANGES = {
    "skip in place": lambda b: b.skip_weights.data.mul_(-2),
    "skip assigned": lambda b: setattr(b, "skip_weights",
                                       nn.Parameter(torch.randn_like(b.skip_weights))),
    "view in place": lambda b: set_view(b, [-1, 1]),
    "view assigned": lambda b: setattr(b, "view_tuple", torch.tensor([-1, 1])),
    "state dict": lambda b: b.load_state_dict(
        {**b.state_dict(), "skip_weights": torch.randn_like(b.skip_weights),
         "view_tuple": torch.tensor([-1, 1])}),
    "cast": lambda b: b.double(),
    "skip .data": lambda b: setattr(b.skip_weights, "data", torch.randn_like(b.skip_weights)),
    # the same memory laid out anew, and a write that no version counter sees
    "skip .data restrided": lambda b: setattr(b.skip_weights, "data",
                                              b.skip_weights.data.transpose(0, 1)),
    "view through .data": lambda b: b.view_tuple.data.copy_(torch.tensor([-1, 1])),
}


@pytest.mark.parametrize("kind", KINDS)
def test_switching_autograd_modes(kind):
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    twin = copy.deepcopy(block)
    optimizer = torch.optim.SGD(block.parameters(), lr=0.1)
    twin_optimizer = torch.optim.SGD(twin.parameters(), lr=0.1)
    for mode in ("inference", "grad", "no_grad", "grad", "inference", "grad"):
        with MODES[mode]():
            got = block(x)
            want = written_out(twin, x)
        assert torch.equal(got, want)
        assert got.requires_grad == (mode == "grad") and not (mode != "inference"
                                                                and got.is_inference())
        if mode == "grad":  # rows shaped under inference mode would fail here
            optimizer.zero_grad()
            twin_optimizer.zero_grad()
            got.square().sum().backward()
            want.square().sum().backward()
            for mine, theirs in zip(block.parameters(), twin.parameters()):
                # (a blockwise block also holds the companion's weights, which it never reads)
                assert (mine.grad is None and theirs.grad is None
                        or torch.equal(mine.grad, theirs.grad))
            optimizer.step()  # changes skip_weights in place: the next rows come from it
            twin_optimizer.step()


@pytest.mark.parametrize("kind", KINDS)
def test_frozen_skip_weights_get_no_gradient(kind):
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    block(x).sum().backward()
    block.skip_weights.grad = None
    block.skip_weights.requires_grad_(False)
    block(x).sum().backward()
    assert block.skip_weights.grad is None


@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.bfloat16])
@pytest.mark.parametrize("kind", KINDS)
def test_repeated_calls_match_the_written_out_cascade(kind, dtype, threaded, monkeypatch):
    monkeypatch.setattr(slim_load, "doing_threading", threaded)
    monkeypatch.setattr(network_svp, "doing_threading", threaded)
    block, x = make_block(kind).to(dtype), torch.randn(WIDTH, 3, dtype=dtype)
    for mode in MODES.values():
        with mode():
            got = [block(x) for _ in range(3)]
            want = written_out(block, x)
        assert all(torch.equal(g, want) for g in got)


@pytest.mark.parametrize("kind", KINDS)
def test_a_trace_reads_skip_weights_itself(kind):
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    with torch.no_grad():
        block(x)  # rows kept from an eager call
        traced = torch.jit.trace(block, (x,), check_trace=False)
        block.skip_weights.mul_(3)
        assert torch.equal(traced(x), written_out(block, x))


@pytest.mark.parametrize("kind", KINDS)
def test_inference_tensors_changed_in_place_are_seen(kind):
    with torch.inference_mode():  # parameters made here count no versions
        block, x = make_block(kind), torch.randn(WIDTH, 3)
        block(x)
        block.skip_weights.mul_(-1)
        assert torch.equal(block(x), written_out(block, x))  # rows kept by the call before
        set_view(block, [-1, 1])
        assert torch.equal(block(x), written_out(block, x))


@pytest.mark.parametrize("kind", KINDS)
def test_rows_kept_by_a_call_in_between_are_not_taken(kind, monkeypatch):
    """Python code may run while a call checks its kept rows (is_set_to, which also lets other
    threads run): rows that another call keeps meanwhile, from other weights, are not used."""
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    own, other = block.skip_weights, nn.Parameter(torch.randn_like(block.skip_weights))
    is_set_to = torch.Tensor.is_set_to

    def meanwhile(tensor, layout):
        monkeypatch.setattr(torch.Tensor, "is_set_to", is_set_to)
        block.skip_weights = other
        block(x)  # keeps rows made from `other`
        block.skip_weights = own
        return is_set_to(tensor, layout)

    with torch.no_grad():
        block(x)
        monkeypatch.setattr(torch.Tensor, "is_set_to", meanwhile)
        assert torch.equal(block(x), written_out(block, x))


@pytest.mark.parametrize("kind", KINDS)
def test_what_a_block_keeps_is_no_member(kind):
    """The walks visit a module's members by __dir__ and ask the companion once per member:
    what a block keeps between calls must not show up as one."""
    block = make_block(kind)
    block(torch.randn(WIDTH, 3))
    state = {"processor_array", "processor", "name", "node_index", "internal_nonlinearity"}
    known = (set(dir(type(block))) | set(vars(nn.Module())) | state | set(block._parameters)
             | set(block._buffers) | set(block._modules))
    assert set(block.__dir__()) <= known


@pytest.mark.parametrize("kind", KINDS[:2])
@pytest.mark.parametrize("where", ["instance", "subclass"])
def test_steps_replaced_on_the_instance_or_in_a_subclass_are_called(kind, where):
    block, x, calls = make_block(kind), torch.randn(WIDTH, 3), []
    own_forward, own_pre = type(block).process_and_forward, type(block).process_and_pre

    def forward_step(self, *args, **kwargs):
        calls.append(("forward", args[0]))
        own_forward(self, *args, **kwargs)

    def pre_step(self, *args, **kwargs):
        calls.append(("pre",))
        own_pre(self, *args, **kwargs)

    if where == "instance":
        block.process_and_forward = forward_step.__get__(block)
        block.process_and_pre = pre_step.__get__(block)
    else:
        block.__class__ = type("Sub", (type(block),), {"process_and_forward": forward_step,
                                                       "process_and_pre": pre_step})
    with torch.no_grad():
        torch.testing.assert_close(block(x), written_out(block, x), rtol=0, atol=0)
    assert calls == [("forward", 0), ("forward", 1), ("pre",)]


def swapping(conversion):
    """The conversion with torch's module conversion swapping tensors rather than data."""
    def run(block):
        torch.__future__.set_swap_module_params_on_conversion(True)
        try:
            conversion(block)
        finally:
            torch.__future__.set_swap_module_params_on_conversion(False)
    return run


def reload(block, **options):
    block.load_state_dict({k: v.clone() for k, v in block.state_dict().items()}, **options)


CONVERSIONS = {  # what torch does to a plain module, done to a block that has run
    "swap_tensors skip": lambda b: torch.utils.swap_tensors(
        b.skip_weights, nn.Parameter(torch.randn_like(b.skip_weights))),
    "swap_tensors view": lambda b: torch.utils.swap_tensors(b.view_tuple, torch.tensor([-1, 1])),
    "double": lambda b: b.double(),
    "double swapping": swapping(lambda b: b.double()),
    "half swapping": swapping(lambda b: b.half()),
    "to swapping": swapping(lambda b: b.to(torch.float64)),
    "load_state_dict swapping": swapping(reload),
    "load_state_dict assign": lambda b: reload(b, assign=True),
    "to_empty": lambda b: (lambda saved: (b.to_empty(device="cpu"), b.load_state_dict(saved)))(
        copy.deepcopy(b.state_dict())),
    "share_memory": lambda b: b.share_memory(),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("change", [*CHANGES, *CONVERSIONS])
@pytest.mark.parametrize("kind", KINDS)
def test_a_change_is_seen_at_the_next_call(kind, change, mode):
    """A change made in the mode after two calls, or a torch conversion made outside it after
    one call: the next call computes from the block's values as they are now."""
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    with MODES[mode]():
        block(x)
        if change in CHANGES:
            block(x)  # the second call uses what the first one kept
            CHANGES[change](block)
    if change in CONVERSIONS:
        CONVERSIONS[change](block)
    x = x.to(block.layer_array[0].weight.dtype)
    with MODES[mode]():
        got = block(x)
        with torch.no_grad():
            want = written_out(block, x)
    assert got.dtype == want.dtype and torch.equal(got, want)


@pytest.mark.parametrize("kind", KINDS)
def test_a_block_that_ran_pickles_as_one_that_never_did(kind):
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    before = pickle.dumps(block)
    for mode in MODES.values():
        with mode():
            block(x)
    assert pickle.dumps(block) == before
    with torch.no_grad():
        assert torch.equal(pickle.loads(before)(x), written_out(block, x))


def list_skip_block(kind):
    """A block whose skip_weights is a ParameterList of (count, WIDTH) entries."""
    block = make_block(kind)
    rows = nn.ParameterList([nn.Parameter(w.detach().clone()) for w in block.skip_weights])
    del block.skip_weights
    block.skip_weights = rows
    return block


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kind", KINDS)
def test_skip_weights_held_in_a_parameter_list(kind, mode):
    block, x = list_skip_block(kind), torch.randn(WIDTH, 3)
    with MODES[mode]():
        got = [block(x) for _ in range(2)]
        with torch.no_grad():
            want = written_out(block, x)
    assert all(torch.equal(g, want) for g in got)
    if mode == "grad":
        got[0].sum().backward()
        assert all(w.grad is not None for w in block.skip_weights[1:])


@pytest.mark.parametrize("kind", KINDS)
def test_a_float_view_tuple_fails_as_view_does(kind):
    block, x = make_block(kind), torch.randn(WIDTH, 3)
    with torch.no_grad():
        block(x)
        block.view_tuple.data = block.view_tuple.data.float()
        with pytest.raises(TypeError, match="view"):
            block(x)


class CountingMode(TorchDispatchMode):  # a user's operation counter
    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        return func(*args, **(kwargs or {}))


class DefaultDevice:
    def __enter__(self):
        torch.set_default_device("cpu")

    def __exit__(self, *exc):
        torch.set_default_device(None)


def fake_call(block, x):
    with FakeTensorMode(allow_non_fake_inputs=True) as mode:
        block(mode.from_tensor(x))


THREAD_CONTEXTS = {  # context, whether the steps run on threads
    "device context": (lambda block, x: run_in(torch.device("cpu"), block, x), True),
    "default device": (lambda block, x: run_in(DefaultDevice(), block, x), True),
    "user dispatch mode": (lambda block, x: run_in(CountingMode(), block, x), True),
    "jit.trace": (lambda block, x: torch.jit.trace(block, (x,), check_trace=False), False),
    "fake tensors": (fake_call, False),
    "make_fx": (lambda block, x: make_fx(block)(x), False),
}


def run_in(context, block, x):
    with context:
        got = block(x)
    assert torch.equal(got, written_out(block, x))


@pytest.mark.filterwarnings("ignore::torch.jit.TracerWarning", "ignore::DeprecationWarning")
@pytest.mark.parametrize("context", THREAD_CONTEXTS)
@pytest.mark.parametrize("kind", KINDS[:2])
def test_threads_run_unless_torch_traces(kind, context, monkeypatch):
    block, x, made = make_block(kind), torch.randn(WIDTH, 3), []
    module = slim_load if kind == "cleaned" else network_svp

    def counted(**kwargs):
        made.append(kwargs["target"].__name__)
        return threading.Thread(**kwargs)

    monkeypatch.setattr(module, "Thread", counted)
    monkeypatch.setattr(module, "doing_threading", True)
    call, threaded = THREAD_CONTEXTS[context]
    with torch.no_grad():
        call(block, x)
    assert made == (["process_and_forward"] * 2 + ["process_and_pre"] if threaded else [])
def make_module(kind):
    """A block of the kind, or (for "tracked") a tracked module: the four classes with methods."""
    if kind == "tracked":
        return network_svp.NVRTrackedModule(nn.Linear(3, WIDTH), "fc")
    return make_block(kind)


def own_methods(cls):
    return [name for name, value in vars(cls).items() if callable(value)]


@contextlib.contextmanager
def patched_and_restored(cls):
    with contextlib.ExitStack() as stack:
        for name in own_methods(cls):
            stack.enter_context(mock.patch.object(cls, name))
    yield


@contextlib.contextmanager
def assigned_back(cls):
    for name in own_methods(cls):
        setattr(cls, name, getattr(cls, name))  # what any save-and-restore of a patch does
    yield


@pytest.mark.parametrize("restore", [assigned_back, patched_and_restored],
                         ids=["assigned back", "mock.patch.object"])
@pytest.mark.parametrize("kind", KINDS + ("tracked",))
def test_methods_stored_back_on_the_class_still_bind(kind, restore):
    x = torch.randn(WIDTH, 3)
    torch.manual_seed(1)
    before = make_module(kind)
    cls, want, text = type(before), before(x), str(before)
    kept = dict(vars(cls))
    try:
        with restore(cls):
            assert all(vars(cls)[name] is kept[name] for name in own_methods(cls))
            torch.manual_seed(1)
            after = make_module(kind)  # __init__, and simulate_cycles for a loaded block
            assert torch.equal(after(x), want) and str(after) == text
            main = after.main_module if kind == "tracked" else after.layer_array[-1]
            assert after.weight is main.weight  # through __getattr__
    finally:
        for name in own_methods(cls):
            setattr(cls, name, kept[name])


@pytest.mark.parametrize("kind", KINDS + ("tracked",))
def test_methods_introspect_pickle_and_copy_like_python_methods(kind):
    module, x = make_module(kind), torch.randn(WIDTH, 3)
    cls = type(module)
    for name in own_methods(cls):
        method, bound = vars(cls)[name], getattr(module, name)
        assert getattr(cls, name) is method and method.__get__(None, cls) is method
        assert type(bound) is types.MethodType and bound.__self__ is module
        assert (method.__name__, method.__qualname__, method.__module__) == (
            name, cls.__qualname__ + "." + name, cls.__module__)
        assert bound.__doc__ == method.__doc__ and inspect.isroutine(method)
        unbound = inspect.signature(method)
        assert list(unbound.parameters)[0] == "self"
        assert list(inspect.signature(bound).parameters) == list(unbound.parameters)[1:]
        for protocol in (2, pickle.HIGHEST_PROTOCOL):
            assert pickle.loads(pickle.dumps(method, protocol)) is method
        assert copy.deepcopy(method) is method
    again = pickle.loads(pickle.dumps(module.forward))
    assert type(again.__self__) is cls and torch.equal(again(x), module.forward(x))


def loaded_by_load_nvr_model(tmp_path):
    from sorvith import utils_svp
    from support import dendritic_net as DN

    DN.configure()
    GNV.pc.set_using_safe_tensors(True)
    utils_svp.sv_save_net(DN.trained(), str(tmp_path), "net")
    net = network_svp.load_nvr_model(DN.MixedNet(), str(tmp_path / "net_nvr.pt"))
    return [m for m in net.modules() if type(m) is network_svp.NVROptimizedModule]


@pytest.mark.parametrize("kind", KINDS + ("load_nvr_model",))
def test_no_state_a_block_is_built_with_is_read_from_its_main_module(kind, tmp_path):
    # The engine keeps its own list of these names; every way of building a block must stay
    # inside it. (Without layer_array there is no main module to read from at all.)
    blocks = loaded_by_load_nvr_model(tmp_path) if kind == "load_nvr_model" else [make_block(kind)]
    plain = set(vars(nn.Module()))
    for block in blocks:
        own = ((set(vars(block)) - plain) | set(block._modules) | set(block._buffers)
               | set(block._parameters)) - {"layer_array"}
        assert own
        for name in sorted(own):
            lacking = copy.deepcopy(block)
            object.__setattr__(lacking.layer_array[-1], name, "the main module's")
            delattr(lacking, name)
            with pytest.raises(AttributeError, match=f"object has no attribute '{name}'"):
                getattr(lacking, name)


@pytest.mark.parametrize("kind", KINDS)
def test_a_block_reads_its_own_state_without_the_python_lookup(kind):
    """Only the Linear modules' own forward asks nn.Module.__getattr__ (weight and bias)."""
    import sys

    block, x = blocks.block_of_kind(kind), torch.randn(WIDTH, 3)
    block(x)
    lookup, asked = nn.Module.__getattr__.__code__, []
    sys.setprofile(lambda frame, event, _: event == "call" and frame.f_code is lookup
                   and asked.append(frame.f_locals.get("name")))
    try:
        block(x)
    finally:
        sys.setprofile(None)
    assert set(asked) <= {"weight", "bias"}, asked
