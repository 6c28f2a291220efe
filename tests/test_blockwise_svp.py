"""sorvith.blockwise_svp: the NVRLayer block and the blockwise rewrite of a network."""

import contextlib
import copy
import io
import types

import numpy as np
import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import blockwise_svp as BSV

from support.blocks import grown_neuron as neuron
from support.dendritic_net import Holder
from support.names import BOUND, bound

# The text whose character pairs the block writes into its first filler slots.
MARKER_TEXT = "sv-nvr"


def literal_skip_tensor(skip_list):
    """The skip tensor built element by element, the reference for the block's bulk build."""
    values = np.array([])
    largest = 0
    for i in range(len(skip_list)):
        for j in range(len(skip_list[i])):
            for k in range(len(skip_list[i][j])):
                values = np.append(values, skip_list[i][j][k].item())
                if k > largest:
                    largest = k
    width = largest + 1
    if len(values) != 0:
        mean = values.mean()
        std = values.std()
    string_floats, next_float, float_index = [], 0.0, 0
    for letter in [ord(c) for c in MARKER_TEXT]:
        next_float += (letter + 1) / 10 ** ((float_index + 2) * 2)
        float_index += 1
        if float_index == 2:
            float_index = 0
            string_floats.append(next_float)
            next_float = 0.0
    count = len(skip_list)
    new_skip = torch.zeros(count, count, width)
    letter_index = 0
    for i in range(count):
        for j in range(count):
            if j < len(skip_list[i]):
                for k in range(len(skip_list[i][j])):
                    new_skip[i][j][k] = skip_list[i][j][k]
            else:
                for k in range(width):
                    new_skip[i][j][k] = np.random.normal(mean, std)  # noqa: F821 (unset: the error)
                    if letter_index < len(string_floats):
                        new_skip[i][j][k] = round(new_skip[i][j][k].item(), 2)
                        multiplier = -1 if new_skip[i][j][k] < 0 else 1
                        new_skip[i][j][k] += string_floats[letter_index] * multiplier
                        letter_index += 1
    return new_skip


def make_layer(to_dendrites, to_top, blocks=2, width=4, processors=None):
    layers = nn.Sequential(*[nn.Linear(3, width) for _ in range(blocks)])
    return BSV.NVRLayer(layers, processors or [None] * blocks, to_top, to_dendrites,
                        torch.tensor(1), torch.tensor(2 * (blocks - 1)), [1, -1])


def params(*shapes, dtype=torch.float32):
    return nn.ParameterList([nn.Parameter(torch.randn(*s, dtype=dtype)) for s in shapes])


def bits(t):
    return t.detach().contiguous().view(torch.int16 if t.element_size() == 2 else
                                         torch.int32 if t.element_size() == 4 else torch.int64)


# ---------------------------------------------------------------------------------------------
# The skip tensor


SKIP_LISTS = {
    "three dendrites": lambda: (params((0, 7), (1, 7), (2, 7)), params((3, 7))),
    "one dendrite, empty dendrite list": lambda: (nn.ParameterList(), params((1, 5))),
    "width one": lambda: (params((0, 1)), params((1, 1))),
    "mixed dtypes": lambda: (params((0, 6), (1, 6), dtype=torch.float64),
                             params((2, 6), dtype=torch.float16)),
    "more rows than blocks": lambda: (params((5, 4)), params((1, 4))),
    "short rows": lambda: (params((0, 3), (1, 3)), params((2, 5))),
    "non-contiguous": lambda: ([torch.randn(6, 0).t(), torch.randn(8, 1).t()],
                               [torch.randn(8, 2).t()]),
    "integer entries": lambda: ([torch.zeros(0, 3, dtype=torch.int64),
                                 torch.arange(3).reshape(1, 3)], [torch.arange(6).reshape(2, 3)]),
    "trailing unit dimensions": lambda: ([torch.randn(0, 4, 1), torch.randn(1, 4, 1)],
                                         [torch.randn(2, 4, 1)]),
}


@pytest.mark.parametrize("default_dtype", [torch.float32, torch.float64, torch.float16])
@pytest.mark.parametrize("case", list(SKIP_LISTS))
def test_skip_tensor_is_bit_identical_to_the_element_by_element_build(case, default_dtype):
    torch.set_default_dtype(default_dtype)
    to_dendrites, to_top = SKIP_LISTS[case]()
    np.random.seed(11)
    layer = make_layer(to_dendrites, to_top, blocks=2)
    built, state = layer.skip_weights.detach(), np.random.get_state()

    np.random.seed(11)
    expected = literal_skip_tensor(layer.original)
    assert built.shape == expected.shape and built.dtype == expected.dtype == default_dtype
    assert torch.equal(bits(built), bits(expected))
    expected_state = np.random.get_state()
    assert np.array_equal(state[1], expected_state[1]) and state[2:] == expected_state[2:]


