"""Clean, save, load and count dendritic networks.

Typical use at the end of a training script::

    utils_svp.sv_save_net(net, "checkpoints", "model")   # writes checkpoints/model_nvr.pt
    print(utils_svp.sv_count_params(net))

and to read the file back into a network of the cleaned structure::

    net = utils_svp.load_net(utils_svp.clean_net(grown_net), "checkpoints", "model_nvr")
"""

import copy as copy
import math as math
import os as os
import pdb as pdb
import time as time
import types
import warnings as warnings

import numpy
import torch as torch
import torch.nn.functional
from safetensors.torch import load_file as load_file
from safetensors.torch import save_file as save_file
from torch import nn as nn
from torch.nn import init as init

from sorvith import blockwise_svp, slim_load

# The module's own aliases of numpy, torch.nn.functional and its sibling modules.
np = numpy
F = torch.nn.functional
SL = slim_load
BSV = blockwise_svp

# nevrane.globals_nevrane (``GNV.pc`` is the configuration) and nevrane.utils_nevrane.
GNV: types.ModuleType
UNV: types.ModuleType

def check_requires_grad(module: nn.Module) -> bool:
    """Whether any parameter of ``module`` requires gradients."""

def debug_print_grad_modules(net: nn.Module, depth: int, name_so_far: str) -> None:
    """Print one line per module below ``net`` saying whether it has a parameter that
    requires gradients; pass ``depth=0`` and the name to print for ``net``."""

def add_future_warning() -> None:
    """Put an "ignore every warning" filter at the front of ``warnings.filters``."""

def remove_future_warning() -> None:
    """Remove the front entry of ``warnings.filters`` (undoes add_future_warning)."""

def load_net(
    net: nn.Module, folder: str | os.PathLike[str], name: str | os.PathLike[str]
) -> nn.Module:
    """Load ``folder + "/" + name + ".pt"`` into ``net`` and return the loaded network.

    To read what ``sv_save_net(net, folder, name)`` wrote, pass ``name + "_nvr"``; ``net``
    must have the cleaned structure (for example ``clean_net`` of a network grown the same
    way). The storage mode must be the one the file was saved in; a file of another mode
    gives the reader's error with a note naming the mode the file is of.
    """

def clean_net(net: nn.Module) -> nn.Module:
    """The cleaned inference form of a trained dendritic network (a new network).

    The blockwise rewrite is applied to ``net`` itself first; pass a copy
    (``UNV.deep_copy_nvr(net)``) to keep training it. For an ``nn.DataParallel`` or
    ``DistributedDataParallel`` its ``.module`` is cleaned. A network with sharded (DTensor)
    parameters raises ``TypeError``.
    """

def sv_save_net(net: nn.Module, folder: str, name: str) -> None:
    """Clean a copy of ``net`` and write it to ``folder + "/" + name + "_nvr.pt"``, creating
    ``folder`` if needed. ``net`` is left unchanged.

    Only the process whose ``RANK`` environment variable is unset or 0 writes. The storage
    mode (safetensors, tied weights or a whole pickled network) follows the training
    library's configuration; in safetensors mode a tensor held under several names (tied
    weights) is stored once, its other names recorded in the metadata. The file is written
    apart and renamed onto the path, so the path holds the old file or the new one whatever
    happens.

    For an ``nn.DataParallel`` or ``DistributedDataParallel`` its ``.module`` is saved. A
    network with sharded (DTensor) parameters, as ``fully_shard`` leaves it, raises
    ``TypeError`` before anything is written: save its full state dict loaded into a plain
    network instead (README, "Distributed training"). A ``net`` that is not an ``nn.Module``
    raises ``TypeError`` on every rank. A ``name`` ending in ``.pt`` or ``_nvr`` is kept as
    given (``classifier.pt`` writes ``classifier.pt_nvr.pt``), with a ``UserWarning``.
    """

def sv_count_params(net: nn.Module) -> int:
    """The number of parameters of ``net`` (shared tensors counted once): of its training
    form or of its cleaned form, as the training library's configuration selects. For an
    ``nn.DataParallel`` or ``DistributedDataParallel`` its ``.module`` is counted; sharded
    (DTensor) parameters, or a ``net`` that is not an ``nn.Module``, raise ``TypeError``."""
