"""Compact inference networks from dendritic PyTorch networks.

The four extension modules are imported on their own, as ``sorvith.network_svp``,
``sorvith.blockwise_svp``, ``sorvith.slim_load`` and ``sorvith.utils_svp``; importing the
package itself loads nothing else.
"""

__version__ = "0.1.0"
