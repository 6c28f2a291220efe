"""NVROptimizedModule.forward against the literal Python rendering of the same forward and
against the floor.

    python benchmarks/forward_optimized.py [--quick] [--json PATH]

A loaded block of L positions (L - 1 dendrite copies and the main module), each Linear(8, W), no
processors. Runs on the installed package with single-threaded torch: one table in inference
mode, one with autograd on (parameters that require grad; forward only). The floor is the work
no rendering can avoid: the L module calls, one multiply and one add per pair of positions (into
a new tensor, as this block adds) and the L - 1 activations, with the weight rows already
shaped. The three take turns within each repeat; times are the minimum over the repeats of the
mean time per call. Columns:
    C++/floor   the extension's time over the floor's (1.00 = no overhead at all)
    py/floor    the Python rendering's time over the floor's
"""

from _support import PyBlock, loaded, run
from sorvith import network_svp


def build(count, width, grad):
    """The optimised block as loading leaves it, and its Python rendering, which adds the skip
    terms out of place."""
    block = loaded(count, width).requires_grad_(grad)
    return block, PyBlock(block, in_place=False)


# run_all.py finds "--quick" and "--json" in this text: _support.run declares both.
if __name__ == "__main__":
    run("forward_optimized", __doc__, build, network_svp)
