"""What the four network walks share: they pass over a member that cannot be read but not an
interrupt, stop at references back to any ancestor, raise RecursionError on networks nested too
deeply, and recurse through their module's late-bound name."""

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from sorvith import blockwise_svp as BSV
from sorvith import network_svp as NS
from sorvith import slim_load as SL
from sorvith import utils_svp

from support.blocks import grown_neuron
from support.dendritic_net import Holder

WALKS = {
    "get_nvr_modules": lambda net: NS.get_nvr_modules(net, 0),
    "blockwise_network": BSV.blockwise_network,
    "refresh_net": SL.refresh_net,
    "debug_print_grad_modules": lambda net: utils_svp.debug_print_grad_modules(net, 0, "net"),
}
# get_nvr_modules lets an error while reading a member through (tested with its module).
PROBING = [walk for walk in WALKS if walk != "get_nvr_modules"]


FOUND = NS.NVROptimizedModule(nn.Linear(1, 1), "a")


def neuron():
    return grown_neuron(nn.Linear(3, 3), 1)


def network_whose_property_raises(error):
    class Fragile(Holder):
        @property
        def broken(self):
            raise error

    return Fragile(inner=nn.Linear(2, 2))


@pytest.mark.parametrize("walk", PROBING)
def test_unreadable_member_is_passed_over(walk, capsys):
    net = network_whose_property_raises(RuntimeError("no"))
    WALKS[walk](net)
    assert type(net.inner) is nn.Linear


@pytest.mark.parametrize("walk", PROBING)
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupt_while_reading_a_member_stops_the_walk(walk, error, capsys):
    with pytest.raises(error):
        WALKS[walk](network_whose_property_raises(error()))


@pytest.mark.parametrize("walk", WALKS)
def test_nesting_deeper_than_the_recursion_limit_raises(walk, monkeypatch, capsys):
    monkeypatch.setattr(utils_svp, "check_requires_grad", lambda module: False)
    top = leaf = nn.Module()
    for _ in range(50000):  # far deeper than the C stack would take
        leaf._modules["inner"] = leaf = nn.Module()
    with pytest.raises(RecursionError):
        WALKS[walk](top)


def test_get_nvr_modules_stops_at_ancestors():
    net, child, deep = Holder(), Holder(), Holder()
    found = NS.NVROptimizedModule(nn.Linear(1, 1), "b")
    net.child = child
    child.deep = deep
    deep.found = found
    net.me = net
    deep.root = net  # a reference to an ancestor, not to the module itself
    child.up = child
    seq = nn.Sequential(nn.Linear(1, 1))
    seq.append(seq)
    deep.seq = seq
    assert NS.get_nvr_modules(net, 0) == [found]


def test_blockwise_network_stops_at_ancestors(capsys):
    GNV.pc.set_extra_verbose(True)
    net = Holder(child=Holder(leaf=neuron()))
    net.child.parent = net
    net.me = net
    net.seq = nn.Sequential(Holder())
    net.seq[0].up = net.seq
    BSV.blockwise_network(net)
    assert type(net.child.leaf) is BSV.NVRLayer
    assert {".child.parent is a self pointer so skipping", ".me is a self pointer so skipping",
            ".seq[0].up is a self pointer so skipping"} <= set(capsys.readouterr().out.splitlines())


def test_refresh_net_stops_at_ancestors():
    root = Holder(inner=Holder(seq=nn.Sequential(nn.Linear(1, 1))))
    root.inner.up = root
    root.inner.seq.append(root.inner.seq)
    paths = []
    assert SL.refresh_nvr(root, 0, "", paths) is root
    assert paths == [".inner", ".inner.seq", ".inner.seq[0]", ".inner.up"]


def test_debug_print_stops_at_ancestors(capsys):
    class Fragile(Holder):
        @property
        def broken(self):
            raise RuntimeError("cannot be read")

    root = Fragile(inner=Fragile(lin=nn.Linear(2, 2).requires_grad_(False)))
    root.inner.up = root         # back to an ancestor: not walked again
    root.twice = root.inner.lin  # one module under two names: printed under both
    utils_svp.debug_print_grad_modules(root, 0, "net")
    assert capsys.readouterr().out.splitlines() == [
        "net: has req grads: 0",
        "net.inner: has req grads: 0",
        "net.inner.lin: has req grads: 0",
        "net.twice: has req grads: 0",
    ]


