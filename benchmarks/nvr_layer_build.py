"""Construction time of an NVRLayer block, against a plain Python rendering of the same
element-by-element algorithm and against the floor (the bulk numpy and torch work no build can
avoid: reading the weights, their statistics, the filler draws, the new tensor and its rows).

Blocks as a trained neuron module holds them: K dendrites, entry i of the dendrite list of shape
(i, W), the last top entry of shape (K, W). Each build gets its own copy of the list (a build
appends the top entry to it). Every row of the table also checks that the block's skip tensor is
bit-identical to the Python rendering's under the same numpy seed.

Construction does small tensor operations one after another, so it runs with one intra-op
thread by default: torch's idle worker threads otherwise compete for the cores of a busy machine
and blur the figures (``--threads 0`` keeps torch's own setting).

    python benchmarks/nvr_layer_build.py [--quick] [--threads N]
"""

import argparse
import sys

import numpy as np
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import blockwise_svp as BSV

from _support import best_of

# The block's marker text (see the block's construction).
MARKER_TEXT = "sv-nvr"
LAYER_ID, BLOCK_ID = "sorvith.blockwise.layer", "b"


class PythonLayer(nn.Module):
    """The block's construction written out in Python, element by element."""

    def __init__(self, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites,
                 node_index, num_cycles, view_tuple):
        super().__init__()
        self.layer_array = layer_array
        self.register_buffer("module_id", UNV.string_to_tensor(LAYER_ID))
        self.register_buffer("num_cycles", num_cycles)
        self.register_buffer("view_tuple", torch.tensor(view_tuple))
        for block in self.layer_array:
            block.register_buffer("module_id", UNV.string_to_tensor(BLOCK_ID))
        self.processor_array = processor_array
        if dendrites_to_dendrites:
            self.skip_weights = dendrites_to_dendrites
        else:
            self.skip_weights = nn.ParameterList([torch.zeros(1, 1, 1)])
        if dendrites_to_top:
            self.skip_weights.append(dendrites_to_top[len(dendrites_to_top) - 1])
        else:
            self.skip_weights = nn.ParameterList()
        values = np.array([])
        largest = 0
        for i in range(len(self.skip_weights)):
            for j in range(len(self.skip_weights[i])):
                for k in range(len(self.skip_weights[i][j])):
                    values = np.append(values, self.skip_weights[i][j][k].item())
                    if k > largest:
                        largest = k
        width = largest + 1
        if len(values) != 0:
            mean = values.mean()
            std = values.std()
        string_floats, next_float, float_index = [], 0.0, 0
        for letter in [ord(c) for c in MARKER_TEXT]:
            next_float += (letter + 1) / 10 ** ((float_index + 2) * 2)
            float_index += 1
            if float_index == 2:
                float_index = 0
                string_floats.append(next_float)
                next_float = 0.0
        count = len(self.skip_weights)
        new_skip = torch.zeros(count, count, width)
        letter_index = 0
        for i in range(count):
            for j in range(count):
                if j < len(self.skip_weights[i]):
                    for k in range(len(self.skip_weights[i][j])):
                        new_skip[i][j][k] = self.skip_weights[i][j][k]
                else:
                    for k in range(width):
                        new_skip[i][j][k] = np.random.normal(mean, std)
                        if letter_index < len(string_floats):
                            new_skip[i][j][k] = round(new_skip[i][j][k].item(), 2)
                            multiplier = -1 if new_skip[i][j][k] < 0 else 1
                            new_skip[i][j][k] += string_floats[letter_index] * multiplier
                            letter_index += 1
        self.original = self.skip_weights
        self.skip_weights = torch.nn.Parameter(new_skip.detach())
        self.node_index = node_index
        self.internal_nonlinearity = GNV.pc.get_nvr_forward_function()


def floor_build(entries, count, width):
    """The bulk work alone: read, statistics, draws, the new tensor, copied and filler rows."""
    parts = [e.detach().to("cpu", torch.float64).numpy().reshape(-1) for e in entries]
    values = np.concatenate(parts)
    mean, std = values.mean(), values.std()
    new_skip = torch.zeros(count, count, width)
    fill_i, fill_j = [], []
    for i, e in enumerate(entries):
        rows = min(len(e), count)
        if rows:
            new_skip[i, :rows, : e.shape[1]].copy_(e.detach()[:rows])
        fill_i += [i] * (count - rows)
        fill_j += list(range(rows, count))
    draws = np.random.normal(mean, std, len(fill_i) * width)
    new_skip[torch.tensor(fill_i), torch.tensor(fill_j)] = torch.from_numpy(draws).to(
        new_skip.dtype).view(len(fill_i), width)
    return new_skip


class Block:
    """The arguments of one block's construction."""

    def __init__(self, dendrites, width):
        g = torch.Generator().manual_seed(dendrites * 100003 + width)
        self.to_dendrites = [nn.Parameter(torch.randn(i, width, generator=g) * 0.1)
                             for i in range(dendrites)]
        self.to_top = nn.ParameterList(
            [nn.Parameter(torch.randn(dendrites, width, generator=g) * 0.1)])
        self.layers = nn.Sequential(*[nn.Identity() for _ in range(dendrites + 1)])
        self.dendrites, self.width = dendrites, width

    def args(self):
        return (self.layers, [None] * (self.dendrites + 1), self.to_top,
                nn.ParameterList(self.to_dendrites), torch.tensor(1),
                torch.tensor(2 * self.dendrites), [1, -1])

    def skip_entries(self):
        return list(self.to_dendrites) + [self.to_top[0]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="skip the Python rendering where it takes more than a few seconds")
    parser.add_argument("--threads", type=int, default=1,
                        help="torch intra-op threads (0: leave torch's default)")
    options = parser.parse_args()
    if options.threads > 0:
        torch.set_num_threads(options.threads)

    rows = []
    print("%9s %6s %9s %11s %12s %10s %9s %9s %10s" % (
        "dendrites", "width", "elements", "sorvith ms", "python ms", "floor ms", "speedup",
        "vs floor", "identical"))
    for dendrites in (1, 3, 6):
        for width in (64, 1024, 8192):
            block = Block(dendrites, width)
            elements = sum(e.numel() for e in block.skip_entries())
            count = dendrites + 1
            fast, floor = best_of(15, lambda: BSV.NVRLayer(*block.args()),
                                  lambda: floor_build(block.skip_entries(), count, width))
            slow_run = not (options.quick and elements * width > 3_000_000)
            slow = (best_of(1, lambda: PythonLayer(*block.args()))[0] if slow_run
                    else float("nan"))

            np.random.seed(7)
            ours = BSV.NVRLayer(*block.args()).skip_weights
            np.random.seed(7)
            theirs = PythonLayer(*block.args()).skip_weights if slow_run else ours
            same = torch.equal(ours.detach().view(torch.int32), theirs.detach().view(torch.int32))
            rows.append(same)
            print("%9d %6d %9d %11.3f %12.1f %10.3f %8.0fx %8.1fx %10s" % (
                dendrites, width, elements, fast * 1e3, slow * 1e3, floor * 1e3, slow / fast,
                fast / floor, ("yes" if same else "NO") if slow_run else "skipped"))
            sys.stdout.flush()
    return 0 if all(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
