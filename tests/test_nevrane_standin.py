"""Tests of the pure-Python dendritic training library that sorvith works on."""

import copy
import io
import pickle

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from nevrane import utils_nevrane as UNV

from support.blocks import neuron_written_out
from support.dendritic_net import SmallNet as Net

NEURON_PATHS = ["conv", "blocks.0", "gru", "head"]


def make_net():
    GNV.pc.set_modules_to_convert([nn.Linear, nn.Conv2d, nn.GRU])
    return UNV.initialize_nvr(Net())


def neurons_by_name(net):
    return {m.name: m for m in net.modules() if isinstance(m, NV.NVRNeuronModule)}


def assert_neurons_match_reference(net, x):
    """Run net on x and compare every neuron module's output with neuron_written_out."""
    seen = {}
    hooks = [
        m.register_forward_hook(
            lambda mod, args, kwargs, out: seen.__setitem__(mod.name, (args, kwargs, out)),
            with_kwargs=True,
        )
        for m in neurons_by_name(net).values()
    ]
    try:
        with torch.no_grad():
            net(x)
            assert sorted(seen) == sorted(NEURON_PATHS)
            for name, neuron in neurons_by_name(net).items():
                args, kwargs, out = seen[name]
                expected = neuron_written_out(neuron, *args, **kwargs)
                if isinstance(out, tuple):
                    assert len(out) == len(expected) == 2
                    for got, want in zip(out, expected):
                        torch.testing.assert_close(got, want, rtol=0, atol=0)
                else:
                    torch.testing.assert_close(out, expected, rtol=0, atol=0)
    finally:
        for h in hooks:
            h.remove()


def train_step(net, x, target):
    opt = torch.optim.SGD(net.parameters(), lr=0.05)
    opt.zero_grad()
    loss = nn.functional.mse_loss(net(x), target)
    loss.backward()
    opt.step()
    return loss


class TestNeuronModule:
    def test_layout_is_known_before_any_forward(self):
        net = make_net()
        layouts = {
            name: (n.dendrite_module.dendrite_values[0].this_output_dimensions,
                   n.dendrite_module.dendrite_values[0].this_node_index,
                   int(n.this_node_index))
            for name, n in neurons_by_name(net).items()
        }
        assert layouts == {
            "conv": ([-1, 3, -1, -1], 1, 1),
            "blocks.0": ([-1, 8], 1, 1),
            "gru": ([-1, -1, 5], 2, 2),
            "head": ([-1, 2], 1, 1),
        }
        assert isinstance(neurons_by_name(net)["gru"].processor, NV.GRUProcessor)
        assert neurons_by_name(net)["conv"].processor is None
        assert hasattr(net, "tracker_string")

    def test_training_and_growth_keep_the_cascade(self):
        net = make_net()
        x, target = torch.randn(4, 2, 4, 4), torch.randn(4, 2)
        assert_neurons_match_reference(net, x)
        assert torch.isfinite(train_step(net, x, target))
        for k in (1, 2, 3):
            UNV.add_dendrites(net)
            for neuron in neurons_by_name(net).values():
                d = neuron.dendrite_module
                width = d.dendrite_values[0].this_output_dimensions[d.dendrite_values[0].this_node_index]
                assert len(d.layers) == k
                assert [tuple(p.shape) for p in d.dendrites_to_dendrites] == [(i, width) for i in range(k)]
                assert tuple(neuron.dendrites_to_top[-1].shape) == (k, width)
                assert d.num_cycles.dim() == 0 and int(d.num_cycles) == 2 * k
                assert len(d.processors) == (k if neuron.processor is not None else 0)
                assert len({id(p) for p in d.processors} | {id(neuron.processor)}) == len(d.processors) + 1
            assert_neurons_match_reference(net, x)
            assert torch.isfinite(train_step(net, x, target))
            for neuron in neurons_by_name(net).values():
                assert neuron.dendrites_to_top[-1].grad is not None
                assert all(p.grad is not None for p in neuron.dendrite_module.layers[-1].parameters())
            assert_neurons_match_reference(net, x)

    def test_new_dendrite_is_freshly_initialised_and_keeps_learned_top_rows(self):
        neuron = NV.NVRNeuronModule(nn.Linear(3, 4), "fc")
        neuron.add_dendrite()
        first_row = neuron.dendrites_to_top[-1].detach().clone()
        neuron.add_dendrite()
        assert not torch.equal(neuron.dendrite_module.layers[0].weight, neuron.main_module.weight)
        torch.testing.assert_close(neuron.dendrites_to_top[-1][:1].detach(), first_row)

    def test_output_rank_other_than_the_class_default(self):
        neuron = NV.NVRNeuronModule(nn.Linear(3, 4), "fc")
        neuron.add_dendrite()
        neuron.add_dendrite()
        x = torch.randn(2, 5, 3)
        with torch.no_grad():
            out = neuron(x)
            values = neuron.dendrite_module.dendrite_values[0]
            assert (values.this_output_dimensions, values.this_node_index) == ([-1, -1, 4], 2)
            torch.testing.assert_close(out, neuron_written_out(neuron, x), rtol=0, atol=0)

    def test_class_without_known_layout_learns_it_from_the_first_output(self):
        neuron = NV.NVRNeuronModule(nn.Embedding(10, 6), "emb")
        with pytest.raises(RuntimeError, match="forward"):
            neuron.add_dendrite()
        tokens = torch.tensor([[1, 2, 3]])
        neuron(tokens)
        neuron.add_dendrite()
        values = neuron.dendrite_module.dendrite_values[0]
        assert (values.this_output_dimensions, values.this_node_index) == ([-1, -1, 6], 2)
        with torch.no_grad():
            torch.testing.assert_close(neuron(tokens), neuron_written_out(neuron, tokens), rtol=0, atol=0)


    def test_attributes_it_lacks_come_from_the_main_module(self):
        neuron = NV.NVRNeuronModule(nn.Linear(3, 4), "fc")
        assert neuron.weight is neuron.main_module.weight and neuron.in_features == 3
        assert neuron.name == "fc" and not hasattr(neuron, "__deepcopy__")
        with pytest.raises(AttributeError, match="missing"):
            neuron.missing
        assert not hasattr(NV.NVRNeuronModule.__new__(NV.NVRNeuronModule), "weight")


