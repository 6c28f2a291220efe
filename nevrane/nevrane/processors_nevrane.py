"""Processor classes: adapters around modules whose output is not a single tensor.

A processor is made without arguments and offers four bound methods:

- ``pre_d(*args, **kwargs)`` returns the ``(args, kwargs)`` a dendrite module is called with;
- ``post_d(out)`` maps a dendrite module's output to the tensor that enters the cascade;
- ``post_n1(out)`` maps the main module's output to the tensor the dendrites are added to;
- ``post_n2(value)`` maps the combined tensor back to the main module's output format.

They live in their own module so that the configuration can name them as defaults
without importing the neuron modules (which read the configuration themselves).
"""


class GRUProcessor:
    """Processor for ``nn.GRU``: the cascade works on the output sequence only.

    ``post_n1`` keeps the main module's final hidden state, which ``post_n2`` hands back
    beside the combined output, so the neuron returns ``(output, hidden)`` like the GRU.
    """

    def __init__(self):
        self.hidden = None

    def pre_d(self, *args, **kwargs):
        return args, kwargs

    def post_d(self, out):
        output, _hidden = out
        return output

    def post_n1(self, out):
        output, hidden = out
        self.hidden = hidden
        return output

    def post_n2(self, value):
        return value, self.hidden

    def __getstate__(self):
        # The stored hidden state belongs to one forward call and may be attached to an
        # autograd graph, which neither deepcopy nor pickle accepts; copies start empty.
        state = self.__dict__.copy()
        state["hidden"] = None
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
