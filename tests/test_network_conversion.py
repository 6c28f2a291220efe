"""convert_network, get_nvr_modules and load_nvr_model, and converted networks that are copied
or pickled whole."""

import copy
import json
import re
import subprocess
import sys
import types

import pytest
import torch
import torch.nn as nn
from safetensors.torch import save_file

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from nevrane import utils_nevrane as UNV
from sorvith import network_svp as NS
from sorvith import utils_svp

from support import dendritic_net as DN
from support.dendritic_net import SmallNet as Net


def configure():
    GNV.pc.set_modules_to_convert([nn.Linear, nn.Conv2d, nn.GRU])
    GNV.pc.set_modules_to_track([nn.ReLU])


def layout(module):
    """(width, view shape) of a wrapped module's output."""
    if isinstance(module, nn.Conv2d):
        return module.out_channels, [1, -1, 1, 1]
    if isinstance(module, nn.GRU):
        return module.hidden_size, [1, 1, -1]
    return module.out_features, [1, -1]


def save_converted(net, cycles, path):
    """Convert `net`, build its blocks the way loading does (with `cycles[name]` cycles and
    fresh values everywhere) and write the state dictionary to `path`. Returns the converted
    network and the saved tensors."""
    net = NS.convert_network(net)
    blocks = {id(b): b for b in NS.get_nvr_modules(net, 0)}  # each shared block once
    for block in blocks.values():
        n = cycles[block.name]
        block.simulate_cycles(n, 10)
        for i, layer in enumerate(block.layer_array):
            layer.reset_parameters()
            # Cleaned files name every layer with a text, where fresh blocks hold a scalar.
            layer.register_buffer("module_id", UNV.string_to_tensor("%s.%d" % (block.name, i)))
        if block.processor is None:
            block.processor_array.append(None)
        else:
            entry = copy.deepcopy(block.processor)
            entry.pre, entry.post = block.processor.post_n1, block.processor.post_n2
            block.processor_array.append(entry)
        count = len(block.layer_array)
        width, view = layout(block.layer_array[0])
        block.register_parameter("skip_weights", nn.Parameter(torch.randn(count, count, width)))
        block.register_buffer("module_id", UNV.string_to_tensor(block.name))
        block.register_buffer("view_tuple", torch.tensor(view))
        block.num_cycles.fill_(n)
    state = {k: v.detach().clone().contiguous() for k, v in net.state_dict().items()}
    save_file(state, str(path))
    return net, state


CYCLES = {"conv": 0, "blocks.0": 3, "gru": 4, "head": 1}
CONV_CYCLES = dict(CYCLES, conv=2)


def case(name, edits, expected=None, cycles=CYCLES):
    """A file saved with `cycles`, then `edits` (key: new tensor, a function of the saved one,
    or None to drop it); `expected` is None (loads and runs), a ValueError message or a
    KeyError."""
    return pytest.param(cycles, edits, expected, id=name)


def loaded_once(path):
    return NS.load_nvr_model(Net(), path)


def copies_made(path):
    net = NS.convert_network(Net())
    net.gru.simulate_cycles(3, 10)
    return net


def skip_weights_registered(path):
    net = NS.convert_network(Net())
    net.head.register_parameter("skip_weights", nn.Parameter(torch.zeros(2, 2, 2)))
    return net


