"""Run a dendritic network for inference: convert it into optimised modules and load a saved
file into them.

Typical use in an inference script::

    net = network_svp.load_nvr_model(MyNet(), "checkpoints/model_nvr.pt")
    network_svp.doing_threading = True   # optional: dendrites on threads of their own
    out = net(x)
"""

import copy as copy
import os
import sys as sys
import types
from threading import Thread as Thread
from typing import Any

import torch as torch
from safetensors.torch import load_file as load_file
from torch import nn as nn

# nevrane.globals_nevrane; its attribute ``pc`` is the training library's configuration.
GNV: types.ModuleType
# nevrane.utils_nevrane.
UNV: types.ModuleType

# When true, every later forward call of an NVROptimizedModule runs each dendrite and the
# neuron on a thread of its own (read at the start of each call).
doing_threading: bool
# True: blocks of identical nn.Linear / Conv1d / Conv2d modules run as one wide call when
# nothing could tell the difference (same results, bit for bit).
doing_fusion: bool
# Kept for scripts that set it; nothing reads it.
loaded_full_print: bool

def convert_network(net: nn.Module, layer_name: str = "") -> nn.Module:
    """Convert a dendritic network: dendritic neuron modules become NVROptimizedModule,
    modules without dendrites are wrapped in NVRTrackedModule.

    Use the returned network; it may be a new object. A single convertible module needs a
    non-empty ``layer_name`` (without one the process exits with status -1).
    """

def get_nvr_modules(net: nn.Module, depth: int) -> list[NVROptimizedModule]:
    """The NVROptimizedModule instances inside ``net``, depth-first; pass ``depth=0``."""

def load_nvr_model(net: nn.Module, filename: str | os.PathLike[str]) -> nn.Module:
    """Convert a freshly built ``net`` (same architecture as the saved one) and load the
    safetensors file ``filename`` that ``utils_svp.sv_save_net`` wrote into it.

    Returns the converted, loaded network. A module tied to another tensor of the network
    (an output layer that uses the input embedding) stays tied as the block's neuron module,
    the last ``layer_array`` entry; its dendrite copies are untied. Raises ``ValueError``,
    before converting anything, when ``net`` already holds blocks that a load built. Exits
    the process if ``net`` holds no convertible module. Before any block is rebuilt, raises
    ``ValueError`` when the file's record of shared tensors does not match the network's
    ties, ``KeyError`` for the first
    missing block entry (``.num_cycles``, ``.skip_weights``, ``.module_id``, ``.view_tuple``,
    blocks in order), then ``ValueError``, naming the key and the file, when a block's entries
    disagree with each other or with the block so that the rebuild or the first forward call
    would fail, or when ``view_tuple`` is not as long as a convolution's output rank.
    The ``KeyError`` of a missing entry (the key its ``args[0]``) names the file and the
    likely cause in a note. ``net`` that is not an ``nn.Module`` raises ``TypeError`` before
    anything happens; a file that is no safetensors file gives the reader's error, with a
    note when it is a ``torch.save`` archive.
    """

class NVROptimizedModule(nn.Module):
    """One dendritic neuron for inference: the neuron module and its dendrite copies side
    by side, combined through ``skip_weights``."""

    name: str
    # The neuron module at index 0 until simulate_cycles adds dendrite copies; the last
    # entry acts as the neuron, the others as dendrites.
    layer_array: nn.ModuleList
    # One entry per layer_array entry once loaded: a processor object or None.
    processor_array: list[Any]
    # The processor object for the wrapped module's class, or None.
    processor: Any
    node_index: torch.Tensor
    module_id: torch.Tensor
    num_cycles: torch.Tensor
    view_tuple: torch.Tensor
    # Registered by load_nvr_model.
    skip_weights: torch.Tensor

    def __init__(self, original_module: nn.Module, name: str) -> None:
        """Wrap ``original_module`` (a neuron's main module) under the layer name ``name``."""

    def simulate_cycles(self, num_cycles: int, nodeCount: int) -> None:
        """Append one dendrite copy of the neuron per two cycles (rounded up), each with
        its processor entry. ``nodeCount`` is accepted and ignored."""

    def process_and_forward(self, *args: Any, **kwargs: Any) -> None:
        """One dendrite step, called as ``(k, outputs, *inputs, **kwargs)``: stores
        dendrite k's output in ``outputs[k]``."""

    def process_and_pre(self, *args: Any, **kwargs: Any) -> None:
        """The neuron step, called as ``(outputs, *inputs, **kwargs)``: stores the
        neuron's output in the last slot of ``outputs``."""

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        """Run the dendrites and the neuron on the inputs and return the combined output."""

    def __getattr__(self, name: str) -> Any:
        """An attribute the block lacks (``weight``, ``in_features``), read from its main
        module, the last entry of ``layer_array``."""

class NVRTrackedModule(nn.Module):
    """Wrapper for modules you don't want to add dendrites to. Ensures all modules are
    accounted for.

    Behaves like the wrapped module: same forward, and attributes it lacks are read from
    ``main_module``.
    """

    main_module: nn.Module
    name: str

    def __init__(self, start_module: nn.Module, name: str) -> None:
        """Wrap ``start_module`` under the name ``name`` (a non-module exits the process)."""

    def __getattr__(self, name: str) -> Any:
        """Attributes not found on the wrapper are read from ``main_module``."""

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        """The wrapped module's output for the same arguments."""

    def __str__(self) -> str:
        """``"NVRTrackedLayer(" + str(main_module) + ")"``."""

    def __repr__(self) -> str:
        """The same text as ``str()``."""
    # Always "tracked_module". It hides nn.Module.type() on instances; declared last, since
    # inside this class body the name also shadows the builtin ``type``.
    type: str  # type: ignore[assignment]
