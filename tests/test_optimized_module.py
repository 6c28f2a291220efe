"""NVROptimizedModule: construction, dendrite copies and the forward cascade, run on the
calling thread and on worker threads."""

import copy
import threading
import traceback

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import network_svp as NS

from support.blocks import finish_loading, loaded_block, written_out


@pytest.fixture(params=[False, True], ids=["sequential", "threaded"])
def threading_mode(request, monkeypatch):
    monkeypatch.setattr(NS, "doing_threading", request.param)
    return request.param


def by_hand(block, x):
    """The cascade written out, sigmoid between positions (not read from the companion)."""
    return written_out(block, x, activation=torch.sigmoid)


class TestConstruction:
    def test_fresh_state(self):
        inner = nn.Linear(3, 4)
        block = NS.NVROptimizedModule(original_module=inner, name="blocks.0")
        assert block.name == "blocks.0" and list(block.layer_array) == [inner]
        assert block.processor is None and block.processor_array == []
        buffers = {k: v.item() for k, v in block.named_buffers()}
        assert buffers == {"node_index": -1, "module_id": 0, "num_cycles": -1, "view_tuple": -1,
                           "layer_array.0.module_id": -1}
        assert list(buffers)[:4] == ["node_index", "module_id", "num_cycles", "view_tuple"]
        with pytest.raises(IndexError):  # nothing to compute with before loading
            block(torch.zeros(1, 3))

    @pytest.mark.parametrize("call", [
        lambda: NS.NVROptimizedModule(nn.Linear(1, 1)),
        lambda: NS.NVROptimizedModule(nn.Linear(1, 1), "a", "b"),
        lambda: NS.NVROptimizedModule(nn.Linear(1, 1), "a").simulate_cycles(2),
        *[lambda m=m: getattr(NS.NVROptimizedModule, m)()  # through the class, no instance
          for m in ("__init__", "simulate_cycles", "process_and_forward", "process_and_pre",
                    "forward")],
    ])
    def test_argument_errors(self, call):
        with pytest.raises(TypeError, match="argument"):
            call()

    def test_processor_choice_and_getter_calls(self, recorder):
        class Custom(nn.Linear):  # a subclass of a listed class does not match by class
            pass

        class ByName:
            pass

        gru = NS.NVROptimizedModule(nn.GRU(3, 4), "g")
        assert type(gru.processor) is NV.GRUProcessor
        assert recorder == ["get_modules_with_processing"] * 2 + ["get_modules_processing_classes"]

        recorder.clear()
        assert NS.NVROptimizedModule(nn.Linear(3, 4), "l").processor is None
        assert recorder == ["get_modules_with_processing", "get_module_names_with_processing"]

        GNV.pc.set_module_names_with_processing(["Custom"])
        GNV.pc.set_module_by_name_processing_classes([ByName])
        recorder.clear()
        assert type(NS.NVROptimizedModule(Custom(3, 4), "c").processor) is ByName
        assert recorder == ["get_modules_with_processing"] + [
            "get_module_names_with_processing"] * 2 + ["get_module_by_name_processing_classes"]


class TestSimulateCycles:
    @pytest.mark.parametrize("cycles, copies", [(-3, 0), (0, 0), (1, 1), (2, 1), (3, 2), (4, 2),
                                                (5, 3), (torch.tensor(3), 2)])
    def test_one_copy_per_two_cycles(self, cycles, copies):
        block = NS.NVROptimizedModule(nn.Linear(2, 2), "fc")
        assert block.simulate_cycles(cycles, nodeCount=10) is None
        assert len(block.layer_array) == 1 + copies
        assert block.processor_array == [None] * copies

    def test_copies_are_independent_snapshots_of_entry_zero(self):
        block = NS.NVROptimizedModule(nn.Linear(2, 2), "fc")
        first = block.layer_array[0]
        with torch.no_grad():
            first.weight.fill_(1.0)
            block.simulate_cycles(1, 10)
            first.weight.fill_(2.0)
            block.simulate_cycles(2, 10)  # a second call appends, removes nothing
            block.layer_array[1].weight.zero_()
        weights = [layer.weight.sum().item() for layer in block.layer_array]
        assert weights == [8.0, 0.0, 8.0]
        ids = [layer.module_id for layer in block.layer_array]
        assert [i.item() for i in ids] == [-1, -1, -1] and len(set(map(id, ids))) == 3

    def test_processor_copies_call_the_original_processor(self):
        block = NS.NVROptimizedModule(nn.GRU(3, 4), "g")
        block.simulate_cycles(3, 10)
        first, second = block.processor_array
        assert first is not second and block.processor not in (first, second)
        for entry in (first, second):
            assert type(entry) is NV.GRUProcessor
            assert entry.pre == block.processor.pre_d and entry.post == block.processor.post_d


