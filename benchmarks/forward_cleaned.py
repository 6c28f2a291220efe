"""NVRModulePyThread.forward against the literal Python rendering of the same forward and
against the floor.

    python benchmarks/forward_cleaned.py [--quick] [--json PATH]

A block of L positions (L - 1 dendrites and the main module), each Linear(8, W), no processors.
Runs on the installed package with single-threaded torch: one table in inference mode, one with
autograd on (parameters that require grad; forward only). The floor is the work no rendering can
avoid: the L module calls, one multiply and one in-place add per pair of positions and the L - 1
activations, with the weight rows already shaped. The three take turns within each repeat;
times are the minimum over the repeats of the mean time per call. Columns:
    C++/floor   the extension's time over the floor's (1.00 = no overhead at all)
    py/floor    the Python rendering's time over the floor's
"""

from _support import PyBlock, cleaned_layer, run
from sorvith import slim_load


def build(count, width, grad):
    """The cleaned block and its Python rendering, which adds the skip terms in place."""
    layer = cleaned_layer(count, width).requires_grad_(grad)
    return slim_load.NVRModulePyThread(layer), PyBlock(layer, in_place=True)


# run_all.py finds "--quick" and "--json" in this text: _support.run declares both.
if __name__ == "__main__":
    run("forward_cleaned", __doc__, build, slim_load)
