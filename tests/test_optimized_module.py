"""NVROptimizedModule: construction, dendrite copies and the forward cascade, run on the
calling thread and on worker threads (the threads themselves: test_block_threads.py)."""

import copy

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import network_svp as NS

from support.blocks import finish_loading, loaded_block, written_out


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
        torch.testing.assert_close(out, written_out(block, x, activation=torch.sigmoid),
                                   rtol=1e-6, atol=1e-6)
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
