"""The cleaned inference form of a network: every NVRLayer block becomes an
NVRModulePyThread, the module class that saved networks are made of.

Module switches a script may set at any time::

    slim_load.doing_threading = True     # dendrites on threads of their own
    slim_load.ModuleType = MyBlock       # the class refresh_net puts in place of blocks
"""

import copy as copy
import pdb as pdb
import types
from threading import Thread as Thread
from typing import Any

import torch as torch
from safetensors.torch import load_file as load_file
from torch import nn as nn

# nevrane.globals_nevrane; ``GNV.pc`` is the training library's configuration.
GNV: types.ModuleType

# When true, every later forward call of an NVRModulePyThread runs each dendrite and the
# main module on a thread of its own (read at the start of each call).
doing_threading: bool
# True: blocks of identical nn.Linear / Conv1d / Conv2d modules run as one wide call when
# nothing could tell the difference (same results, bit for bit).
doing_fusion: bool
# Kept for scripts that set it; nothing reads it.
loaded_full_print: bool

class NVRModulePyThread(nn.Module):
    """One cleaned dendritic neuron: entries 0 to L-2 of ``layer_array`` are its dendrite
    modules, entry L-1 its main module."""

    # Shared with the block it was made from.
    layer_array: nn.Sequential
    processor_array: list[Any]
    skip_weights: torch.Tensor
    # Buffers.
    node_index: torch.Tensor
    module_id: torch.Tensor
    num_cycles: torch.Tensor
    view_tuple: torch.Tensor

    def __init__(self, original_module: nn.Module) -> None:
        """Take over the modules, processors, skip weights and buffers of an NVRLayer (or of
        any module with the same members)."""

    def process_and_forward(self, *args2: Any, **kwargs2: Any) -> None:
        """One dendrite step, called as ``(c, outputs, *inputs, **kwargs)``: stores dendrite
        c's output in ``outputs[c]``."""

    def process_and_pre(self, *args: Any, **kwargs: Any) -> None:
        """The main module's step, called as ``(outputs, *inputs, **kwargs)``: stores its
        output in the last slot of ``outputs``."""

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        """Run the dendrites and the main module on the inputs and return the combined
        output."""

    def __getattr__(self, name: str) -> Any:
        """An attribute the block lacks (``weight``, ``in_features``), read from its main
        module, the last entry of ``layer_array``."""

def get_pretrained_nvr_attr(pretrained_dendrite: object | None, member: str) -> Any:
    """None for None, else ``getattr(pretrained_dendrite, member)``."""

def get_pretrained_nvr_var(pretrained_dendrite: nn.Module | None, submodule_id: str) -> nn.Module | None:
    """None for None, else ``pretrained_dendrite.get_submodule(submodule_id)``."""

# The class that make_module builds in place of an NVRLayer (constructed with the layer
# as its one argument); the rebuild leaves modules of exactly this class alone.
ModuleType: type[nn.Module]

def make_module(module: nn.Module) -> nn.Module:
    """``ModuleType(module)``: by default a new NVRModulePyThread from an NVRLayer."""

def refresh_nvr(net: nn.Module, depth: int, name_so_far: str, converted_list: list[str]) -> nn.Module:
    """The walk behind refresh_net: replaces the NVRLayer blocks below ``net`` in place and
    returns ``net``, or its replacement when ``net`` is itself a block.

    ``name_so_far`` is the path of ``net`` ("" at the top, then ".attr" and "[child]" parts);
    ``converted_list`` collects the paths walked.
    """

def refresh_net(pretrained_dendrite: nn.Module) -> nn.Module:
    """Replace every NVRLayer in a blockwise network by ``ModuleType`` (in place) and
    return the network, or its replacement when the root is itself a block."""
