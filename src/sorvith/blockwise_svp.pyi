"""Rewrite a trained dendritic network block by block: every dendritic neuron module becomes
one NVRLayer holding its dendrite modules, its main module and one combined skip tensor.

``utils_svp.clean_net`` and ``utils_svp.sv_save_net`` call this for you; call it directly
only to inspect the blockwise form.
"""

import copy as copy
import pdb as pdb
import string as string
import types
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy
import torch as torch
from torch import nn as nn

# The module's own alias of numpy.
np = numpy

_M = TypeVar("_M", bound=nn.Module)

# nevrane.globals_nevrane (``GNV.pc`` is the configuration), nevrane.modules_nevrane and
# nevrane.utils_nevrane.
GNV: types.ModuleType
NV: types.ModuleType
UNV: types.ModuleType

class NVRLayer(nn.Module):
    """One dendritic neuron in blockwise form: blocks 0 to L-2 are its dendrite modules,
    block L-1 its main module."""

    layer_array: nn.Sequential
    processor_array: list[Any]
    # (count, count, W): row ``skip_weights[i][j]`` weights block j's output into block i's.
    skip_weights: torch.Tensor
    # The neuron's original weight list, still registered under this name.
    original: Any
    module_id: torch.Tensor
    num_cycles: torch.Tensor | None
    view_tuple: torch.Tensor
    node_index: torch.Tensor
    # The training library's dendrite activation, fixed when the block is built.
    internal_nonlinearity: Callable[[torch.Tensor], torch.Tensor]

    def __init__(
        self,
        layer_array: nn.Sequential,
        processor_array: list[Any],
        dendrites_to_top: nn.ParameterList | Sequence[torch.Tensor],
        dendrites_to_dendrites: nn.ParameterList | list[torch.Tensor],
        node_index: torch.Tensor,
        num_cycles: torch.Tensor | None,
        view_tuple: Sequence[int],
    ) -> None:
        """Build the block from a neuron's modules (dendrites first, main module last), their
        processors (None or a processor object each), its weight lists, its node index and
        cycle count, and ``view_tuple`` (-1 at the neuron dimension of an output, 1 elsewhere).

        The last entry of ``dendrites_to_top`` is appended to ``dendrites_to_dendrites``.
        """

    def forward(self, *args: Any, **kwargs: Any) -> Any:
        """Run every block on the inputs and return the main block's combined output."""

    def __getattr__(self, name: str) -> Any:
        """An attribute the block lacks (``weight``, ``in_features``), read from its main
        module, the last entry of ``layer_array``."""

def unWrap_params(model: nn.Module) -> None:
    """Remove the training library's ``wrapped`` marker from every parameter of ``model``."""

def convert_to_nvr_layer_block(pretrained_dendrite: nn.Module) -> NVRLayer:
    """A new NVRLayer built from a dendritic neuron module (sharing its modules)."""

def get_pretrained_nvr_attr(pretrained_dendrite: object | None, member: str) -> Any:
    """None for None, else ``getattr(pretrained_dendrite, member)``."""

def get_pretrained_nvr_var(pretrained_dendrite: Any, submodule_id: Any) -> Any:
    """None for None, else ``pretrained_dendrite[submodule_id]``."""

def optimize_module(net: _M, depth: int, name_so_far: str, converted_list: list[str]) -> _M:
    """The walk behind blockwise_network: rewrites ``net`` in place and returns it.

    ``name_so_far`` is the path of ``net`` ("" at the top, then ".attr" and "[child]" parts);
    ``converted_list`` collects the paths walked, and paths already in it are skipped.
    """

def blockwise_network(net: _M) -> _M:
    """Replace, in place, every dendritic neuron module inside ``net`` by an NVRLayer;
    returns ``net`` itself."""
