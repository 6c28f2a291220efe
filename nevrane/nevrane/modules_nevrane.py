"""Dendritic neuron modules, the tracked wrapper and the processor classes.

A neuron module wraps one main module (a layer whose outputs are the neurons) and adds
K dendrites, each a freshly initialised copy of the main module's architecture. With
``f`` the configured activation and ``view(w)`` a weight row reshaped so that it runs
along the neuron dimension of an output, the forward computation is

    z_i = f(d_i + sum_{j<i} view(dendrites_to_dendrites[i][j]) * z_j)     for i < K
    y   = n + sum_{j<K} view(dendrites_to_top[-1][j]) * z_j

where ``d_i`` is dendrite i's output and ``n`` the main module's output (each passed
through the neuron's processor, when the main module's class has one). The terms are
added in increasing ``j``, weight on the left, so a block that combines the same tensors
in the same order reproduces the result exactly.
"""

import copy

import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane.processors_nevrane import GRUProcessor

__all__ = [
    "DendriteModule",
    "DendriteValues",
    "GRUProcessor",
    "NVRNeuronModule",
    "TrackedNeuronModule",
    "fresh_copy",
    "output_layout",
    "processor_class_for",
]

# Scale of the normal samples that initialise new dendrite weights: small enough to leave
# a trained neuron's output nearly unchanged, large enough for the cascade to matter.
DENDRITE_WEIGHT_SCALE = 0.1


def output_layout(module):
    """Return ``(dimensions, node_index, width)`` for a main module's output.

    ``dimensions`` has one entry per output dimension: the neuron count at the neuron
    dimension ``node_index`` and -1 at the others. ``width`` is the neuron count, or None
    when the module's class does not tell it; the layout is then settled by the first
    forward call, with the neuron dimension taken to be the last one.
    """
    if isinstance(module, nn.Linear):
        width = module.out_features
        return [-1, width], 1, width
    if isinstance(module, nn.modules.conv._ConvNd):
        width = module.out_channels
        return [-1, width] + [-1] * len(module.kernel_size), 1, width
    if isinstance(module, nn.RNNBase):
        width = module.proj_size if getattr(module, "proj_size", 0) else module.hidden_size
        if module.bidirectional:
            width *= 2
        return [-1, -1, width], 2, width
    return [-1, -1], 1, None


def processor_class_for(module):
    """The processor class configured for the module's class, or None.

    The exact class is looked up first, then the class's ``__name__``.
    """
    cls = type(module)
    by_class = GNV.pc.get_modules_with_processing()
    if cls in by_class:
        return GNV.pc.get_modules_processing_classes()[by_class.index(cls)]
    by_name = GNV.pc.get_module_names_with_processing()
    if cls.__name__ in by_name:
        return GNV.pc.get_module_by_name_processing_classes()[by_name.index(cls.__name__)]
    return None


def fresh_copy(module):
    """A copy of the module's architecture with newly initialised parameters."""
    new = copy.deepcopy(module)
    for sub in new.modules():
        reset = getattr(sub, "reset_parameters", None)
        if callable(reset):
            reset()
    for param in new.parameters():
        param.grad = None
    return new


def _device_and_dtype(module):
    for tensor in module.parameters():
        return tensor.device, tensor.dtype
    for tensor in module.buffers():
        return tensor.device, torch.get_default_dtype()
    return torch.device("cpu"), torch.get_default_dtype()


class DendriteValues:
    """Output-shape bookkeeping of one neuron module.

    ``this_output_dimensions`` has one entry per dimension of an output and
    ``this_node_index`` is the neuron dimension.
    """

    def __init__(self, output_dimensions, node_index):
        self.this_output_dimensions = list(output_dimensions)
        self.this_node_index = int(node_index)

    def view_shape(self):
        """The shape a weight row takes to run along the neuron dimension."""
        return [
            -1 if dim == self.this_node_index else 1
            for dim in range(len(self.this_output_dimensions))
        ]

    def __repr__(self):
        return "DendriteValues(%r, %r)" % (self.this_output_dimensions, self.this_node_index)


class DendriteModule(nn.Module):
    """The dendrites of one neuron module.

    ``layers[i]`` is dendrite i, ``processors[i]`` its processor (the list stays empty when
    the main module has no processor class), ``dendrites_to_dendrites[i]`` the (i, W)
    weights of the earlier dendrites into dendrite i, ``num_cycles`` twice the dendrite
    count.
    """

    def __init__(self, output_dimensions, node_index, device=None):
        super().__init__()
        self.layers = nn.ModuleList()
        self.processors = []
        self.dendrites_to_dendrites = nn.ParameterList()
        self.register_buffer("num_cycles", torch.tensor(0, device=device))
        self.dendrite_values = [DendriteValues(output_dimensions, node_index)]


