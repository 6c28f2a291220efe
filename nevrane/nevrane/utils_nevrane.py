"""Network-level helpers: conversion, dendrite growth, copies and storage."""

import copy

import safetensors.torch
import torch

from nevrane import globals_nevrane as GNV
from nevrane import modules_nevrane as NV

__all__ = [
    "add_dendrites",
    "convert_module",
    "deep_copy_nvr",
    "get_module_base_name",
    "get_neuron_modules",
    "initialize_nvr",
    "load_model_with_weight_tying",
    "load_net_from_dict",
    "replace_predefined_modules",
    "save_model_with_weight_tying",
    "string_to_tensor",
]

# Marker left on a converted network; cleaning for inference deletes it.
TRACKER_STRING = "nevrane-tracker"


def _log(message):
    if GNV.pc.get_extra_verbose():
        print(message)


def _child_path(prefix, child_name):
    return child_name if prefix == "" else prefix + "." + child_name


def replace_predefined_modules(net):
    """Return the configured replacement for ``net``'s exact class, or ``net`` itself.

    ``get_replacement_modules()[i]`` is called with the module when its class is
    ``get_modules_to_replace()[i]``.
    """
    to_replace = GNV.pc.get_modules_to_replace()
    if type(net) not in to_replace:
        return net
    replacements = GNV.pc.get_replacement_modules()
    index = to_replace.index(type(net))
    if index >= len(replacements):
        raise ValueError(
            "no replacement configured for %s: get_replacement_modules() has %d entries"
            % (type(net).__name__, len(replacements))
        )
    return replacements[index](net)


def _convert_tree(module, path, optimized_class, tracked_class, converted, tracked, memo):
    """Convert ``module`` (found at ``path``) and, unless it is wrapped, its children.

    Returns the module to put in its place. ``memo`` maps the id of every module seen to
    ``(module, replacement)``, so a module held at several places is converted once and
    its replacement, named after its first path, is put at all of them.
    """
    if id(module) in memo:
        return memo[id(module)][1]
    wrappers = tuple(
        cls for cls in (optimized_class, tracked_class, NV.NVRNeuronModule, NV.TrackedNeuronModule)
        if isinstance(cls, type)
    )
    if isinstance(module, wrappers):
        # Already converted: its main module must not be wrapped a second time.
        return module
    original = module
    module = replace_predefined_modules(module)
    if type(module) in GNV.pc.get_modules_to_convert():
        _log("converting %s at %r" % (type(module).__name__, path))
        new = optimized_class(module, path)
        converted.append(path)
    elif type(module) in GNV.pc.get_modules_to_track():
        _log("tracking %s at %r" % (type(module).__name__, path))
        new = tracked_class(module, path)
        tracked.append(path)
    else:
        # Every registered place, not named_children(), which lists a shared child once.
        for child_name, child in list(module._modules.items()):
            if child is None:
                continue
            replacement = _convert_tree(
                child, _child_path(path, child_name), optimized_class, tracked_class,
                converted, tracked, memo,
            )
            if replacement is not child:
                setattr(module, child_name, replacement)
        new = module
    # The original object stays referenced by the entry, so its id cannot be reused.
    memo[id(original)] = (original, new)
    return new


def convert_module(net, depth, name, converted, tracked, optimized_class, tracked_class):
    """Convert an unconverted network, replacing listed modules by wrappers.

    Every module whose exact class is in ``get_modules_to_convert()`` becomes
    ``optimized_class(module, path)`` and every one in ``get_modules_to_track()``
    ``tracked_class(module, path)``; ``path`` is the module's state-dictionary prefix,
    built on ``name`` (the prefix of ``net`` itself, "" for a whole network). Modules of
    a class in ``get_modules_to_replace()`` are replaced first. A module held at several
    places gets one wrapper, named after its first path (where the state dictionary
    lists it). The paths of the converted and tracked modules are appended to the lists
    ``converted`` and ``tracked``; ``depth`` is the nesting depth of ``net`` and only
    informs messages. Returns the converted network, a new object when ``net`` itself
    is wrapped.
    """
    _log("converting network at depth %d" % depth)
    return _convert_tree(net, name, optimized_class, tracked_class, converted, tracked, {})


def initialize_nvr(net):
    """Make a network dendritic: wrap listed modules in neuron and tracked modules.

    Paths and shared modules are handled as in ``convert_module``. When ``net`` itself
    is of a listed class the wrapper is returned in its place (with the name ""), so the
    caller must use the returned network. Sets ``net.tracker_string``.
    """
    net = _convert_tree(net, "", NV.NVRNeuronModule, NV.TrackedNeuronModule, [], [], {})
    net.tracker_string = TRACKER_STRING
    return net


def get_neuron_modules(net):
    """The distinct neuron modules of ``net``, in ``modules()`` order."""
    return [m for m in net.modules() if isinstance(m, NV.NVRNeuronModule)]


def add_dendrites(net):
    """Add one dendrite to every neuron module of ``net``; returns ``net``."""
    neurons = get_neuron_modules(net)
    if not neurons:
        raise ValueError("add_dendrites: the network has no neuron modules; call initialize_nvr first")
    for neuron in neurons:
        neuron.add_dendrite()
    return net


def get_module_base_name(module):
    """The module's state-dictionary prefix (its ``name``)."""
    return module.name


def string_to_tensor(text):
    """A 1-D int64 tensor of the text's character codes."""
    return torch.tensor([ord(ch) for ch in text], dtype=torch.int64)


def deep_copy_nvr(net):
    """An independent deep copy of the network."""
    return copy.deepcopy(net)


def save_model_with_weight_tying(net, path):
    """Write the network's state to a safetensors file, storing shared tensors once."""
    safetensors.torch.save_model(net, str(path))


def load_model_with_weight_tying(net, path):
    """Load a file written by ``save_model_with_weight_tying`` into ``net``; returns it.

    Keys must match exactly; shared tensors are filled through one of their names.
    """
    safetensors.torch.load_model(net, str(path), strict=True)
    return net


def load_net_from_dict(net, state_dict):
    """Load ``state_dict`` into ``net`` with strict key checking; returns ``net``."""
    net.load_state_dict(state_dict, strict=True)
    return net