class TestGRUProcessor:
    def test_copies_and_pickles_after_a_forward_with_gradients(self):
        net = make_net()
        UNV.add_dendrites(net)
        net(torch.randn(2, 2, 4, 4))  # leaves a graph-attached hidden state on the processor
        proc = neurons_by_name(net)["gru"].processor
        assert proc.hidden is not None and proc.hidden.requires_grad
        alias = copy.deepcopy(proc)
        alias.pre, alias.post = proc.post_n1, proc.post_n2  # bound to the original object
        restored = pickle.loads(pickle.dumps(alias))
        assert restored.hidden is None
        out = (torch.ones(1, 1, 5), torch.zeros(1, 1, 5))
        assert restored.pre(out) is out[0]
        value, hidden = restored.post(out[0])
        assert value is out[0] and hidden is out[1]


class TestConversion:
    class Optimized(nn.Module):
        def __init__(self, module, name):
            super().__init__()
            self.layer_array = nn.ModuleList([module])
            self.name = name

    class Tracked(nn.Module):
        def __init__(self, module, name):
            super().__init__()
            self.main_module = module
            self.name = name

    def test_convert_module_paths_match_the_training_network(self):
        GNV.pc.set_modules_to_track([nn.GRU])
        converted_paths, tracked_paths = [], []
        net = UNV.convert_module(Net(), 0, "", converted_paths, tracked_paths, self.Optimized, self.Tracked)
        optimized = {m.name: m for m in net.modules() if isinstance(m, self.Optimized)}
        assert sorted(optimized) == sorted(converted_paths) == ["blocks.0", "conv", "head"]
        assert tracked_paths == ["gru"] and isinstance(net.gru, self.Tracked)
        assert type(optimized["blocks.0"].layer_array[0]) is nn.Linear
        assert isinstance(net.blocks[1], nn.ReLU)
        assert "blocks.0.layer_array.0.weight" in net.state_dict()

        training = UNV.initialize_nvr(Net())
        neurons = neurons_by_name(training)
        assert sorted(neurons) == sorted(converted_paths)
        for name, neuron in neurons.items():
            assert UNV.get_module_base_name(neuron) == name
            assert name + ".main_module.weight" in training.state_dict()
        tracked_keys = {k for k in training.state_dict() if k.startswith("gru.")}
        assert tracked_keys == {k for k in net.state_dict() if k.startswith("gru.")}
        assert all(k.startswith("gru.main_module.") for k in tracked_keys)
        # a converted network is not wrapped a second time
        again = UNV.initialize_nvr(training)
        assert sorted(neurons_by_name(again)) == sorted(converted_paths)

    def test_replacement_and_convertible_root(self):
        GNV.pc.set_modules_to_replace([nn.ReLU])
        GNV.pc.set_replacement_modules([lambda module: nn.Tanh()])
        net = UNV.convert_module(Net(), 0, "", [], [], self.Optimized, self.Tracked)
        assert isinstance(net.blocks[1], nn.Tanh)
        assert isinstance(UNV.replace_predefined_modules(nn.ReLU()), nn.Tanh)
        conv = nn.Conv2d(1, 1, 1)
        assert UNV.replace_predefined_modules(conv) is conv
        root = UNV.initialize_nvr(nn.Linear(2, 3))
        assert isinstance(root, NV.NVRNeuronModule) and root.name == ""

    def test_shared_module_gets_one_wrapper(self):
        shared = nn.Linear(3, 3)
        net = UNV.initialize_nvr(nn.Sequential(shared, nn.ReLU(), shared))
        assert isinstance(net[2], NV.NVRNeuronModule)
        assert net[0] is net[2] and net[0].name == "0"
        shared = nn.Linear(3, 3)
        net = UNV.convert_module(nn.Sequential(shared, shared), 0, "", [], [], self.Optimized, self.Tracked)
        assert isinstance(net[1], self.Optimized) and net[0] is net[1]


