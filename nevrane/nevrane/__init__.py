"""Dendritic training helpers for PyTorch networks.

The submodules are imported on demand: ``nevrane.globals_nevrane`` (configuration),
``nevrane.modules_nevrane`` (neuron modules and processors) and ``nevrane.utils_nevrane``
(network conversion, copies and storage).
"""

__version__ = "0.1.0"