@pytest.mark.parametrize("default_dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("replaced", ["np", "np.random.normal", "round"])
def test_replaced_helpers_get_the_element_by_element_calls(replaced, default_dtype, monkeypatch):
    """A caller's np module or np.random.normal receives one draw per filler slot, a round bound
    in the module one call per marker slot on the stored value, as in the element by element
    build; the tensor is the one it gives."""
    torch.set_default_dtype(default_dtype)
    to_dendrites, to_top = SKIP_LISTS["three dendrites"]()
    np.random.seed(11)
    expected = literal_skip_tensor(list(to_dendrites) + [to_top[-1]])
    real_normal, calls = np.random.normal, []

    def normal(*args, **kwargs):
        calls.append((len(args), kwargs))
        return real_normal(*args, **kwargs)

    def spy(value, digits):
        calls.append((type(value), digits))
        return round(value, digits)

    if replaced == "np":
        monkeypatch.setattr(BSV, "np", types.SimpleNamespace(
            array=np.array, append=np.append, random=types.SimpleNamespace(normal=normal)))
    elif replaced == "round":
        monkeypatch.setattr(BSV, "round", spy, raising=False)
    else:
        monkeypatch.setattr(np.random, "normal", normal)
    np.random.seed(11)
    built = make_layer(to_dendrites, to_top, blocks=2).skip_weights.detach()
    assert calls == ([(float, 2)] * (len(MARKER_TEXT) // 2) if replaced == "round"
                     else [(2, {})] * (10 * 7))  # ten filler rows of width 7
    assert torch.equal(bits(built), bits(expected))


def test_skip_tensor_contents_for_one_dendrite_with_empty_dendrite_list():
    top = params((1, 5))
    layer = make_layer(nn.ParameterList(), top)
    skip = layer.skip_weights
    assert isinstance(skip, nn.Parameter) and skip.requires_grad and skip.shape == (2, 2, 5)
    assert [tuple(p.shape) for p in layer.original] == [(1, 1, 1), (1, 5)]
    assert layer.original[1] is top[0]
    assert torch.equal(skip[0, 0], torch.zeros(5))
    assert torch.equal(skip[1, 0], top[0][0].detach())
    # The first filler slots hold a value rounded to two decimals, moved away from zero by
    # one marker value each.
    for slot, value in zip(skip[0, 1, :3].tolist(), [0.011719, 0.004711, 0.012015]):
        rest = abs(slot) - value
        assert rest == pytest.approx(round(rest, 2), abs=1e-6)


def test_skip_list_is_the_companions_own_list_extended():
    to_dendrites, to_top = params((0, 4), (1, 4)), params((2, 4))
    layer = make_layer(to_dendrites, to_top, blocks=3)
    assert layer.original is to_dendrites and len(to_dendrites) == 3
    assert to_dendrites[2] is to_top[0]
    names = dict(layer.named_parameters())
    assert {"skip_weights", "original.0", "original.2"} <= set(names)
    assert torch.equal(layer.skip_weights[2, :2], to_top[0].detach())


def test_no_dendrites_gives_an_empty_skip_tensor_and_the_main_output():
    layer = make_layer(params((0, 4)), nn.ParameterList(), blocks=1)
    assert layer.skip_weights.shape == (0, 0, 1) and len(layer.original) == 0
    x = torch.randn(2, 3)
    assert torch.equal(layer(x), layer.layer_array[0](x))


def test_rounded_zero_takes_the_marker_with_a_positive_sign():
    # Every filler draw is -1e-4 (no spread), which rounds to -0.0: that counts as non-negative.
    to_top = [torch.full((1, 2), -1e-4)]
    layer = make_layer([torch.full((0, 2), 0.0)], to_top, width=2)
    fillers = [layer.skip_weights[0, 0, 0], layer.skip_weights[0, 0, 1], layer.skip_weights[0, 1, 0]]
    expected = torch.tensor([0.011719, 0.004711, 0.012015])
    assert torch.equal(torch.stack(fillers).detach(), expected)


@pytest.mark.parametrize("to_dendrites, to_top, error, message", [
    ([torch.zeros(1, 2, 2)], [torch.zeros(1, 2, 2)], RuntimeError, "cannot be converted to Scalar"),
    ([torch.zeros(0, 4)], [torch.zeros(0, 4)], UnboundLocalError, "'mean'"),
    ([torch.zeros(0, 2)], [torch.tensor([[3e38, -3e38]], dtype=torch.float64)], RuntimeError,
     "without overflow"),
])
def test_construction_errors_match_the_element_by_element_build(to_dendrites, to_top, error,
                                                                 message):
    np.random.seed(5)
    with pytest.raises(error, match=message):
        make_layer(list(to_dendrites), list(to_top), blocks=2)
    state = np.random.get_state()
    np.random.seed(5)
    with pytest.raises(error, match=message):
        literal_skip_tensor(list(to_dendrites) + [to_top[-1]])
    assert np.array_equal(state[1], np.random.get_state()[1])


def test_constructor_argument_errors():
    with pytest.raises(TypeError):
        BSV.NVRLayer(nn.Sequential(nn.Linear(2, 2)), [None], [], [], torch.tensor(1), torch.tensor(0))
    with pytest.raises(TypeError):
        make_layer([], [], blocks=1).__init__(*[None] * 7, extra=1)
    with pytest.raises(TypeError):
        BSV.NVRLayer(nn.Sequential(nn.Linear(2, 2)), [None], [], [], torch.tensor(1), 5, [1, -1])


# ---------------------------------------------------------------------------------------------
# The block's forward


def test_cascade_against_hand_computed_values():
    GNV.pc.set_nvr_forward_function(torch.tanh)
    layer = make_layer([torch.zeros(0, 4), torch.randn(1, 4)], [torch.randn(2, 4)], blocks=3)
    x = torch.randn(5, 3)
    raw = [m(x) for m in layer.layer_array]
    w = layer.skip_weights.detach()
    z0 = torch.tanh(raw[0])
    z1 = torch.tanh(raw[1] + w[1, 0].view(1, -1) * z0)
    expected = raw[2] + w[2, 0].view(1, -1) * z0 + w[2, 1].view(1, -1) * z1
    assert torch.allclose(layer(x), expected, atol=1e-6)
    # The activation is the one configured at construction.
    GNV.pc.set_nvr_forward_function(torch.relu)
    assert torch.allclose(layer(x), expected, atol=1e-6)


@pytest.mark.parametrize("dendrites", [0, 1, 2])
@pytest.mark.parametrize("main, x", [
    (lambda: nn.Linear(4, 6), lambda: torch.randn(3, 4)),
    (lambda: nn.Conv2d(2, 3, 3, padding=1), lambda: torch.randn(2, 2, 5, 5)),
    (lambda: nn.GRU(4, 5), lambda: torch.randn(6, 2, 4)),
])
def test_block_returns_what_the_neuron_module_returns(dendrites, main, x):
    n = neuron(main(), dendrites)
    x = x()
    with torch.no_grad():
        expected = n(x)
        layer = BSV.convert_to_nvr_layer_block(n)
        got = layer(x)
    assert len(layer.layer_array) == dendrites + 1
    if isinstance(expected, tuple):
        assert len(got) == 2 and all(torch.equal(a, b) for a, b in zip(got, expected))
    else:
        assert torch.equal(got, expected)


def test_block_outputs_are_changed_in_place_and_hooks_run():
    layer = make_layer([torch.zeros(0, 4)], [torch.ones(1, 4)], blocks=2)
    seen = []
    for block in layer.layer_array:
        block.register_forward_hook(lambda m, i, out: seen.append(out))
    result = layer(torch.randn(2, 3))
    assert len(seen) == 2
    assert seen[1] is result  # the main output, summed into in place


def test_processor_steps_for_dendrites_and_main():
    calls = []

    class Proc:
        def __init__(self, name):
            self.name = name

        def pre(self, *args, **kwargs):
            calls.append(self.name + ".pre")
            return (args, kwargs) if self.name == "dendrite" else args[0] * 2

        def post(self, out):
            calls.append(self.name + ".post")
            return out + 1

    layer = make_layer([torch.zeros(0, 4)], [torch.zeros(1, 4)],
                       processors=[Proc("dendrite"), Proc("main")])
    x = torch.randn(2, 3)
    # Zero weights: the result is the main output through its two steps.
    assert torch.equal(layer(x), layer.layer_array[1](x) * 2 + 1)
    assert calls == ["dendrite.pre", "dendrite.post", "main.pre", "main.post"]


@pytest.mark.parametrize("result, error, message", [
    ((1, 2, 3), ValueError, "too many values to unpack"),
    (((), None), TypeError, "argument after \\*\\* must be a mapping, not NoneType"),
])
def test_bad_processor_results(result, error, message):
    class Proc:
        def pre(self, *args, **kwargs):
            return result

    layer = make_layer([torch.zeros(0, 4)], [torch.zeros(1, 4)], blocks=2,
                       processors=[Proc(), None])
    with pytest.raises(error, match=message):
        layer(torch.randn(2, 3))


def test_empty_layer_array_fails_like_the_host():
    layer = BSV.NVRLayer(nn.Sequential(), [], [], [], torch.tensor(1), torch.tensor(0), [1, -1])
    with pytest.raises(UnboundLocalError, match="current_out"):
        layer(torch.randn(2, 3))


# ---------------------------------------------------------------------------------------------
# Block conversion and the class


def test_conversion_state_processors_and_ids():
    n = neuron(nn.GRU(4, 5), 2)
    n.main_module.weight_ih_l0.wrapped = True
    layer = BSV.convert_to_nvr_layer_block(n)
    d = n.dendrite_module
    assert list(layer.layer_array) == [d.layers[0], d.layers[1], n.main_module]
    assert layer.processor_array == list(d.processors) + [n.processor]
    assert layer.processor_array[0].pre == d.processors[0].pre_d
    assert layer.processor_array[2].pre == n.processor.post_n1
    assert layer.processor_array[2].post == n.processor.post_n2
    assert layer.view_tuple.tolist() == [1, 1, -1]
    assert layer.num_cycles is d.num_cycles and layer.node_index is n.this_node_index
    assert not hasattr(n.main_module.weight_ih_l0, "wrapped")
    assert all(hasattr(b, "module_id") for b in layer.layer_array)
    assert set(layer.state_dict()) >= {"module_id", "num_cycles", "view_tuple", "skip_weights",
                                       "layer_array.0.module_id"}
    plain = BSV.convert_to_nvr_layer_block(neuron(nn.Linear(3, 2), 2))
    assert plain.processor_array == [None, None, None]


def test_block_ids_load_into_zero_dimensional_buffers():
    # The inference side gives every block module a 0-dimensional module_id to load into.
    layer = BSV.convert_to_nvr_layer_block(neuron(nn.Linear(3, 2), 1))
    target = nn.Linear(3, 2)
    target.register_buffer("module_id", torch.tensor(-1))
    target.load_state_dict(layer.layer_array[0].state_dict())
    assert target.module_id.item() == layer.layer_array[0].module_id[0].item()


def test_class_and_module_namespace():
    cls = BSV.NVRLayer
    assert issubclass(cls, nn.Module) and cls.__doc__ is None
    assert (cls.__module__, cls.__qualname__) == ("sorvith.blockwise_svp", "NVRLayer")
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "forward"]
    assert bound(BSV) == BOUND["blockwise_svp"]
    assert BSV.get_pretrained_nvr_attr(None, "x") is None
    assert BSV.get_pretrained_nvr_var([5, 6], 1) == 6


def test_rewritten_network_survives_copy_and_save():
    net = nn.Sequential(neuron(nn.Linear(3, 4), 2), nn.ReLU())
    BSV.blockwise_network(net)
    x = torch.randn(2, 3)
    buffer = io.BytesIO()
    torch.save(net, buffer)
    buffer.seek(0)
    for other in (copy.deepcopy(net), torch.load(buffer, weights_only=False)):
        assert type(other[0]) is BSV.NVRLayer
        assert torch.equal(other(x), net(x))


# ---------------------------------------------------------------------------------------------
# The walk


def capture(function, *args):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = function(*args)
    return result, out.getvalue().splitlines()


def test_walk_paths_messages_and_converted_list():
    GNV.pc.set_extra_verbose(True)
    net = Holder(fc=neuron(nn.Linear(3, 3), 1),
                 seq=nn.Sequential(neuron(nn.Linear(3, 3), 1), Holder(inner=neuron(nn.Linear(3, 3), 0))))
    listed = []
    result, lines = capture(BSV.optimize_module, net, 0, "", listed)
    assert result is net
    assert type(net.fc) is type(net.seq[0]) is type(net.seq[1].inner) is BSV.NVRLayer
    assert lines == [
        "Sub is in conversion list so initiating optimization for: .fc",
        "Seq sub is NVR so optimizing: .seq[0]",
        "Sub is in conversion list so initiating optimization for: .seq[1].inner",
    ]
    assert listed == [".seq", ".seq[1]"]


def test_paths_a_replaced_walk_lists_are_honoured(monkeypatch):
    own = BSV.optimize_module

    def listing(net, depth, name_so_far, converted_list):
        converted_list.append(".z")
        return own(net, depth, name_so_far, converted_list)

    class Swapper(Holder):
        @property
        def a(self):  # read first: the caller's walk takes over before ".b" is walked
            monkeypatch.setattr(BSV, "optimize_module", listing)

    net = Swapper(b=Holder(), z=neuron(nn.Linear(3, 3), 1))
    BSV.blockwise_network(net)
    assert type(net.z) is NV.NVRNeuronModule  # listed by the caller's walk, so passed over


def test_walk_prints_nothing_when_not_verbose(capsys):
    BSV.blockwise_network(Holder(fc=neuron(nn.Linear(3, 3), 1), me=None))
    assert capsys.readouterr().out == ""


def test_exclusion_list_applies_to_members_only():
    GNV.pc.set_extra_verbose(True)
    GNV.pc.set_module_names_to_not_save([".fc", "[0]"])
    net = nn.Sequential(neuron(nn.Linear(3, 3), 1))
    capture(BSV.blockwise_network, net)
    assert type(net[0]) is BSV.NVRLayer
    # Members: the configured paths and the paths already in the caller's list are skipped.
    holder = Holder(fc=neuron(nn.Linear(3, 3), 1), other=neuron(nn.Linear(3, 3), 1))
    _, lines = capture(BSV.optimize_module, holder, 0, "", [".other"])
    assert type(holder.fc) is type(holder.other) is NV.NVRNeuronModule
    assert lines == ["Skipping .fc during save", "Skipping .other during save"]


def test_not_to_save_getter_is_read_once_per_member():
    calls = []
    original = GNV.pc.get_module_names_to_not_save
    GNV.pc.get_module_names_to_not_save = lambda: calls.append(1) or original()
    try:
        net = Holder(fc=neuron(nn.Linear(3, 3), 1))
        members = [m for m in net.__dir__() if _readable(net, m)]
        BSV.blockwise_network(net)
    finally:
        del GNV.pc.get_module_names_to_not_save
    assert len(calls) == len(members)


def _readable(obj, name):
    try:
        getattr(obj, name, None)
        return True
    except Exception:
        return False


def test_top_level_neuron_and_subclasses_are_not_converted():
    class SubNeuron(NV.NVRNeuronModule):
        pass

    top = neuron(nn.Linear(3, 3), 1)
    assert BSV.blockwise_network(top) is top and type(top) is NV.NVRNeuronModule
    sub = SubNeuron(Holder(inner=neuron(nn.Linear(3, 3), 0)), "s")
    net = Holder(sub=sub)
    BSV.blockwise_network(net)
    assert net.sub is sub and type(sub.main_module.inner) is BSV.NVRLayer


def test_module_under_two_names_is_converted_twice():
    n = neuron(nn.Linear(3, 3), 1)
    net = Holder(a=n, b=n)
    BSV.blockwise_network(net)
    assert type(net.a) is type(net.b) is BSV.NVRLayer and net.a is not net.b
    assert net.a.layer_array[0] is net.b.layer_array[0]


def test_unwrap_params():
    model = nn.Linear(2, 2)
    model.weight.wrapped = 1
    assert BSV.unWrap_params(model) is None
    assert not hasattr(model.weight, "wrapped")


class ListsWrapped(nn.Parameter):
    """A parameter whose own __dir__ decides what is listed."""

    def __dir__(self):
        return ["wrapped"] if self.__dict__.get("listed") else []


def test_unwrap_params_asks_a_custom_dir():
    model = nn.Linear(2, 2)
    model.weight = ListsWrapped(model.weight.detach())
    model.weight.wrapped = 1
    BSV.unWrap_params(model)
    assert model.weight.wrapped == 1  # not listed, so kept
    model.weight.listed = True
    BSV.unWrap_params(model)
    assert not hasattr(model.weight, "wrapped")
    with pytest.raises(AttributeError):  # listed but absent: the deletion's own error
        BSV.unWrap_params(model)