def test_config_setters_and_reset():
    pc = GNV.pc
    for setting in GNV.SETTING_NAMES:
        assert callable(getattr(pc, "get_" + setting)) and callable(getattr(pc, "set_" + setting))
    pc.set_verbose(True)
    pc.get_modules_to_convert().append(nn.GRU)
    pc.set_nvr_forward_function(torch.tanh)
    pc.reset()
    assert pc.get_verbose() is False
    assert pc.get_modules_to_convert() == [nn.Linear, nn.Conv2d]
    assert pc.get_nvr_forward_function() is torch.sigmoid
    assert pc.get_using_safe_tensors() is True


def test_deep_copy_is_independent():
    net = make_net()
    UNV.add_dendrites(net)
    x = torch.randn(2, 2, 4, 4)
    net(x)  # the GRU processor now holds a graph-attached hidden state
    twin = UNV.deep_copy_nvr(net)
    with torch.no_grad():
        torch.testing.assert_close(twin(x), net(x), rtol=0, atol=0)
        for p in twin.parameters():
            p.add_(1.0)
    for (name, a), (_, b) in zip(net.named_parameters(), twin.named_parameters()):
        if a.numel():
            assert not torch.equal(a, b), name
    assert twin.gru.processor is not net.gru.processor
    assert twin.gru.dendrite_module.processors[0] is not net.gru.dendrite_module.processors[0]


class TiedNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.a = nn.Linear(4, 4)
        self.b = nn.Linear(4, 4)
        self.b.weight = self.a.weight

    def forward(self, x):
        return self.b(torch.relu(self.a(x)))


def make_tied():
    net = UNV.initialize_nvr(TiedNet())
    return UNV.add_dendrites(net)


def test_weight_tying_round_trip(tmp_path):
    net = make_tied()
    assert net.a.main_module.weight is net.b.main_module.weight
    path = tmp_path / "tied.safetensors"
    UNV.save_model_with_weight_tying(net, path)
    loaded = UNV.load_model_with_weight_tying(make_tied(), path)
    assert loaded.a.main_module.weight is loaded.b.main_module.weight
    x = torch.randn(3, 4)
    with torch.no_grad():
        torch.testing.assert_close(loaded(x), net(x), rtol=0, atol=0)
    with pytest.raises(RuntimeError):  # a different dendrite count is a key mismatch
        UNV.load_model_with_weight_tying(UNV.initialize_nvr(TiedNet()), path)


def test_load_net_from_dict_is_strict():
    net = make_net()
    state = net.state_dict()
    fresh = make_net()
    assert UNV.load_net_from_dict(fresh, state) is fresh
    assert all(torch.equal(v, fresh.state_dict()[k]) for k, v in state.items())
    state.pop("head.main_module.bias")
    with pytest.raises(RuntimeError, match="head.main_module.bias"):
        UNV.load_net_from_dict(make_net(), state)


def test_string_to_tensor_and_whole_network_pickle():
    assert UNV.string_to_tensor("Az").tolist() == [65, 122]
    assert UNV.string_to_tensor("").dtype == torch.int64
    net = UNV.add_dendrites(make_net())
    buffer = io.BytesIO()
    torch.save(net, buffer)
    buffer.seek(0)
    back = torch.load(buffer, weights_only=False)
    x = torch.randn(2, 2, 4, 4)
    with torch.no_grad():
        torch.testing.assert_close(back(x), net(x), rtol=0, atol=0)
