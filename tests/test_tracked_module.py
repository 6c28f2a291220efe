"""NVRTrackedModule: a wrapper that behaves like the module it wraps."""

import copy
import io
import pickle

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from sorvith import network_svp as NS


class Named(nn.Linear):
    """A wrapped module with attributes of its own, one of them clashing with the wrapper's."""

    def __init__(self):
        super().__init__(3, 2)
        self.name, self.label = "inner", "wrapped"

    def forward(self, x, *, shift=0.0):
        return super().forward(x) + shift


def test_state_and_attribute_lookup():
    inner = Named()
    tracked = NS.NVRTrackedModule(name="outer", start_module=inner)
    assert (tracked.main_module, tracked.name, tracked.type) == (inner, "outer", "tracked_module")
    assert list(tracked.state_dict()) == ["main_module.weight", "main_module.bias"]
    assert tracked.training is True
    assert tracked.label == "wrapped" and tracked.in_features == 3
    assert tracked.weight is inner.weight
    with pytest.raises(AttributeError, match="'Named' object has no attribute 'nothing'"):
        tracked.nothing


@pytest.mark.parametrize("start", [None, 3, torch.zeros(2)])
def test_non_module_stops_the_process(start, capsys):
    with pytest.raises(SystemExit) as stop:
        NS.NVRTrackedModule(start, "layer.7")
    assert stop.value.code == -1
    assert capsys.readouterr().out == "start_module must be nn.Module: layer.7\n%s\n%s\n" % (
        type(start), start)


@pytest.mark.parametrize("call", [
    lambda: NS.NVRTrackedModule(nn.ReLU()),
    lambda: NS.NVRTrackedModule(nn.ReLU(), "a", "b"),
    *[lambda m=m: getattr(NS.NVRTrackedModule, m)()  # through the class, no instance
      for m in ("__init__", "__getattr__", "forward", "__str__", "__repr__")],
])
def test_argument_errors(call):
    with pytest.raises(TypeError, match="argument"):
        call()


def test_half_built_instance_and_a_name_that_is_no_text():
    empty = NS.NVRTrackedModule.__new__(NS.NVRTrackedModule)
    with pytest.raises(AttributeError):
        empty.anything
    empty.__dict__["_modules"] = {}
    with pytest.raises(AttributeError, match="anything"):
        empty.anything
    # A name that is no text, looked up through the class and through the wrapped module.
    with pytest.raises(AttributeError, match="'NVRTrackedModule' object has no attribute '5'"):
        NS.NVRTrackedModule.__getattr__(empty, 5)
    tracked = NS.NVRTrackedModule(nn.ReLU(), "r")
    with pytest.raises(TypeError):  # getattr of the wrapped module with a name that is no str
        tracked.__getattr__(5)


def test_copies_and_pickles():
    tracked = NS.NVRTrackedModule(Named(), "outer")
    buffer = io.BytesIO()
    torch.save(tracked, buffer)
    buffer.seek(0)
    for twin in (copy.deepcopy(tracked), pickle.loads(pickle.dumps(tracked)),
                 torch.load(buffer, weights_only=False)):
        assert type(twin) is NS.NVRTrackedModule and twin.name == "outer"
        assert twin.label == "wrapped" and twin.main_module is not tracked.main_module
        assert torch.equal(twin.weight, tracked.weight)


def test_forward_is_the_wrapped_module_call():
    inner = Named()
    seen = []
    inner.register_forward_hook(lambda m, a, kw, out: seen.append(kw), with_kwargs=True)
    x = torch.randn(4, 3)
    assert torch.equal(NS.NVRTrackedModule(inner, "n")(x, shift=2.0), inner.forward(x, shift=2.0))
    assert seen == [{"shift": 2.0}]
    out = NS.NVRTrackedModule(nn.GRU(3, 4), "g")(torch.randn(5, 1, 3))
    assert isinstance(out, tuple) and len(out) == 2


@pytest.mark.parametrize("verbose", [False, True])
def test_text_form(verbose, monkeypatch):
    inner = nn.Linear(3, 2)
    tracked = NS.NVRTrackedModule(inner, "fc")
    calls = []
    monkeypatch.setattr(GNV.pc, "get_verbose", lambda: calls.append(1) or verbose)
    assert str(tracked) == "NVRTrackedLayer(%s)" % inner and len(calls) == 1
    assert repr(tracked) == str(tracked) and len(calls) == 3
    net = nn.Sequential(NS.NVRTrackedModule(nn.ReLU(), "0"))
    assert repr(net) == "Sequential(\n  (0): NVRTrackedLayer(ReLU())\n)"


def test_text_form_errors_reach_the_caller(monkeypatch):
    class Unprintable(nn.Module):
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        str(NS.NVRTrackedModule(Unprintable(), "u"))
    monkeypatch.setattr(GNV.pc, "get_verbose", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        repr(NS.NVRTrackedModule(nn.ReLU(), "r"))


def test_class_surface():
    """What a caller can introspect: module path, docstrings and method order."""
    cls = NS.NVRTrackedModule
    assert (cls.__module__, cls.__qualname__) == ("sorvith.network_svp", "NVRTrackedModule")
    assert cls.__doc__ == ("Wrapper for modules you don't want to add dendrites to. "
                           "Ensures all modules are accounted for.")
    assert [k for k, v in vars(cls).items() if callable(v)] == [
        "__init__", "__getattr__", "forward", "__str__", "__repr__"]
    summaries = [getattr(cls, m).__doc__.split("\n")[:2]
                 for m in ("__init__", "__getattr__", "forward", "__str__")]
    assert summaries == [["Initialize NVRTrackedModule.", ""],
                         ["Get member variables from the main module.", ""],
                         ["Forward pass for tracked layer.", ""],
                         ["String representation of the layer.", ""]]
    assert cls.__repr__.__doc__ == "Representation of the layer."
    opt = NS.NVROptimizedModule
    assert (opt.__module__, opt.__qualname__, opt.__doc__) == (
        "sorvith.network_svp", "NVROptimizedModule", None)
    assert [k for k, v in vars(opt).items() if callable(v)] == [
        "__init__", "simulate_cycles", "process_and_forward", "process_and_pre", "forward",
        "__getattr__"]


class Answers(nn.Module):
    """A mixin with a lookup of its own, between the tracked module and nn.Module."""

    def __getattr__(self, name):
        if name == "answer":
            return 42
        return super().__getattr__(name)


def test_lookup_goes_on_after_the_class_in_the_method_order():
    class Tracked(NS.NVRTrackedModule, Answers):
        pass

    tracked = Tracked(nn.Linear(3, 2), "t")
    assert tracked.answer == 42
    assert tracked.weight is tracked.main_module.weight
    with pytest.raises(AttributeError, match="'Linear' object has no attribute 'nothing'"):
        tracked.nothing


class TextOf(nn.Module):
    def __init__(self, text):
        super().__init__()
        self.text = text

    def __str__(self):
        return self.text


class Joining(str):
    def __radd__(self, other):
        return "joined"


@pytest.mark.parametrize("text, result", [
    ("inner", "NVRTrackedLayer(inner)"),
    (Joining("inner"), "joined)"),  # the host's concatenation asks the right operand first
    (5, TypeError),
    (None, TypeError),
])
def test_text_form_is_a_concatenation(text, result):
    tracked = NS.NVRTrackedModule(TextOf(text), "t")
    if result is TypeError:
        with pytest.raises(TypeError, match="concatenate"):
            tracked.__str__()
    else:
        assert tracked.__str__() == result