class TestCascade:
    @pytest.mark.parametrize("count", [1, 2, 3])
    def test_against_values_by_hand(self, count, threading_mode, recorder):
        block = loaded_block(count)
        x = torch.randn(5, 3)
        recorder.clear()
        out = block(x)
        torch.testing.assert_close(out, by_hand(block, x), rtol=1e-6, atol=1e-6)
        assert recorder == ["get_nvr_forward_function"] * (count - 1)
        out.sum().backward()
        assert (block.skip_weights.grad is not None) == (count > 1)

    def test_single_position_needs_no_weights_and_no_activation(self, threading_mode):
        block = NS.NVROptimizedModule(nn.Linear(3, 2), "fc")
        block.processor_array.append(None)
        GNV.pc.set_nvr_forward_function(None)
        x = torch.randn(2, 3)
        assert torch.equal(block(x), block.layer_array[0](x))

    def test_step_outputs_are_not_changed_in_place(self):
        class Keep(nn.Linear):
            def forward(self, x):
                self.last = super().forward(x)
                return self.last

        block = NS.NVROptimizedModule(Keep(3, 3), "k")
        block.simulate_cycles(2, 10)
        finish_loading(block, [1, -1], 3)
        x = torch.randn(1, 3)
        before = block.layer_array[1](x).detach().clone()
        block(x)
        assert torch.equal(block.layer_array[1].last, before)

    def test_keyword_arguments_and_hooks(self, threading_mode):
        class Scaled(nn.Linear):
            def forward(self, x, *, scale):
                return super().forward(x) * scale

        block = NS.NVROptimizedModule(Scaled(3, 2), "s")
        block.simulate_cycles(2, 10)
        finish_loading(block, [1, -1], 2)
        calls = []
        for i, layer in enumerate(block.layer_array):
            layer.register_forward_hook(lambda m, a, o, i=i: calls.append(i))
        x = torch.randn(4, 3)
        out = block(x, scale=3.0)
        assert calls == [0]  # the neuron's forward is called directly: its hooks do not run
        dendrite, neuron = block.layer_array
        w = block.skip_weights[1, 0].view(1, -1)
        torch.testing.assert_close(
            out, neuron(x, scale=3.0) + w * torch.sigmoid(dendrite(x, scale=3.0)))

    def test_skip_weights_follow_the_outputs_device(self, threading_mode):
        block = NS.NVROptimizedModule(nn.Linear(3, 4, device="meta"), "fc")
        block.simulate_cycles(4, 10)
        finish_loading(block, [1, -1], 4)  # the skip weights stay on the CPU
        out = block(torch.empty(5, 3, device="meta"))
        assert out.device.type == "meta" and out.shape == (5, 4)

    def test_gru_block_equals_the_training_neuron(self, threading_mode):
        """Filled with a dendritic GRU neuron's weights, the block computes what the neuron
        computes, the hidden state handed through the processor included."""
        neuron = NV.NVRNeuronModule(nn.GRU(3, 4), "gru")
        neuron.add_dendrite()
        neuron.add_dendrite()
        block = NS.NVROptimizedModule(copy.deepcopy(neuron.main_module), "gru")
        block.simulate_cycles(int(neuron.dendrite_module.num_cycles), 10)
        finish_loading(block, [1, 1, -1], 4)
        sources = list(neuron.dendrite_module.layers) + [neuron.main_module]
        with torch.no_grad():
            for target, source in zip(block.layer_array, sources):
                for a, b in zip(target.parameters(), source.parameters()):
                    a.copy_(b)
            for p, row in enumerate(neuron.dendrite_module.dendrites_to_dendrites):
                block.skip_weights[p, :p] = row
            block.skip_weights[2, :2] = neuron.dendrites_to_top[-1]
        x = torch.randn(6, 2, 3)
        (value, hidden), (want_value, want_hidden) = block(x), neuron(x)
        torch.testing.assert_close(value, want_value, rtol=1e-6, atol=1e-6)
        assert torch.equal(hidden, want_hidden)


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