class TestConvertNetwork:
    def test_whole_network(self, capsys):
        configure()
        net = Net()
        originals = {"conv": net.conv, "blocks.0": net.blocks[0], "gru": net.gru, "head": net.head}
        relu = net.blocks[1]
        converted = NS.convert_network(net)
        assert capsys.readouterr().out == "starting main call\n"
        assert converted is net
        for name, original in originals.items():
            block = converted.get_submodule(name)
            assert type(block) is NS.NVROptimizedModule
            assert block.name == name and block.layer_array[0] is original
        tracked = converted.blocks[1]
        assert type(tracked) is NS.NVRTrackedModule
        assert tracked.main_module is relu and tracked.name == "blocks.1"

    def test_companion_calls(self, recorder, monkeypatch):
        calls = []
        fake = types.SimpleNamespace(convert_module=lambda *args: calls.append(args) or "done")
        monkeypatch.setattr(NS, "UNV", fake)
        net = nn.Sequential(nn.Linear(2, 2))
        assert NS.convert_network(net) == "done"
        assert recorder == ["get_modules_to_replace", "get_modules_to_convert"]
        (args,) = calls
        assert args == (net, 0, "", [], [], NS.NVROptimizedModule, NS.NVRTrackedModule)
        assert args[3] is not args[4]

    @pytest.mark.parametrize("call", [
        lambda path: NS.convert_network(nn.Linear(2, 2)),
        lambda path: NS.convert_network(nn.Linear(2, 2), ""),
        lambda path: NS.load_nvr_model(nn.Linear(2, 2), str(path / "absent")),  # before reading
    ], ids=["convert_network", "convert_network empty name", "load_nvr_model"])
    def test_single_module_without_a_name_stops(self, call, tmp_path, capsys):
        with pytest.raises(SystemExit) as stop:
            call(tmp_path)
        assert stop.value.code == -1
        assert capsys.readouterr().out == (
            "converting a single layer without a name, add a layer_name param to the call\n")

    def test_single_module_with_a_name(self, monkeypatch):
        inner = nn.Conv2d(1, 1, 1)
        block = NS.convert_network(inner, layer_name="stem")
        assert type(block) is NS.NVROptimizedModule
        assert block.name == "stem" and block.layer_array[0] is inner

        class Replacement(NS.NVROptimizedModule):  # the class is looked up at each call
            pass

        monkeypatch.setattr(NS, "NVROptimizedModule", Replacement)
        assert type(NS.convert_network(nn.Linear(1, 1), "x")) is Replacement

    def test_exit_that_returns_leaves_the_module_unconverted(self, monkeypatch, capsys):
        statuses = []
        monkeypatch.setattr(NS, "sys", types.SimpleNamespace(exit=statuses.append))
        module = nn.Linear(2, 2)
        assert NS.convert_network(module) is module
        assert statuses == [-1] and "add a layer_name param" in capsys.readouterr().out

    def test_replacement_comes_first(self, capsys):
        class Legacy(nn.Module):
            pass

        made = nn.Linear(3, 3)
        GNV.pc.set_modules_to_replace([Legacy])
        GNV.pc.set_replacement_modules([lambda module: made])
        block = NS.convert_network(Legacy(), "legacy")
        assert type(block) is NS.NVROptimizedModule and block.layer_array[0] is made

        GNV.pc.set_replacement_modules([lambda module: nn.Sequential(made)])
        net = NS.convert_network(Legacy())
        assert capsys.readouterr().out == "starting main call\n"
        assert type(net) is nn.Sequential and type(net[0]) is NS.NVROptimizedModule


def block(name="b"):
    return NS.NVROptimizedModule(nn.Linear(1, 1), name)


class TestGetNvrModules:
    def test_containers_in_child_order(self):
        a, b, c = block("a"), block("b"), block("c")
        net = nn.Sequential(a, nn.ReLU(), nn.Sequential(nn.ModuleList([b])), c)
        assert NS.get_nvr_modules(net, 0) == [a, b, c]
        assert NS.get_nvr_modules(net, depth=5) == [a, b, c]
        assert NS.get_nvr_modules(nn.Linear(1, 1), 0) == []

    def test_attributes_in_dir_order_with_duplicates(self):
        class Holder(nn.Module):
            pass

        net, inner, shared, other = Holder(), Holder(), block("shared"), block("other")
        net.zeta = inner
        inner.body = shared
        net.alpha = shared  # reachable under two names: listed twice
        net.middle = other
        net.plain = other.layer_array  # not entered through an optimised module either
        assert NS.get_nvr_modules(net, 0) == [shared, other, shared]

    def test_attribute_errors(self):
        class Lookups(nn.Module):
            @property
            def missing(self):
                raise AttributeError("gone")

            @property
            def broken(self):
                raise ValueError("broken")

        net = Lookups()
        net.z = block()
        with pytest.raises(ValueError, match="broken"):
            NS.get_nvr_modules(net, 0)
        del Lookups.broken
        assert NS.get_nvr_modules(net, 0) == [net.z]

