"""The storage modes of a saved file, by the two companion settings that choose them."""

from nevrane import globals_nevrane as GNV

# Storage mode -> (get_using_safe_tensors, get_weight_tying_experimental)
MODES = {"safetensors": (True, False), "weight_tying": (True, True), "torch": (False, False)}


def use_mode(mode):
    """Saves and loads from now on use `mode`."""
    safe, tying = MODES[mode]
    GNV.pc.set_using_safe_tensors(safe)
    GNV.pc.set_weight_tying_experimental(tying)