# Each walk's module and the name it recurses through, a network, how the walk is started
# (given the function as first bound), what a spy bound under that name sees (the path, or the
# class name for get_nvr_modules, with the depth), and what the walk returns.
LATE_BOUND = {
    "get_nvr_modules": (
        NS, "get_nvr_modules", lambda: nn.Sequential(nn.Sequential(FOUND)),
        lambda own, net: own(net, 3), [("Sequential", 4)], [FOUND]),
    "optimize_module": (
        BSV, "optimize_module", lambda: Holder(box=Holder(inner=neuron())),
        lambda own, net: BSV.blockwise_network(net), [("", 0), (".box", 1)], None),
    "refresh_nvr": (
        SL, "refresh_nvr", lambda: Holder(box=Holder(inner=nn.ReLU())),
        lambda own, net: SL.refresh_net(net), [("", 0), (".box", 1), (".box.inner", 2)], None),
    "debug_print_grad_modules": (
        utils_svp, "debug_print_grad_modules", lambda: nn.Sequential(nn.Sequential(nn.ReLU())),
        lambda own, net: utils_svp.debug_print_grad_modules(net, 0, "r"),
        [("r", 0), ("r.0", 1), ("r.0.0", 2)], None),
}


@pytest.mark.parametrize("walk", LATE_BOUND)
def test_recursion_goes_through_the_module_name(walk, monkeypatch, capsys):
    module, name, build, start, expected, returned = LATE_BOUND[walk]
    own, seen = getattr(module, name), []

    def spy(net, depth, *rest):
        seen.append((rest[0] if rest else type(net).__name__, depth))
        return own(net, depth, *rest)

    monkeypatch.setattr(module, name, spy)
    net = build()
    result = start(own, net)
    assert seen == expected
    if returned is not None:
        assert result == returned
    if walk == "optimize_module":
        assert type(net.box.inner) is BSV.NVRLayer
    if walk == "debug_print_grad_modules":
        assert len(capsys.readouterr().out.splitlines()) == 3


class ModelZoo(Holder):
    """What many model-zoo networks do: a property that returns a child (`base_model`), and a
    module kept as a plain, unregistered attribute."""

    @property
    def base_model(self):
        return self.body


REWRITES = {
    "blockwise_network": (BSV.blockwise_network, BSV.NVRLayer),
    "refresh_net": (lambda net: SL.refresh_net(BSV.blockwise_network(net)), SL.NVRModulePyThread),
    "clean_net": (utils_svp.clean_net, SL.NVRModulePyThread),
}


@pytest.mark.parametrize("walk", REWRITES)
def test_walks_assign_only_real_replacements(walk):
    rewrite, block = REWRITES[walk]
    net = ModelZoo(body=Holder(fc=neuron(), act=nn.ReLU()), head=nn.Linear(3, 3))
    object.__setattr__(net, "alias", net.body)
    result = rewrite(net)
    # The block took the neuron's place; nothing was registered under another name.
    assert type(result.body.fc) is block
    assert list(result._modules) == ["body", "head"] and list(result.body._modules) == ["fc", "act"]
    assert result.base_model is result.body is result.__dict__["alias"]
    assert {key.split(".")[0] for key in result.state_dict()} == {"body", "head"}


# The two walks of a save, each on a network without neurons or blocks to replace.
MEMBER_WALKS = {"blockwise_network": BSV.blockwise_network, "refresh_net": SL.refresh_net}


class PathLog(list):
    """Stands in for the not-to-save list and logs each path it is asked about."""

    def __init__(self):
        super().__init__()
        self.asked = []

    def __contains__(self, path):
        self.asked.append(path)
        return False


class Growing(nn.Module):
    """Each read of `grow` gives the class a new attribute, so its names change mid-walk."""

    added = 0

    @property
    def grow(self):
        type(self).added += 1
        setattr(type(self), "added_%d" % type(self).added, None)
        return 0