class TestLoadNvrModel:
    @pytest.fixture
    def saved(self, tmp_path):
        """A SmallNet file saved with CYCLES: its path, the converted network and the tensors."""
        configure()
        path = tmp_path / "net.safetensors"
        return (path, *save_converted(Net(), CYCLES, path))

    def test_round_trip(self, saved, threading_mode):
        path, source, state = saved
        torch.manual_seed(1)
        loaded = NS.load_nvr_model(Net(), str(path))
        got = loaded.state_dict()
        assert list(got) == list(source.state_dict())
        for key, value in state.items():
            if ".layer_array." in key and key.endswith(".module_id"):
                value = value[0]  # a text loads into a scalar buffer as its first code
            assert torch.equal(got[key], value), key
        for name, cycles in CYCLES.items():
            block = loaded.get_submodule(name)
            assert len(block.layer_array) == len(block.processor_array) == 1 + (cycles + 1) // 2
            assert isinstance(block.skip_weights, nn.Parameter) and block.skip_weights.requires_grad
        gru = loaded.gru
        assert gru.processor_array[-1].pre.__func__ is NV.GRUProcessor.post_n1
        assert gru.processor_array[-1].post.__self__ is gru.processor
        x = torch.randn(4, 2, 4, 4)
        with torch.no_grad():
            torch.testing.assert_close(loaded(x), source(x), rtol=0, atol=0)

    @pytest.mark.parametrize("stored", ["under each name", "once, recorded", "once, unrecorded"])
    def test_block_reachable_under_two_names_is_built_once(self, tmp_path, stored):
        class Aliased(nn.Module):
            def __init__(self):
                super().__init__()
                self.layers = nn.Sequential(nn.Linear(2, 3), nn.ReLU(), nn.Linear(3, 2))
                self.last = self.layers[2]

            def forward(self, x):
                return self.last(self.layers[:2](x))

        path = tmp_path / "net.safetensors"
        source, state = save_converted(Aliased(), {"layers.0": 2, "layers.2": 3}, path)
        assert "last.skip_weights" in state and "layers.2.skip_weights" in state
        if stored != "under each name":
            # Each tensor once, under the name sorted first; the block's own name, layers.2,
            # is the one dropped. Recorded as safetensors mode records it, or not at all.
            dropped = [k for k in state if k.startswith("layers.2.")]
            aliases = {k: "last." + k[len("layers.2."):] for k in dropped}
            metadata = {"sorvith.shared_tensors": json.dumps(aliases)}
            save_file({k: v for k, v in state.items() if k not in aliases}, str(path),
                      metadata=metadata if stored == "once, recorded" else None)
        loaded = NS.load_nvr_model(Aliased(), str(path))
        assert loaded.last is loaded.layers[2]
        assert len(loaded.last.layer_array) == len(loaded.last.processor_array) == 3
        x = torch.randn(4, 2)
        with torch.no_grad():
            assert torch.equal(loaded(x), source(x))

    def test_missing_key_stops_before_any_value_is_loaded(self, saved):
        path, _, state = saved
        del state["gru.view_tuple"]
        save_file(state, str(path))
        net = Net()
        before = [(p, p.detach().clone()) for p in net.parameters()]
        with pytest.raises(KeyError, match="gru.view_tuple"):
            NS.load_nvr_model(net, str(path))
        assert all(torch.equal(p, value) for p, value in before)
        # Every block's entries are read before any block is rebuilt.
        assert [len(b.layer_array) for b in NS.get_nvr_modules(net, 0)] == [1, 1, 1, 1]

    @pytest.mark.parametrize("cycles, edits, expected", [
        # Files the check accepts: they load, run and give the saved network's outputs.
        case("0-d view_tuple", {"head.view_tuple": torch.tensor(-1)}),
        case("view_tuple with the width", {"head.view_tuple": torch.tensor([1, 2]),
                                           "conv.view_tuple": torch.tensor([1, 3, 1, 1])},
             cycles=CONV_CYCLES),
        case("skip rows and columns never read", {"gru.skip_weights": lambda w: torch.cat(
            [torch.cat([w, torch.randn(3, 1, 5)], 1), torch.randn(1, 4, 5)])}),
        case("skip without the unread column", {"gru.skip_weights": lambda w: w[:, :2]}),
        case("one entry reads no skip row", {"conv.skip_weights": torch.zeros(2, 2, 3),
                                             "conv.view_tuple": torch.tensor([1.5])}),
        case("module_id of any shape", {"gru.module_id": torch.zeros(2, 3, dtype=torch.long)}),
        # Files the check refuses with a ValueError naming the file and the key.
        case("cycles without entries", {"blocks.0.num_cycles": torch.tensor(7)},
             "'blocks.0.num_cycles' = 7 makes 5 layer_array entries, but the file holds no "
             "'blocks.0.layer_array.3.' keys"),
        case("entries without cycles", {"head.num_cycles": torch.tensor(-2)},
             r"'head.layer_array.1.\w+' is beyond the 1 layer_array entries that "
             "'head.num_cycles' = -2 makes"),
        case("skip row short", {"gru.skip_weights": torch.zeros(2, 3, 5)},
             r"'gru.skip_weights' has shape \(2, 3, 5\), but the cascade of a block of 3 "
             r"layer_array entries reads skip_weights\[p\]\[q, :\] for q < p < 3, which needs "
             r"at least \(3, 2, width\) with width >= 1"),
        case("skip column short", {"gru.skip_weights": torch.zeros(3, 1, 5)}, r"\(3, 1, 5\), but"),
        case("skip rows empty", {"gru.skip_weights": torch.zeros(3, 3, 0)}, r"\(3, 3, 0\), but"),
        case("skip of two dimensions", {"gru.skip_weights": torch.zeros(3, 3)}, r"\(3, 3\), but"),
        case("view product", {"head.view_tuple": torch.tensor([2, 2])},
             r"'head.view_tuple' is \[2, 2\], which cannot view a skip-weight row of 2 values"),
        case("view of two -1", {"head.view_tuple": torch.tensor([-1, -1])}, r"is \[-1, -1\], which"),
        case("view with 0", {"head.view_tuple": torch.tensor([0, -1])}, r"is \[0, -1\], which"),
        case("view nested", {"head.view_tuple": torch.tensor([[1, -1]])},
             r"'head.view_tuple' must be whole numbers, the shape each skip-weight row is viewed "
             r"to; it is \[\[1, -1\]\], of shape \(1, 2\) and dtype torch.int64"),
        case("view of floats", {"head.view_tuple": torch.tensor([1.0, -1.0])},
             "and dtype torch.float32"),
        case("view of bools", {"head.view_tuple": torch.tensor([True])}, "and dtype torch.bool"),
        case("conv view short", {"conv.view_tuple": torch.tensor([1, -1, 1])},
             r"'conv.view_tuple' is \[1, -1, 1\], but the outputs of 'conv' have 4 dimensions "
             r"\(3 unbatched\), as its weight 'conv.layer_array.0.weight' shows, with the "
             r"channels at dimension 1 \(0 unbatched\): every other size must be 1",
             cycles=CONV_CYCLES),
        case("conv view elsewhere", {"conv.view_tuple": torch.tensor([1, 1, -1, 1])},
             r"is \[1, 1, -1, 1\], but", cycles=CONV_CYCLES),
        case("conv view 0-d", {"conv.view_tuple": torch.tensor(-1)}, r"is -1, but",
             cycles=CONV_CYCLES),
        case("entry shape", {"blocks.0.layer_array.1.weight": torch.zeros(0)},
             r"'blocks.0.layer_array.1.weight' has shape \(0,\), but layer_array entry 1 of "
             r"'blocks.0' holds \(8, 48\) there"),
        case("entry key extra", {"blocks.0.layer_array.2.extra": torch.zeros(1)},
             "'blocks.0.layer_array.2.extra' is not a key of layer_array entry 2 of 'blocks.0'"),
        case("entry key missing", {"blocks.0.layer_array.1.bias": None},
             "the file holds no 'blocks.0.layer_array.1.bias', which layer_array entry 1"),
        case("entry index", {"blocks.0.layer_array.01.bias": torch.zeros(8)},
             "'blocks.0.layer_array.01.bias' names no layer_array entry of 'blocks.0'"),
        # Keys are looked up for every block (blocks.0, conv, gru, head) before any value is
        # checked, each block's in the order the rebuild reads them.
        case("missing key after a bad value", {"blocks.0.view_tuple": torch.tensor([2, 2]),
                                               "head.skip_weights": None},
             KeyError("head.skip_weights")),
        case("first missing key of a block", {"head.view_tuple": None, "head.module_id": None,
                                              "head.skip_weights": None},
             KeyError("head.skip_weights")),
        case("first block's missing key", {"gru.num_cycles": None, "blocks.0.view_tuple": None},
             KeyError("blocks.0.view_tuple")),
    ])
    def test_check_before_any_block_changes(self, tmp_path, cycles, edits, expected):
        configure()
        path = tmp_path / "net.safetensors"
        source, state = save_converted(Net(), cycles, path)
        for key, value in edits.items():
            if value is None:
                del state[key]
            else:
                state[key] = value(state[key]).contiguous() if callable(value) else value
        save_file(state, str(path))
        net = Net()
        if expected is None:
            loaded = NS.load_nvr_model(net, str(path))
            x = torch.randn(4, 2, 4, 4)
            with torch.no_grad():
                torch.testing.assert_close(loaded(x), source(x), rtol=0, atol=0)
            return
        if isinstance(expected, KeyError):
            error, message = KeyError, re.escape(repr(expected.args[0]))
        else:
            error, message = ValueError, re.escape(str(path)) + ": .*" + expected
        with pytest.raises(error, match=message):
            NS.load_nvr_model(net, str(path))
        assert [len(b.layer_array) for b in NS.get_nvr_modules(net, 0)] == [1, 1, 1, 1]

    def test_lazy_main_module_takes_the_files_shapes(self, tmp_path):
        GNV.pc.set_modules_to_convert([nn.Linear, nn.LazyLinear])
        path = tmp_path / "net.safetensors"
        source, _ = save_converted(nn.Sequential(nn.Linear(3, 4)), {"0": 3}, path)
        loaded = NS.load_nvr_model(nn.Sequential(nn.LazyLinear(4)), str(path))
        x = torch.randn(2, 3)
        with torch.no_grad():
            assert torch.equal(loaded(x), source(x))

    @pytest.mark.parametrize("key", ["scale.temperature", "head.node_index"])
    def test_only_entry_texts_are_narrowed_to_a_scalar(self, tmp_path, key):
        class Scaled(nn.Module):
            def __init__(self):
                super().__init__()
                self.body = nn.Sequential(nn.Linear(3, 4), nn.ReLU())
                self.head = nn.Linear(4, 2)
                self.scale = nn.Module()
                self.scale.temperature = nn.Parameter(torch.tensor(1.5))

            def forward(self, x):
                return self.head(self.body(x)) * self.scale.temperature

        path = tmp_path / "net.safetensors"
        _, state = save_converted(Scaled(), {"body.0": 2, "head": 1}, path)
        loaded = NS.load_nvr_model(Scaled(), str(path))
        assert loaded.head.layer_array[1].module_id.dim() == 0  # the texts are narrowed
        state[key] = torch.tensor([2.0, 3.0, 4.0]).to(state[key].dtype)
        save_file(state, str(path))
        with pytest.raises(RuntimeError, match="size mismatch for " + key):
            NS.load_nvr_model(Scaled(), str(path))

    @pytest.mark.parametrize("tying", [False, True], ids=["safetensors", "weight_tying"])
    def test_tie_follows_the_neuron_module(self, tmp_path, tying):
        trained = DN.tied()
        GNV.pc.set_weight_tying_experimental(tying)
        utils_svp.sv_save_net(trained, str(tmp_path), "lm")
        fresh = DN.TiedNet()
        body = fresh.body
        loaded = NS.load_nvr_model(fresh, str(tmp_path / "lm_nvr.pt"))
        # The wrapped module, tied to the embedding, sits where the neuron module does; the
        # dendrite copies hold weights of their own. An untied block keeps it at entry 0.
        head = loaded.head.layer_array
        assert len(head) == 3 and head[-1].weight is loaded.embed.weight
        assert len({layer.weight.data_ptr() for layer in head}) == 3
        assert loaded.body.layer_array[0] is body
        with torch.no_grad():
            torch.testing.assert_close(loaded(DN.TOKENS), trained(DN.TOKENS), rtol=0, atol=0)

    @pytest.mark.parametrize("prepare, sign", [
        (loaded_once, "'conv' is one (its processor_array has entries)"),
        (copies_made, "'gru' is one (its layer_array has 3 entries)"),
        (skip_weights_registered, "'head' is one (its skip_weights is registered)"),
    ], ids=["loaded", "copies made", "skip_weights registered"])
    def test_second_load_refuses_before_anything_changes(self, saved, capsys, prepare, sign):
        path = saved[0]
        net = prepare(str(path))
        capsys.readouterr()
        state = {k: v.clone() for k, v in net.state_dict().items()}
        lengths = [len(b.layer_array) for b in NS.get_nvr_modules(net, 0)]
        x = torch.randn(4, 2, 4, 4)
        with pytest.raises(ValueError, match=re.escape(
                "%s: the network already holds loaded blocks: %s" % (path, sign))):
            NS.load_nvr_model(net, str(path))
        assert capsys.readouterr().out == ""  # refused before convert_network ran
        assert [len(b.layer_array) for b in NS.get_nvr_modules(net, 0)] == lengths
        after = net.state_dict()
        assert after.keys() == state.keys()
        assert all(torch.equal(after[k], v) for k, v in state.items())
        if prepare is loaded_once:  # and it keeps working
            with torch.no_grad():
                assert torch.equal(net(x), loaded_once(str(path))(x))

    def test_network_without_blocks_stops(self, tmp_path, capsys):
        path = tmp_path / "empty.safetensors"
        save_file({"x": torch.zeros(1)}, str(path))
        with pytest.raises(SystemExit) as stop:
            NS.load_nvr_model(nn.Sequential(nn.ReLU()), str(path))
        assert stop.value.code is None
        assert capsys.readouterr().out == (
            "starting main call\nNo NVR modules were found something went wrong with convert network\n")


