"""Global configuration: the one object ``pc`` that the whole library reads.

Each setting has a getter ``get_<setting>()`` and a setter ``set_<setting>(value)``.
``pc.reset()`` puts every setting back to its default (tests change settings and call it
afterwards). List settings are returned as the stored list itself, so appending to the
result of a getter changes the setting.
"""

import torch
import torch.nn as nn

from nevrane.processors_nevrane import GRUProcessor


def _default_settings():
    """A fresh mapping from setting name to default value (new list objects each time)."""
    return {
        # Exact module classes that become dendritic neuron modules.
        "modules_to_convert": [nn.Linear, nn.Conv2d],
        # Exact module classes replaced before conversion, and the parallel list of
        # replacements: callables that take the module and return the module to use.
        "modules_to_replace": [],
        "replacement_modules": [],
        # Exact module classes wrapped in the tracked wrapper (no dendrites).
        "modules_to_track": [],
        # Processor classes chosen by the main module's exact class ...
        "modules_with_processing": [nn.GRU],
        "modules_processing_classes": [GRUProcessor],
        # ... or, failing that, by the class's __name__.
        "module_names_with_processing": [],
        "module_by_name_processing_classes": [],
        # Activation applied to every dendrite in the cascade.
        "nvr_forward_function": torch.sigmoid,
        "verbose": False,
        "extra_verbose": False,
        "weight_tying_experimental": False,
        "count_training_params": False,
        "using_safe_tensors": True,
        # Walk paths (".attr", "[0]" form) left out when a network is cleaned for saving.
        "module_names_to_not_save": [],
    }


SETTING_NAMES = tuple(_default_settings())


class NevraneConfig:
    """Holds the settings; getters and setters are generated from ``SETTING_NAMES``."""

    def __init__(self):
        self._settings = {}
        self.reset()

    def reset(self):
        """Restore every setting to its default value."""
        self._settings = _default_settings()

    def __repr__(self):
        return "NevraneConfig(%r)" % (self._settings,)


def _add_accessors(cls, setting):
    def getter(self):
        return self._settings[setting]

    def setter(self, value):
        self._settings[setting] = value

    getter.__name__ = "get_" + setting
    setter.__name__ = "set_" + setting
    getter.__qualname__ = cls.__name__ + "." + getter.__name__
    setter.__qualname__ = cls.__name__ + "." + setter.__name__
    getter.__doc__ = "Return the setting %r." % setting
    setter.__doc__ = "Set the setting %r." % setting
    setattr(cls, getter.__name__, getter)
    setattr(cls, setter.__name__, setter)


for _setting in SETTING_NAMES:
    _add_accessors(NevraneConfig, _setting)
del _setting

pc = NevraneConfig()
