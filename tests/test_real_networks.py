"""Networks of the transformers library, built from tiny configurations with random weights,
made dendritic and taken down the whole road in every storage mode."""

import copy
import json
import os

# Nothing is downloaded: every model is built from a configuration written here.
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

from typing import Callable, NamedTuple  # noqa: E402

import pytest  # noqa: E402
import safetensors  # noqa: E402
import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
import transformers  # noqa: E402
from transformers.pytorch_utils import Conv1D  # noqa: E402

from nevrane import globals_nevrane as GNV  # noqa: E402
from nevrane import modules_nevrane as NV  # noqa: E402
from nevrane import utils_nevrane as UNV  # noqa: E402
from sorvith import blockwise_svp as BSV  # noqa: E402
from sorvith import network_svp, slim_load, utils_svp  # noqa: E402

from support.storage import MODES, use_mode  # noqa: E402

transformers.logging.set_verbosity_error()
# The walks read every property of a model, and transformers warns about one deprecated name.
pytestmark = pytest.mark.filterwarnings("ignore:.*is_gradient_checkpointing:FutureWarning")

TOKENS = torch.randint(0, 50, (2, 7), generator=torch.Generator().manual_seed(3))
IMAGES = torch.randn(2, 3, 32, 32, generator=torch.Generator().manual_seed(3))
TEXT = dict(vocab_size=50, max_position_embeddings=16)


class Arch(NamedTuple):
    build: Callable[[], nn.Module]   # a fresh model with random weights
    convert: list                    # the classes that become neuron modules
    inputs: dict
    tied: bool                       # embeddings shared with the output layer


ARCHS = {
    "bert": Arch(
        lambda: transformers.BertModel(transformers.BertConfig(
            hidden_size=16, num_hidden_layers=2, num_attention_heads=2, intermediate_size=32,
            **TEXT)),
        [nn.Linear], {"input_ids": TOKENS}, False),
    "llama": Arch(
        lambda: transformers.LlamaForCausalLM(transformers.LlamaConfig(
            hidden_size=16, intermediate_size=32, num_hidden_layers=2, num_attention_heads=2,
            num_key_value_heads=1, **TEXT)),
        [nn.Linear], {"input_ids": TOKENS}, False),
    "gpt2": Arch(
        lambda: transformers.GPT2LMHeadModel(transformers.GPT2Config(
            vocab_size=50, n_embd=16, n_layer=2, n_head=2, n_positions=16)),
        [Conv1D, nn.Linear], {"input_ids": TOKENS}, True),
    "resnet": Arch(
        lambda: transformers.ResNetModel(transformers.ResNetConfig(
            num_channels=3, embedding_size=8, hidden_sizes=[8, 16], depths=[1, 1],
            layer_type="basic")),
        [nn.Conv2d], {"pixel_values": IMAGES}, False),
    "t5": Arch(
        lambda: transformers.T5ForConditionalGeneration(transformers.T5Config(
            vocab_size=50, d_model=16, d_kv=8, d_ff=32, num_layers=2, num_heads=2,
            decoder_start_token_id=0)),
        [nn.Linear], {"input_ids": TOKENS, "decoder_input_ids": TOKENS[:, :4]}, True),
    "bart": Arch(
        lambda: transformers.BartForConditionalGeneration(transformers.BartConfig(
            d_model=16, encoder_layers=2, decoder_layers=2, encoder_attention_heads=2,
            decoder_attention_heads=2, encoder_ffn_dim=32, decoder_ffn_dim=32,
            tie_word_embeddings=True, **TEXT)),
        [nn.Linear], {"input_ids": TOKENS, "decoder_input_ids": TOKENS[:, :4]}, True),
}


def output(net, inputs):
    with torch.no_grad():
        return net(**inputs)[0]


