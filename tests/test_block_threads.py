"""The steps of both block kinds on worker threads (NVRModulePyThread, "cleaned", and
NVROptimizedModule, "loaded"): how the threads are made, started and joined, the switch that
chooses them, the caller's autograd state on the workers, and step errors."""

import threading
import traceback

import pytest
import torch
import torch.nn as nn

from sorvith import network_svp as NS
from sorvith import slim_load as SL

from support.blocks import block_of_kind, written_out

MODULES = {"cleaned": SL, "loaded": NS}
JOINS = [("join", 0), ("join", 1), ("join", 2)]


class RecordingThread(threading.Thread):
    """Stands in for the module's Thread and logs each thread's life."""

    log, made = [], []

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.given, self.index = kwargs, len(self.made)
        self.made.append(self)
        self.log.append(("create", self.index))

    def start(self):
        self.log.append(("start", self.index))
        super().start()

    def join(self, timeout=None):
        super().join(timeout)
        self.log.append(("join", self.index))


@pytest.fixture(params=list(MODULES))
def kind(request):
    return request.param


@pytest.fixture
def threads(kind, monkeypatch):
    monkeypatch.setattr(RecordingThread, "log", [])
    monkeypatch.setattr(RecordingThread, "made", [])
    monkeypatch.setattr(MODULES[kind], "Thread", RecordingThread)
    return RecordingThread


def test_made_then_started_then_joined(kind, threads, monkeypatch):
    block = block_of_kind(kind)
    x = torch.randn(2, 3)
    sequential = block(x)
    assert threads.made == []
    monkeypatch.setattr(MODULES[kind], "doing_threading", 1)  # any true value
    assert torch.equal(block(x), sequential)
    assert threads.log == [(e, i) for e in ("create", "start", "join") for i in range(3)]
    given = [t.given for t in threads.made]
    outputs = given[0]["args"][1]
    assert all(set(s) == {"target", "args", "kwargs"} for s in given)
    assert [s["target"] for s in given] == [block.process_and_forward] * 2 + [block.process_and_pre]
    assert [s["args"] for s in given] == [(0, outputs, x), (1, outputs, x), (outputs, x)]
    assert given[2]["args"][0] is outputs and given[1]["args"][1] is outputs
    assert given[0]["kwargs"] == {} and all(s["kwargs"] is given[0]["kwargs"] for s in given)


def test_switch_is_read_once_per_call(kind, threads, monkeypatch):
    module = MODULES[kind]

    class Flip(nn.Linear):
        def forward(self, x):
            module.doing_threading = not module.doing_threading
            return super().forward(x)

    monkeypatch.setattr(module, "doing_threading", False)
    block, x = block_of_kind(kind), torch.randn(2, 3)
    block.layer_array[0] = Flip(3, 4)
    with torch.no_grad():
        first = block(x)  # sequential to the end although its first step switched threads on
        assert threads.made == [] and module.doing_threading is True
        assert torch.equal(block(x), first)
    assert len(threads.made) == 3

    class FlipOff(RecordingThread):  # switched off as the first thread is made
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            module.doing_threading = False

    monkeypatch.setattr(module, "Thread", FlipOff)
    monkeypatch.setattr(module, "doing_threading", True)
    block = block_of_kind(kind)
    torch.testing.assert_close(block(x), written_out(block, x))
    block(x)  # the flipped switch holds for the next call
    assert len(threads.made) == 6


def test_positions_without_a_thread_fail_like_a_missing_key(kind, monkeypatch):
    class Eager:  # runs its step when made, as a stand-in Thread may
        def __init__(self, target, args, kwargs):
            target(*args, **kwargs)

        start = join = lambda self: None

    monkeypatch.setattr(MODULES[kind], "Thread", Eager)
    monkeypatch.setattr(MODULES[kind], "doing_threading", True)
    block = block_of_kind(kind, count=2)
    block.process_and_forward = lambda k, outputs, *a, **kw: outputs.extend([None] * 50)
    with pytest.raises(KeyError) as caught:
        block(torch.zeros(1, 3))
    assert caught.value.args == (2,)


@pytest.mark.parametrize("failing", [[0], [1, 2], [2], [0, 2], ["pre"]])
@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
def test_step_error_is_raised_unchanged_after_all_joins(kind, threaded, failing, threads,
                                                        monkeypatch):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    monkeypatch.setattr(MODULES[kind], "doing_threading", threaded)
    block = block_of_kind(kind)
    errors = {k: RuntimeError(k) for k in failing}

    def boom(*args, **kwargs):
        raise errors[min(failing)]

    for k in failing:
        if k == "pre":
            block.processor_array[1] = type("Failing", (), {"pre": boom})()
        else:
            block.layer_array[k].forward = lambda *a, k=k: (_ for _ in ()).throw(errors[k])
    with pytest.raises(RuntimeError) as caught:
        block(torch.zeros(1, 3))
    assert caught.value is errors[min(failing)] and reported == []
    assert threads.log[-3:] == (JOINS if threaded else [])
    assert traceback.extract_tb(caught.value.__traceback__)[-1].filename == __file__


@pytest.mark.parametrize("context", ["no_grad", "inference_mode", "autocast", "enable_grad"])
def test_workers_run_in_the_callers_autograd_state(kind, context, monkeypatch):
    seen = []

    class Probe(nn.Linear):
        def forward(self, x):
            seen.append((threading.current_thread(), torch.is_grad_enabled()))
            return super().forward(x)

    monkeypatch.setattr(SL, "torch", None)  # bound by the module, used by none of its code
    block, x = block_of_kind(kind, main=Probe), torch.randn(2, 3)
    make = {"autocast": lambda: torch.autocast("cpu", dtype=torch.bfloat16)}.get(
        context, getattr(torch, context))
    with make():
        sequential = block(x)
        monkeypatch.setattr(MODULES[kind], "doing_threading", True)
        threaded = block(x)
        grad_after = torch.is_grad_enabled()
    assert sequential.requires_grad == grad_after == (context in ("enable_grad", "autocast"))
    assert (threaded.dtype, threaded.requires_grad, torch.is_inference(threaded)) == (
        sequential.dtype, sequential.requires_grad, torch.is_inference(sequential))
    assert torch.equal(threaded, sequential)
    assert all(t is not threading.main_thread() for t, _ in seen[3:])
    assert [g for _, g in seen[3:]] == [g for _, g in seen[:3]]
