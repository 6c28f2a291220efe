"""refresh_net and refresh_nvr: putting a cleaned block in the place of every NVRLayer."""

import copy

import pytest
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import slim_load as SL

PY_THREAD = SL.NVRModulePyThread
TWICE = ("this is only being called because something in your model is pointed to twice by "
         "two different variables.  Highest thing on the list is one of the duplicates")


class NVRLayer(nn.Module):  # the walk recognises blocks by class name
    def __init__(self):
        super().__init__()
        self.layer_array = nn.Sequential(nn.Linear(3, 4), nn.Linear(3, 4))
        for name in ("module_id", "num_cycles", "view_tuple"):
            self.register_buffer(name, torch.tensor([1, -1]))
        self.processor_array = [None, None]
        self.skip_weights = nn.Parameter(torch.randn(2, 2, 4))
        self.node_index = torch.tensor(1)


class Holder(nn.Module):
    def __init__(self, **members):
        super().__init__()
        self.__dict__.update(assigned=[])
        for name, value in members.items():
            nn.Module.__setattr__(self, name, value)

    def __setattr__(self, name, value):  # records what the walk assigns
        self.assigned.append(name)
        super().__setattr__(name, value)


def kinds(net):
    return {name: type(m).__name__ for name, m in net.named_modules(remove_duplicate=False)
            if type(m).__name__ in ("NVRLayer", "NVRModulePyThread")}


def test_walk_paths_and_assignments(monkeypatch):
    inner, seq = nn.Linear(2, 2), nn.Sequential(Holder(), nn.ReLU())
    net = Holder(a=Holder(inner=inner), seq=seq)
    calls, walk = [], SL.refresh_nvr
    monkeypatch.setattr(SL, "refresh_nvr", lambda *a: calls.append(a[1:3]) or walk(*a))
    paths = []
    assert SL.refresh_nvr(net, 0, "", paths) is net
    assert paths == [".a", ".a.inner", ".seq", ".seq[0]", ".seq[1]"]
    assert calls == [(0, ""), (1, ".a"), (2, ".a.inner"), (1, ".seq"), (2, ".seq[0]"),
                     (2, ".seq[1]")]
    assert net.assigned == [] and net.a.assigned == []  # nothing was replaced
    assert net.a.inner is inner and net.seq is seq
    root, paths = NVRLayer(), []  # a root block: its members first, then itself
    new = SL.refresh_nvr(root, 0, "", paths)
    assert type(new) is PY_THREAD and new.layer_array is root.layer_array
    assert paths == [".layer_array", ".layer_array[0]", ".layer_array[1]"]


def test_verbose_messages(capsys):
    GNV.pc.set_extra_verbose(True)
    block = PY_THREAD(NVRLayer())
    assert SL.refresh_net(block) is block
    assert capsys.readouterr().out == (
        "SL calling convert on %s depth 0\nSL calling convert on : NVRModulePyThread, depth 0\n"
        "%s\n" % (block, TWICE))
    net = Holder(fc=nn.Linear(2, 2))
    SL.refresh_nvr(net, 2.7, ".x", [])
    assert capsys.readouterr().out == (
        "SL calling convert on %s depth 2\nSL calling convert on .x: Holder, depth 2\n"
        "SL calling convert on %s depth 3\nSL calling convert on .x.fc: Linear, depth 3\n"
        % (net, net.fc))
    with pytest.raises(TypeError):
        SL.refresh_nvr(net, "deep", "", [])


def test_shared_blocks_and_containers(capsys):
    GNV.pc.set_extra_verbose(True)
    layer, seq = NVRLayer(), nn.Sequential(NVRLayer())
    net = Holder(a=layer, b=layer, s=seq, t=seq)
    SL.refresh_net(net)
    assert type(net.a) is type(net.b) is PY_THREAD and net.a is not net.b
    assert net.a.layer_array is net.b.layer_array is layer.layer_array
    assert net.s is net.t is seq and type(seq[0]) is PY_THREAD
    assert capsys.readouterr().out.count(TWICE) == 1  # the second walk of the container


def test_skipped_members(capsys):
    GNV.pc.set_extra_verbose(True)
    GNV.pc.set_module_names_to_not_save([".a", ".h.x"])
    net = Holder(a=NVRLayer(), b=NVRLayer(), c=NVRLayer(), h=Holder(x=NVRLayer(), y=NVRLayer()),
                 device=NVRLayer(), dtype=nn.Sequential(NVRLayer()))
    SL.refresh_nvr(net, 0, "", [".b"])
    assert kinds(net) == {"a": "NVRLayer", "b": "NVRLayer", "c": "NVRModulePyThread",
                          "h.x": "NVRLayer", "h.y": "NVRModulePyThread", "device": "NVRLayer",
                          "dtype.0": "NVRLayer"}
    out = capsys.readouterr().out.splitlines()
    assert [line for line in out if line.startswith("Skipping")] == ["Skipping .b during save"]