@pytest.mark.parametrize("walk", MEMBER_WALKS)
def test_walks_visit_each_member_that_dir_lists_in_order(walk, monkeypatch):
    """Both walks take every name net.__dir__() gives at the time they reach the module: its
    class's names (also ones added to the class during the walk), its instance attributes,
    parameters, buffers and children, without the names torch leaves out."""

    class Grows(Growing):
        pass

    net = Holder(first=Grows(), second=Grows(), lin=nn.Linear(2, 2),
                 params=nn.ParameterList([nn.Parameter(torch.zeros(1))]))
    net.register_buffer("buf", torch.zeros(1))
    net.weight = nn.Parameter(torch.zeros(1))
    net.__dict__.update({"1x": 1, "\u0663y": 2, "zz": 3})  # the first two start with digits
    log = PathLog()
    GNV.pc.set_module_names_to_not_save(log)
    MEMBER_WALKS[walk](net)

    def asked_under(prefix):
        return [path[len(prefix):] for path in log.asked
                if path.startswith(prefix) and "." not in path[len(prefix):]]

    def walked(names):  # the rebuild passes over these two before it asks
        return [name for name in names if walk == "blockwise_network" or
                name not in ("device", "dtype")]

    top = asked_under(".")
    if walk == "refresh_net":  # asked twice at the top
        top = top[::2]
    assert top == walked(net.__dir__())
    assert "zz" in top and "1x" not in top and "\u0663y" not in top
    # The second module is listed as it is once the first one's walk has read `grow` (three
    # times: the probe and the two type tests), before its own walk reads it.
    second = asked_under(".second.")
    assert second == walked(name for name in net.second.__dir__()
                            if name not in ("added_4", "added_5", "added_6"))
    assert {"added_1", "added_2", "added_3"} <= set(second)


class Counted(nn.Module):
    """A property returning a plain value and one returning a module, counting their reads."""

    def __init__(self):
        super().__init__()
        self.reads = {"value": 0, "child": 0}
        self.inner = nn.ReLU()

    @property
    def value(self):
        self.reads["value"] += 1
        return 1

    @property
    def child(self):
        self.reads["child"] += 1
        return self.inner


@pytest.mark.parametrize("walk", MEMBER_WALKS)
def test_walks_read_a_property_at_each_use(walk):
    """The probe, the type tests and the reads of a module's value each evaluate a property
    afresh, however the other members are read."""
    net = Counted()
    MEMBER_WALKS[walk](net)
    assert net.reads == {"value": 3, "child": 5}


class CountingSequential(nn.Sequential):
    calls = 0

    def get_submodule(self, target):
        type(self).calls += 1
        return super().get_submodule(target)


@pytest.mark.parametrize("walk, per_child", [("blockwise_network", 3), ("refresh_net", 3)])
def test_container_walks_call_a_classs_own_get_submodule(walk, per_child):
    """A container class's own get_submodule is called for each use of a child; torch's own
    is read from the child table, which gives the same children."""
    CountingSequential.calls = 0
    net = CountingSequential(nn.ReLU(), nn.Sequential(nn.Tanh()))
    MEMBER_WALKS[walk](net)
    assert CountingSequential.calls == 2 * per_child
    assert type(net[0]) is nn.ReLU and type(net[1][0]) is nn.Tanh


class OwnChildren(nn.Sequential):
    """named_children of its own (the same pairs as torch's), which the walks iterate."""

    def named_children(self):
        yield from super().named_children()


@pytest.mark.parametrize("walk, expected", [
    ("blockwise_network", ["NVRLayer", "ReLU", "NVRNeuronModule", "Tanh"]),
    ("refresh_net", ["NVRModulePyThread", "ReLU", "NVRLayer", "Tanh"]),
])
@pytest.mark.parametrize("cls", [nn.Sequential, OwnChildren])
def test_container_walks_take_the_children_named_children_yields(walk, expected, cls):
    """A child held at two places is walked once, at its first, and a None entry not at all,
    as named_children gives them (torch's, or a class's own)."""
    twice = neuron()
    if walk == "refresh_net":
        twice = BSV.blockwise_network(Holder(inner=twice)).inner
    net = cls(twice, nn.ReLU(), twice)
    net.register_module("gap", None)
    net.add_module("last", nn.Tanh())
    result = MEMBER_WALKS[walk](net)
    assert [type(child).__name__ for child in result._modules.values()
            if child is not None] == expected


def test_replaced_children_are_freed_during_the_walk(monkeypatch):
    """A walk over a long container lets go of each block it replaced as it goes."""
    import weakref
    net = BSV.blockwise_network(nn.Sequential(*[neuron() for _ in range(20)]))
    refs = [weakref.ref(layer) for layer in net]
    alive, make_module = [], SL.make_module

    def counting(layer):
        alive.append(sum(ref() is not None for ref in refs))
        return make_module(layer)

    monkeypatch.setattr(SL, "make_module", counting)
    SL.refresh_net(net)
    # Before each replacement: the blocks not replaced yet, none of those replaced before.
    assert alive == list(range(20, 0, -1))