def grown(arch, seed):
    """The model made dendritic: one call settles output layouts, then two rounds of dendrites
    and a small change of every parameter, so that no weight keeps its initial value."""
    GNV.pc.set_modules_to_convert(list(arch.convert))
    torch.manual_seed(seed)
    net = UNV.initialize_nvr(arch.build().eval())
    output(net, arch.inputs)
    UNV.add_dendrites(net)
    UNV.add_dendrites(net)
    with torch.no_grad():
        for param in net.parameters():
            param.add_(0.01 * torch.randn_like(param))
    return net


def tie_groups(net):
    """The state-dictionary keys that name one tensor (tied weights), in sorted groups."""
    groups = {}
    for key, t in net.state_dict(keep_vars=True).items():
        if t.numel():
            where = (t.untyped_storage().data_ptr(), t.storage_offset(), t.shape, t.stride())
            groups.setdefault(where, []).append(key)
    return sorted(sorted(keys) for keys in groups.values() if len(keys) > 1)


def neuron_prefixes(net, kind):
    return {name for name, m in net.named_modules() if isinstance(m, kind)}


def outside(keys, prefixes):
    """State-dictionary keys with everything below a block or neuron module cut off."""
    cut = set()
    for key in keys:
        owner = next((p for p in prefixes if key.startswith(p + ".")), None)
        cut.add(owner or key)
    return cut


@pytest.fixture(scope="module", params=ARCHS)
def trained(request):
    arch = ARCHS[request.param]
    net = grown(arch, seed=0)
    expected = output(net, arch.inputs)
    # A network of the cleaned structure with other values, for load_net to fill.
    other = utils_svp.clean_net(grown(arch, seed=1))
    GNV.pc.reset()
    return request.param, arch, net, expected, other


def outputs(net, inputs, switch):
    """The outputs run sequentially, then with every block on threads."""
    results = []
    try:
        for threaded in (False, True):
            switch.doing_threading = threaded
            results.append(output(net, inputs))
    finally:
        switch.doing_threading = False
    return results


def check_safetensors_file(path, ties):
    """Each shared tensor is stored once, under the first of its names, and the metadata maps
    the others to that one; a file without shared tensors has no metadata at all."""
    with safetensors.safe_open(path, framework="pt") as f:
        metadata, stored = f.metadata(), set(f.keys())
    if not ties:
        assert metadata is None
        return
    aliases = json.loads(metadata["sorvith.shared_tensors"])
    assert aliases == {alias: keys[0] for keys in ties for alias in keys[1:]}
    assert not stored & set(aliases)


@pytest.mark.parametrize("mode", MODES)
def test_every_route_gives_the_trained_outputs(tmp_path, trained, mode):
    name, arch, net, expected, other = trained
    GNV.pc.set_modules_to_convert(list(arch.convert))
    use_mode(mode)
    routes = {}

    cleaned = utils_svp.clean_net(UNV.deep_copy_nvr(net))
    routes["clean_net"] = cleaned, outputs(cleaned, arch.inputs, slim_load)
    # The blocks sit where the neuron modules sat, and nothing else is added or lost.
    blocks = neuron_prefixes(cleaned, slim_load.NVRModulePyThread)
    assert blocks == neuron_prefixes(net, NV.NVRNeuronModule)
    assert outside(cleaned.state_dict(), blocks) == outside(net.state_dict(), blocks)
    # Tied embeddings stay tied to the output layer's neuron module, never to a dendrite (every
    # block here has dendrites, so entry 0 is one).
    ties = tie_groups(cleaned)
    assert bool(ties) == arch.tied
    assert not any(".layer_array.0." in key for keys in ties for key in keys)

    folder = str(tmp_path / "saved")
    path = os.path.join(folder, name + "_nvr.pt")
    utils_svp.sv_save_net(net, folder, name)
    routes["sv_save_net leaves the network"] = net, [output(net, arch.inputs)]
    if mode == "safetensors":
        check_safetensors_file(path, ties)
    if mode != "torch":  # both write safetensors files, the form load_nvr_model reads
        torch.manual_seed(2)
        loaded = network_svp.load_nvr_model(arch.build().eval(), path)
        routes["load_nvr_model"] = loaded, outputs(loaded, arch.inputs, network_svp)
    loaded = utils_svp.load_net(copy.deepcopy(other), folder, name + "_nvr")
    routes["load_net"] = loaded, outputs(loaded, arch.inputs, slim_load)

    for route, (network, results) in routes.items():
        if route != "sv_save_net leaves the network":
            assert tie_groups(network) == ties, route
        for result in results:
            torch.testing.assert_close(result, expected, msg=lambda m: "%s: %s" % (route, m))