@pytest.fixture
def threads(monkeypatch):
    monkeypatch.setattr(RecordingThread, "log", [])
    monkeypatch.setattr(RecordingThread, "made", [])
    monkeypatch.setattr(NS, "Thread", RecordingThread)
    return RecordingThread


class TestThreads:
    def test_made_then_started_then_joined(self, threads, monkeypatch):
        block = loaded_block(3)
        x = torch.randn(2, 3)
        sequential = block(x)
        assert threads.made == []
        monkeypatch.setattr(NS, "doing_threading", 1)  # any true value
        assert torch.equal(block(x), sequential)
        assert threads.log == [(e, i) for e in ("create", "start", "join") for i in range(3)]
        given = [t.given for t in threads.made]
        outputs = given[0]["args"][1]
        assert [s["target"] for s in given] == [block.process_and_forward] * 2 + [block.process_and_pre]
        assert [s["args"] for s in given] == [(0, outputs, x), (1, outputs, x), (outputs, x)]
        assert given[2]["args"][0] is outputs and given[1]["args"][1] is outputs
        assert given[0]["kwargs"] == {} and all(s["kwargs"] is given[0]["kwargs"] for s in given)

    def test_switch_is_read_once_per_call(self, threads, monkeypatch):
        class Flip(RecordingThread):
            def __init__(self, **kwargs):
                super().__init__(**kwargs)
                NS.doing_threading = False

        monkeypatch.setattr(NS, "Thread", Flip)
        monkeypatch.setattr(NS, "doing_threading", True)
        block = loaded_block(3)
        x = torch.randn(2, 3)
        torch.testing.assert_close(block(x), by_hand(block, x))
        block(x)  # the flipped switch holds for the next call
        assert len(threads.made) == 3

    def test_positions_without_a_thread_fail_like_a_missing_key(self, monkeypatch):
        class Eager:  # runs its step when made, as a stand-in Thread may
            def __init__(self, target, args, kwargs):
                target(*args, **kwargs)

            start = join = lambda self: None

        monkeypatch.setattr(NS, "Thread", Eager)
        monkeypatch.setattr(NS, "doing_threading", True)
        block = loaded_block(2)
        block.process_and_forward = lambda k, outputs, *a, **kw: outputs.extend([None] * 50)
        with pytest.raises(KeyError) as caught:
            block(torch.zeros(1, 3))
        assert caught.value.args == (2,)

    @pytest.mark.parametrize("failing", [[0], [1, 2], [2], [0, 2], ["pre"]])
    def test_step_error_is_raised_after_all_joins(self, failing, threads, monkeypatch):
        monkeypatch.setattr(NS, "doing_threading", True)
        block = loaded_block(3)
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
        assert caught.value is errors[min(failing)]
        assert threads.log[-3:] == [("join", 0), ("join", 1), ("join", 2)]
        assert traceback.extract_tb(caught.value.__traceback__)[-1].filename == __file__

    @pytest.mark.parametrize("context", ["no_grad", "inference_mode", "autocast", "enable_grad"])
    def test_workers_run_in_the_callers_autograd_state(self, context, monkeypatch):
        seen = []

        class Probe(nn.Linear):
            def forward(self, x):
                seen.append((threading.current_thread(), torch.is_grad_enabled()))
                return super().forward(x)

        block = NS.NVROptimizedModule(Probe(3, 4), "p")
        block.simulate_cycles(4, 10)
        finish_loading(block, [1, -1], 4)
        x = torch.randn(2, 3)
        make = {"autocast": lambda: torch.autocast("cpu", dtype=torch.bfloat16)}.get(
            context, getattr(torch, context))
        with make():
            sequential = block(x)
            monkeypatch.setattr(NS, "doing_threading", True)
            threaded = block(x)
            grad_after = torch.is_grad_enabled()
        assert grad_after == (context in ("enable_grad", "autocast"))
        assert (threaded.dtype, threaded.requires_grad, torch.is_inference(threaded)) == (
            sequential.dtype, sequential.requires_grad, torch.is_inference(sequential))
        assert torch.equal(threaded, sequential)
        assert all(t is not threading.main_thread() for t, _ in seen[3:])
        assert [g for _, g in seen[3:]] == [g for _, g in seen[:3]]
