"""The block forward written out in Python, and the small blocks the tests and benchmarks build.

`written_out` is the one Python rendering of the cascade: the tests compare the extension's
blocks with it (most of them bit for bit, so its order of operations is the blocks' own), and
the forward benchmarks time it beside them. It reads everything from the object it is given at
each call, so a block changed between calls is computed from its new values.
"""

import copy
import threading

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV
from sorvith import blockwise_svp, network_svp, slim_load


def written_out(block, *args, activation=None, in_place=False, threaded=False,
                Thread=threading.Thread, **kwargs):
    """The forward of `block` (anything with layer_array, processor_array, skip_weights and
    view_tuple) written out.

    Position k < L - 1 runs layer_array[k] on the inputs, through processor entry k's `pre`
    and `post` when it has one; the last position runs the main module's own forward (no
    hooks) and its entry's `pre` on the output. Then, p by p, the value of position p gets
    skip_weights[p][q, :] (shaped by view_tuple, on the output's device) times the final value
    of q added for q = 0 .. p - 1 in order, and the activation unless p is the last; the last
    entry's `post` turns the last value into the result.

    activation: the function between positions, or None for the companion's, read at each use
                as the blocks read it
    in_place:   add each skip term into the position's output (``+=``, as a cleaned block
                does) rather than into a new tensor (``+``, as a loaded block does)
    threaded:   run the positions' steps on `Thread` objects, made, started and joined in
                position order, as the blocks' threaded mode does
    """
    layers, processors = block.layer_array, block.processor_array
    count = len(layers)
    outputs = [None] * count

    def step(k):
        entry = processors[k]
        if k < count - 1:
            a, kw = args, kwargs
            if entry != None:  # noqa: E711 (the blocks test entries with `!=`)
                a, kw = entry.pre(*a, **kw)
            out = layers[k](*a, **kw)
            if entry != None:  # noqa: E711
                out = entry.post(out)
        else:
            out = layers[k].forward(*args, **kwargs)
            if entry is not None:
                out = entry.pre(out)
        outputs[k] = out

    if threaded:
        threads = [Thread(target=step, args=(k,)) for k in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    else:
        for k in range(count):
            step(k)
    weights, view = block.skip_weights, block.view_tuple
    for p in range(count):
        current = outputs[p]
        for q in range(p):
            row = weights[p][q, :].view(view.tolist()).to(current.device)
            if in_place:
                current += row * outputs[q]
            else:
                current = current + row * outputs[q]
        if p < count - 1:
            act = GNV.pc.get_nvr_forward_function() if activation is None else activation
            current = act(current)
        outputs[p] = current
    if processors[-1] is not None:
        current = processors[-1].post(current)
    return current


class _Entry:
    def __init__(self, pre, post):
        self.pre, self.post = pre, post


class _NeuronAsBlock:
    """A training neuron module's parts under the names of a block's attributes."""

    def __init__(self, neuron):
        d = neuron.dendrite_module
        procs = list(d.processors) or [None] * len(d.layers)
        self.layer_array = list(d.layers) + [neuron.main_module]
        main = neuron.processor
        self.processor_array = [None if p is None else _Entry(p.pre_d, p.post_d)
                                for p in procs]
        self.processor_array.append(None if main is None else _Entry(main.post_n1, main.post_n2))
        self.skip_weights = list(d.dendrites_to_dendrites)
        if len(neuron.dendrites_to_top):
            self.skip_weights.append(neuron.dendrites_to_top[-1])
        values = d.dendrite_values[0]
        self.view_tuple = torch.tensor([-1 if i == values.this_node_index else 1
                                        for i in range(len(values.this_output_dimensions))])


def neuron_written_out(neuron, *args, **kwargs):
    """A training neuron module computed the way a cleaned block computes it: the dendrites'
    and the main module's outputs first, then the cascade over the neuron's weight rows with
    in-place additions and sigmoid between positions."""
    return written_out(_NeuronAsBlock(neuron), *args, activation=torch.sigmoid, in_place=True,
                       **kwargs)


class CleanedLayer(nn.Module):
    """What a cleaned block is made from: `count` main(inputs, width) modules, no processors,
    (count, count, width) skip weights (standard normal times `scale`) and view [1, -1]."""

    def __init__(self, count, width, inputs=3, scale=1.0, module_id=(1, 2), main=nn.Linear):
        super().__init__()
        self.layer_array = nn.Sequential(*[main(inputs, width) for _ in range(count)])
        self.processor_array = [None] * count
        weights = torch.randn(count, count, width)
        self.skip_weights = nn.Parameter(weights * scale if scale != 1.0 else weights)
        self.node_index = torch.tensor(1)
        self.register_buffer("module_id", torch.tensor(list(module_id)))
        self.register_buffer("num_cycles", torch.tensor(2 * (count - 1)))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


def finish_loading(block, view, width, scale=1.0):
    """What loading a file adds to an NVROptimizedModule: the neuron's processor entry,
    (L, L, width) skip weights (standard normal times `scale`) and the view shape."""
    entry = None
    if block.processor is not None:
        entry = copy.deepcopy(block.processor)
        entry.pre, entry.post = block.processor.post_n1, block.processor.post_n2
    block.processor_array.append(entry)
    count = len(block.layer_array)
    weights = torch.randn(count, count, width)
    block.register_parameter("skip_weights",
                             nn.Parameter(weights * scale if scale != 1.0 else weights))
    block.register_buffer("view_tuple", torch.tensor(view))
    return block


def loaded_block(count, width=4, inputs=3, scale=1.0, main=nn.Linear):
    """An NVROptimizedModule around main(inputs, width) with `count`
    positions, each with weights of its own, as loading leaves it."""
    block = network_svp.NVROptimizedModule(main(inputs, width), "fc")
    block.simulate_cycles(2 * (count - 1), 10)
    for layer in block.layer_array:
        layer.reset_parameters()
    return finish_loading(block, [1, -1], width, scale)


def grown_neuron(main, dendrites, name="n"):
    """A companion neuron module around `main` with `dendrites` dendrites added."""
    neuron = NV.NVRNeuronModule(main, name)
    for _ in range(dendrites):
        neuron.add_dendrite()
    return neuron


def block_of_kind(kind, count=3, width=4, main=nn.Linear):
    """A block of `count` positions around main(3, width) modules, each with weights of its own:
    "cleaned" (an NVRModulePyThread), "loaded" (an NVROptimizedModule) or "blockwise" (an
    NVRLayer over a Linear neuron whose every parameter is drawn anew)."""
    if kind == "cleaned":
        return slim_load.NVRModulePyThread(CleanedLayer(count, width, main=main))
    if kind == "loaded":
        return loaded_block(count, width, main=main)
    neuron = grown_neuron(nn.Linear(3, width), count - 1, "fc")
    with torch.no_grad():
        for p in neuron.parameters():
            p.normal_()
    d = neuron.dendrite_module
    return blockwise_svp.NVRLayer(nn.Sequential(*d.layers, neuron.main_module), [None] * count,
                                  neuron.dendrites_to_top, d.dendrites_to_dendrites,
                                  neuron.this_node_index, d.num_cycles, [1, -1])