def blocks_of_each_kind(main=nn.Linear):
    """An NVRLayer, the NVRModulePyThread made from it and an NVROptimizedModule, each with a
    main(3, 4) as its main module."""
    neuron = NV.NVRNeuronModule(main(3, 4), "fc")
    neuron.add_dendrite()
    layer = BSV.convert_to_nvr_layer_block(neuron)
    optimized = network_svp.NVROptimizedModule(main(3, 4), "fc")
    optimized.simulate_cycles(2, 10)
    return [layer, slim_load.NVRModulePyThread(layer), optimized]


@pytest.mark.parametrize("block", blocks_of_each_kind(), ids=lambda b: type(b).__name__)
def test_blocks_answer_for_their_main_module(block):
    main = block.layer_array[-1]
    # What model code reads of the layers it built (T5 reads wo.weight.dtype).
    assert block.weight is main.weight and block.weight.dtype == torch.float32
    assert (block.in_features, block.out_features) == (3, 4)
    # The block's own names keep meaning the block's own state.
    assert block.module_id is block._buffers["module_id"] is not main.module_id
    assert block.layer_array is block._modules["layer_array"]
    assert "in_features" not in dir(block) and "in_features" in dir(main)
    with pytest.raises(AttributeError, match="no_such_thing"):
        block.no_such_thing
    assert not hasattr(block, "__deepcopy__")  # protocol names stay the block's own
    assert type(copy.deepcopy(block)) is type(block)
    # Half built (as during unpickling): no main module to ask, no recursion.
    half = type(block).__new__(type(block))
    assert not hasattr(half, "weight")
    half.__dict__["_modules"] = {"layer_array": nn.ModuleList()}
    assert not hasattr(half, "weight")


class Faulty(nn.Linear):
    """A main module whose own code raises AttributeError while it computes an attribute."""

    @property
    def scale(self):
        return self.weight.no_such_tensor_attribute

    def __getattr__(self, name):
        if name == "shortcut":
            return self.no_such_child
        return super().__getattr__(name)


def error_of(read):
    with pytest.raises(AttributeError) as caught:
        read()
    error = caught.value
    return type(error), str(error), error.name, error.obj, error.__context__


@pytest.mark.parametrize("block", blocks_of_each_kind(Faulty), ids=lambda b: type(b).__name__)
def test_a_name_neither_has_raises_the_blocks_own_error(block):
    host = type(type(block).__name__, (nn.Module,), {})()  # the host's error for such a class
    # The whole error as the host raises it, naming the block and its class.
    assert error_of(lambda: block.no_such_member) == (
        AttributeError, "'%s' object has no attribute 'no_such_member'" % type(block).__name__,
        "no_such_member", block, None)
    assert error_of(lambda: block.no_such_member)[:3] == error_of(lambda: host.no_such_member)[:3]
    assert getattr(block, "no_such_member", 7) == 7 and not hasattr(block, "no_such_member")
    # What the main module's own code raises reaches the caller as the main module raised it.
    main = block.layer_array[-1]
    for name in ("scale", "shortcut"):
        assert error_of(lambda: getattr(block, name)) == error_of(lambda: getattr(main, name))
    assert "no_such_child" in str(error_of(lambda: block.shortcut)[1])