def test_top_level_member_walked_once_under_refresh_net(capsys):
    """refresh_net makes its own path list: a top-level name that __dir__ gives twice is
    walked the first time and skipped, as already listed, the second."""
    GNV.pc.set_extra_verbose(True)

    class Twice(Holder):
        def __dir__(self):
            return ["a", "a"]

    net = Twice(a=Holder(x=NVRLayer()))
    SL.refresh_net(net)
    assert kinds(net) == {"a.x": "NVRModulePyThread"}
    out = capsys.readouterr().out.splitlines()
    assert [line for line in out if line.startswith("Skipping")] == ["Skipping .a during save"]


def test_tracked_classes_and_module_type(monkeypatch):
    GNV.pc.set_modules_to_track([Holder, NVRLayer, nn.Sequential])
    block = NVRLayer()
    block.layer_array.append(NVRLayer())
    net = nn.Module()  # the root's class is not tracked
    net.kept, net.block, net.seq = Holder(x=NVRLayer()), block, nn.Sequential(NVRLayer())
    SL.refresh_net(net)
    # a tracked module is left whole, though its parent replaces it when it is a block; a
    # tracked container is walked all the same
    assert kinds(net) == {"kept.x": "NVRLayer", "block": "NVRModulePyThread",
                          "block.layer_array.2": "NVRLayer", "seq.0": "NVRModulePyThread"}

    class Other(nn.Module):
        def __init__(self, module):
            super().__init__()
            self.source = [module]

    GNV.pc.reset()
    monkeypatch.setattr(SL, "ModuleType", Other)
    layer, done = NVRLayer(), Other(None)
    assert type(SL.make_module(layer)) is Other
    done.inner = nn.Sequential(NVRLayer())
    net = Holder(a=layer, done=done, old=PY_THREAD(NVRLayer()))
    net.old.layer_array[0] = NVRLayer()
    SL.refresh_net(net)
    assert type(net.a) is Other and net.a.source == [layer]
    assert type(done.inner[0]).__name__ == "NVRLayer"  # the exact ModuleType counts as rebuilt
    assert type(net.old.layer_array[0]) is Other


def test_plain_list_members_and_back_references():
    root = NVRLayer()
    del root.layer_array
    root.layer_array = entries = [nn.Linear(3, 4), NVRLayer(), nn.Sequential(NVRLayer()), "text"]
    entries[0].__dict__["parent"] = root  # a back-reference to an ancestor
    paths = []
    assert SL.refresh_nvr(root, 0, "", paths).layer_array is entries
    assert [type(e).__name__ for e in entries] == [
        "Linear", "NVRModulePyThread", "Sequential", "str"]
    assert type(entries[2][0]) is PY_THREAD
    assert paths[:4] == [".layer_array", ".layer_array[0]", ".layer_array[0].parent",
                         ".layer_array[1]"]


class RecordingConfig:
    def __init__(self, real):
        self.real, self.calls = real, []

    def __getattr__(self, name):
        self.calls.append(name)
        return getattr(self.real, name)


class Few(nn.Module):
    members = []

    def __dir__(self):
        return self.members

    @property
    def broken(self):
        raise RuntimeError("unreadable")


@pytest.mark.parametrize("path, per_member", [("", 2), (".few", 1)])
def test_configuration_reads(monkeypatch, path, per_member):
    net = Few()
    net.members, net.child, net.note = ["broken", "device", "child", "note"], Few(), "text"
    monkeypatch.setattr(GNV, "pc", RecordingConfig(GNV.pc))
    SL.refresh_nvr(net, 0, path, [])
    visit = ["get_extra_verbose", "get_modules_to_track"]
    assert GNV.pc.calls == (visit + ["get_module_names_to_not_save"] * per_member) * 2


def test_real_network_is_cleaned():
    from sorvith import blockwise_svp as BSV

    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.blocks = nn.Sequential(nn.Linear(6, 8), nn.ReLU(), nn.Linear(8, 8))
            self.gru = nn.GRU(8, 5)
            self.head = nn.Linear(5, 2)

        def forward(self, x):
            out, _ = self.gru(self.blocks(x).unsqueeze(0))
            return self.head(out[0])

    torch.manual_seed(0)
    GNV.pc.set_modules_to_convert([nn.Linear, nn.GRU])
    net = UNV.add_dendrites(UNV.add_dendrites(UNV.initialize_nvr(Net())))
    x = torch.randn(4, 6)
    cleaned = SL.refresh_net(BSV.blockwise_network(copy.deepcopy(net)))
    found = [type(m).__name__ for m in cleaned.modules()]
    assert "NVRLayer" not in found and found.count("NVRModulePyThread") == 4
    with torch.no_grad():
        assert torch.allclose(cleaned(x), net(x), atol=1e-6)