PICKLED_CHECK = """
import sys, torch
net = torch.load(sys.argv[1], weights_only=False)
x, seq, want_mlp, want_gru = torch.load(sys.argv[2])
gru = net["gru"]
assert type(gru).__module__ == "sorvith.network_svp", type(gru)
assert gru.processor_array[-1].post.__self__ is gru.processor
with torch.no_grad():
    assert torch.equal(net["mlp"](x), want_mlp)
    assert torch.equal(gru(seq)[0], want_gru)
print("ok")
"""


class TestWholeNetworkCopies:
    @pytest.fixture
    def loaded(self, tmp_path):
        configure()
        make = lambda: nn.ModuleDict({
            "mlp": nn.Sequential(nn.Linear(3, 4), nn.ReLU(), nn.Linear(4, 2)),
            "gru": nn.GRU(3, 5)})
        path = tmp_path / "net.safetensors"
        save_converted(make(), {"mlp.0": 3, "mlp.2": 0, "gru": 2}, path)
        return NS.load_nvr_model(make(), str(path))

    def test_deepcopy(self, loaded, threading_mode):
        twin = copy.deepcopy(loaded)
        x = torch.randn(2, 3)
        with torch.no_grad():
            assert torch.equal(twin["mlp"](x), loaded["mlp"](x))
            twin["mlp"][0].skip_weights.zero_()
        assert not torch.equal(twin["mlp"][0].skip_weights, loaded["mlp"][0].skip_weights)
        gru = twin["gru"]
        assert gru.processor is not loaded["gru"].processor
        assert all(e.pre.__self__ is gru.processor for e in gru.processor_array)
        assert type(twin["mlp"][1]) is NS.NVRTrackedModule

    def test_fresh_process_load(self, loaded, tmp_path):
        x, seq = torch.randn(2, 3), torch.randn(4, 1, 3)
        with torch.no_grad():
            expected = (x, seq, loaded["mlp"](x), loaded["gru"](seq)[0])
        torch.save(loaded, tmp_path / "whole.pt")
        torch.save(expected, tmp_path / "expected.pt")
        result = subprocess.run(  # same interpreter and environment as this process
            [sys.executable, "-c", PICKLED_CHECK, str(tmp_path / "whole.pt"),
             str(tmp_path / "expected.pt")],
            capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "ok\n"