class NVRNeuronModule(nn.Module):
    """A main module with dendrites; see the module docstring for the computation.

    ``name`` is the module's path in its network in state-dictionary form
    (``"blocks.0.fc"``).
    """

    def __init__(self, main_module, name):
        super().__init__()
        if not isinstance(main_module, nn.Module):
            raise TypeError(
                "NVRNeuronModule %r: main_module must be an nn.Module, not %s"
                % (name, type(main_module).__name__)
            )
        device, _dtype = _device_and_dtype(main_module)
        dimensions, node_index, width = output_layout(main_module)
        self.main_module = main_module
        self.name = name
        # Neuron count W; None until the first forward call for unknown module classes.
        self.num_neurons = width
        self.dendrite_module = DendriteModule(dimensions, node_index, device)
        self.dendrites_to_top = nn.ParameterList()
        processor_class = processor_class_for(main_module)
        self.processor = processor_class() if processor_class is not None else None
        self.register_buffer("this_node_index", torch.tensor(node_index, device=device))

    @property
    def num_dendrites(self):
        return len(self.dendrite_module.layers)

    def __getattr__(self, attr):
        # Model code reads attributes of the layers it built (``self.wo.weight.dtype``,
        # ``conv.stride``); those the neuron module lacks come from the main module.
        # Protocol names (``__deepcopy__``, ``__getstate__``) stay the neuron module's own.
        try:
            return super().__getattr__(attr)
        except AttributeError:
            # The registry is read directly: during copying or unpickling it may not be
            # there yet, and the lookup must not recurse.
            main = self.__dict__.get("_modules", {}).get("main_module")
            if main is None or (attr.startswith("__") and attr.endswith("__")):
                raise
            return getattr(main, attr)

    def add_dendrite(self):
        """Add one dendrite: a fresh layer, its processor, and its weights.

        The new top entry keeps the learned rows of the previous one and gets a new row
        for the new dendrite; it replaces the previous entry, so ``dendrites_to_top``
        holds one (K, W) entry once K >= 1.
        """
        width = self.num_neurons
        if width is None:
            raise RuntimeError(
                "neuron module %r: the neuron count of a %s is read from its output; "
                "run one forward call before adding dendrites"
                % (self.name, type(self.main_module).__name__)
            )
        dendrites = self.dendrite_module
        k = len(dendrites.layers)
        device, dtype = _device_and_dtype(self.main_module)

        dendrites.layers.append(fresh_copy(self.main_module))
        if self.processor is not None:
            dendrites.processors.append(type(self.processor)())
        dendrites.dendrites_to_dendrites.append(
            nn.Parameter(torch.randn(k, width, device=device, dtype=dtype) * DENDRITE_WEIGHT_SCALE)
        )
        top = torch.randn(k + 1, width, device=device, dtype=dtype) * DENDRITE_WEIGHT_SCALE
        if k > 0:
            top[:k] = self.dendrites_to_top[len(self.dendrites_to_top) - 1].detach()
        if len(self.dendrites_to_top) == 0:
            self.dendrites_to_top.append(nn.Parameter(top))
        else:
            self.dendrites_to_top[len(self.dendrites_to_top) - 1] = nn.Parameter(top)
        with torch.no_grad():
            dendrites.num_cycles += 2

    def _track_output_shape(self, main_out):
        """Fit the shape bookkeeping to the rank of an actual output.

        The neuron dimension keeps its place counted from the end (a Linear on (B, T, F)
        inputs has its neurons in dimension 2); for a class without a known layout it is
        the last dimension and the neuron count is read from the output.
        """
        if not torch.is_tensor(main_out) or main_out.dim() == 0:
            return
        values = self.dendrite_module.dendrite_values[0]
        rank = main_out.dim()
        if self.num_neurons is not None and len(values.this_output_dimensions) == rank:
            return
        if self.num_neurons is None:
            node = rank - 1
            self.num_neurons = int(main_out.shape[node])
        else:
            node = rank + values.this_node_index - len(values.this_output_dimensions)
            if node < 0:
                return
        dimensions = [-1] * rank
        dimensions[node] = self.num_neurons
        values.this_output_dimensions = dimensions
        values.this_node_index = node
        with torch.no_grad():
            self.this_node_index.fill_(node)

    def forward(self, *args, **kwargs):
        dendrites = self.dendrite_module
        raw = []
        for i, layer in enumerate(dendrites.layers):
            processor = dendrites.processors[i] if dendrites.processors else None
            if processor is not None:
                d_args, d_kwargs = processor.pre_d(*args, **kwargs)
                raw.append(processor.post_d(layer(*d_args, **d_kwargs)))
            else:
                raw.append(layer(*args, **kwargs))

        out = self.main_module(*args, **kwargs)
        if self.processor is not None:
            out = self.processor.post_n1(out)
        self._track_output_shape(out)

        if raw:
            view = dendrites.dendrite_values[0].view_shape()
            activated = []
            for i, current in enumerate(raw):
                weights = dendrites.dendrites_to_dendrites[i]
                for j in range(i):
                    current = current + weights[j, :].view(view).to(current.device) * activated[j]
                activated.append(GNV.pc.get_nvr_forward_function()(current))
            top = self.dendrites_to_top[len(self.dendrites_to_top) - 1]
            for j, z in enumerate(activated):
                out = out + top[j, :].view(view).to(out.device) * z

        if self.processor is not None:
            out = self.processor.post_n2(out)
        return out


class TrackedNeuronModule(nn.Module):
    """Wrapper for a module that gets no dendrites; it forwards to ``main_module``.

    Attributes the wrapper lacks are read from the wrapped module.
    """

    def __init__(self, main_module, name):
        super().__init__()
        if not isinstance(main_module, nn.Module):
            raise TypeError(
                "TrackedNeuronModule %r: main_module must be an nn.Module, not %s"
                % (name, type(main_module).__name__)
            )
        self.main_module = main_module
        self.name = name

    def __getattr__(self, attr):
        try:
            return super().__getattr__(attr)
        except AttributeError:
            # Read the wrapped module from the registry directly: during copying or
            # unpickling it may not be there yet, and the lookup must not recurse.
            main = self.__dict__.get("_modules", {}).get("main_module")
            if main is None:
                raise
            return getattr(main, attr)

    def forward(self, *args, **kwargs):
        return self.main_module(*args, **kwargs)
