"""Saving a cleaned network to disk and reading it back (sorvith.utils_svp)."""

import os
import types
import warnings

import pytest
import safetensors.torch
import torch
import torch.nn as nn

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import utils_svp

# Storage mode -> (get_using_safe_tensors, get_weight_tying_experimental)
MODES = {"safetensors": (True, False), "weight_tying": (True, True), "torch": (False, False)}


@pytest.fixture(autouse=True)
def no_rank(monkeypatch):
    monkeypatch.delenv("RANK", raising=False)


def use_mode(mode):
    safe, tying = MODES[mode]
    GNV.pc.set_using_safe_tensors(safe)
    GNV.pc.set_weight_tying_experimental(tying)


class Small(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 3)
        self.seq = nn.Sequential(nn.Linear(3, 2))

    def forward(self, x):
        return self.seq(torch.tanh(self.fc(x)))


def small(seed=0, dendrites=1):
    torch.manual_seed(seed)
    net = UNV.initialize_nvr(Small())
    for _ in range(dendrites):
        UNV.add_dendrites(net)
    return net.eval()


X = torch.randn(6, 4, generator=torch.Generator().manual_seed(3))


class Recorder:
    """Stands in for GNV.pc and records the getters called on it."""

    def __init__(self, pc):
        self.pc, self.calls = pc, []

    def __getattr__(self, name):
        def getter():
            self.calls.append(name)
            return getattr(self.pc, name)()
        return getter


@pytest.mark.parametrize("rank, writes", [(None, True), ("0", True), ("1", False), ("7", False)])
def test_only_rank_zero_writes(tmp_path, monkeypatch, rank, writes):
    if rank is not None:
        monkeypatch.setenv("RANK", rank)
    folder = tmp_path / "outer" / "inner"
    assert utils_svp.sv_save_net(small(), str(folder), "net") is None
    assert folder.is_dir() == writes
    assert (folder / "net_nvr.pt").is_file() == writes


@pytest.mark.parametrize("mode", MODES)
def test_file_holds_the_cleaned_network_in_the_chosen_mode(tmp_path, monkeypatch, mode):
    use_mode(mode)
    net = small()
    recorder = Recorder(GNV.pc)
    monkeypatch.setattr(utils_svp, "GNV", types.SimpleNamespace(pc=recorder))
    utils_svp.sv_save_net(net, str(tmp_path) + "/", "net")  # the doubled "/" names the same file
    assert os.listdir(tmp_path) == ["net_nvr.pt"]
    assert recorder.calls == ["get_using_safe_tensors"] + (
        ["get_weight_tying_experimental"] if MODES[mode][0] else [])
    assert hasattr(net, "tracker_string")

    path = str(tmp_path / "net_nvr.pt")
    expected = utils_svp.clean_net(UNV.deep_copy_nvr(net)).state_dict().keys()
    if mode == "torch":
        whole = torch.load(path, weights_only=False)
        assert type(whole) is Small and not hasattr(whole, "tracker_string")
        assert whole.state_dict().keys() == expected
    else:
        saved = safetensors.torch.load_file(path)
        assert saved.keys() == expected
        assert all(t.is_contiguous() for t in saved.values())


def writer_failing_halfway(failure):
    def write(*args):
        with open(args[-1], "wb") as f:
            f.write(b"half a file")
        raise failure
    return write


def break_writer(monkeypatch, mode, failure):
    broken = writer_failing_halfway(failure)
    if mode == "torch":
        monkeypatch.setattr(utils_svp, "torch", types.SimpleNamespace(save=broken))
    elif mode == "weight_tying":
        monkeypatch.setattr(UNV, "save_model_with_weight_tying", broken)
    else:
        monkeypatch.setattr(utils_svp, "save_file", broken)


@pytest.mark.parametrize("mode", MODES)
def test_failed_write_loses_nothing(tmp_path, monkeypatch, mode):
    use_mode(mode)
    path = tmp_path / "net_nvr.pt"
    path.write_bytes(b"an older file")
    utils_svp.sv_save_net(small(), str(tmp_path), "net")
    written = path.read_bytes()
    assert written != b"an older file" and os.listdir(tmp_path) == ["net_nvr.pt"]

    failure = OSError("disk full")
    break_writer(monkeypatch, mode, failure)
    with pytest.raises(OSError) as raised:
        utils_svp.sv_save_net(small(seed=1), str(tmp_path), "net")
    assert raised.value is failure
    assert path.read_bytes() == written
    assert os.listdir(tmp_path) == ["net_nvr.pt"]

    # Without an earlier file, the writer's partial file does not pass for a saved network.
    path.unlink()
    with pytest.raises(OSError):
        utils_svp.sv_save_net(small(seed=1), str(tmp_path), "net")
    assert os.listdir(tmp_path) == []


def test_bad_input_writes_nothing(tmp_path, monkeypatch):
    net = small()
    monkeypatch.setenv("RANK", "first")
    with pytest.raises(ValueError, match="first"):
        utils_svp.sv_save_net(net, str(tmp_path / "a"), "net")
    monkeypatch.delenv("RANK")
    assert os.listdir(tmp_path) == []

    blocker = tmp_path / "blocker"
    blocker.write_bytes(b"keep")
    with pytest.raises(FileExistsError):
        utils_svp.sv_save_net(net, str(blocker), "net")
    assert blocker.read_bytes() == b"keep"

    del net.tracker_string
    with pytest.raises(AttributeError, match="tracker_string"):
        utils_svp.sv_save_net(net, str(tmp_path / "b"), "net")
    assert os.listdir(tmp_path / "b") == []


@pytest.mark.parametrize("mode", MODES)
def test_load_net_reads_back_what_was_saved(tmp_path, mode):
    use_mode(mode)
    net = small()
    utils_svp.sv_save_net(net, str(tmp_path), "net")
    target = utils_svp.clean_net(small(seed=5))
    filters = list(warnings.filters)
    assert utils_svp.load_net(target, str(tmp_path), "net_nvr") is target
    assert warnings.filters == filters
    with torch.no_grad():
        torch.testing.assert_close(target(X), net(X), rtol=0, atol=0)


def reader_error(mode, target, path):
    """What the mode's own reader raises for this file."""
    try:
        if mode == "weight_tying":
            UNV.load_model_with_weight_tying(target, path)
        elif mode == "safetensors":
            safetensors.torch.load_file(path)
        else:
            torch.load(path, map_location=torch.device("cpu"))
    except Exception as error:
        return error
    raise AssertionError("the reader accepted %s" % path)


@pytest.mark.parametrize("written, read, damage", [
    ("safetensors", "safetensors", "truncated"),
    ("weight_tying", "weight_tying", "corrupted"),
    ("torch", "torch", "truncated"),
    ("torch", "torch", "corrupted"),
    ("torch", "safetensors", None),
    ("torch", "weight_tying", None),
    ("safetensors", "torch", None),
    ("safetensors", "safetensors", "missing"),
    ("torch", "torch", "missing"),
])
def test_unreadable_file_gives_the_readers_error(tmp_path, written, read, damage):
    use_mode(written)
    utils_svp.sv_save_net(small(), str(tmp_path), "net")
    path = tmp_path / "net_nvr.pt"
    data = path.read_bytes()
    if damage == "truncated":
        path.write_bytes(data[: len(data) // 2])
    elif damage == "corrupted":
        path.write_bytes(b"\xff" * 64 + data[64:])
    elif damage == "missing":
        path.unlink()
    use_mode(read)
    target = utils_svp.clean_net(small(seed=5))
    before = {k: v.clone() for k, v in target.state_dict().items()}
    expected = reader_error(read, target, str(path))
    filters = list(warnings.filters)
    with pytest.raises(type(expected)) as raised:
        utils_svp.load_net(target, str(tmp_path), "net_nvr")
    assert str(raised.value) == str(expected)
    assert warnings.filters == filters
    assert all(torch.equal(v, before[k]) for k, v in target.state_dict().items())


def test_torch_mode_retries_without_weights_only(tmp_path, monkeypatch):
    use_mode("torch")
    net = small()
    utils_svp.sv_save_net(net, str(tmp_path), "net")
    real_load = torch.load

    def older_load(path, map_location, **options):
        if options:
            raise TypeError("load() got an unexpected keyword argument 'weights_only'")
        warnings.warn("an older reader", UserWarning)
        return real_load(path, map_location=map_location, weights_only=False)

    monkeypatch.setattr(utils_svp, "torch", types.SimpleNamespace(load=older_load, device=torch.device))
    target = utils_svp.clean_net(small(seed=5))
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        utils_svp.load_net(target, str(tmp_path), "net_nvr")
        assert warnings.filters == filters
    assert shown == []
    with torch.no_grad():
        torch.testing.assert_close(target(X), net(X), rtol=0, atol=0)

    def failing_load(path, map_location, **options):
        raise (KeyError if options else ValueError)("attempt %d" % (2 - len(options)))

    monkeypatch.setattr(utils_svp, "torch", types.SimpleNamespace(load=failing_load, device=torch.device))
    filters = list(warnings.filters)
    with pytest.raises(ValueError, match="attempt 2") as raised:
        utils_svp.load_net(target, str(tmp_path), "net_nvr")
    assert isinstance(raised.value.__context__, KeyError)
    assert warnings.filters == filters


def test_keys_that_do_not_match_the_network(tmp_path):
    utils_svp.sv_save_net(small(dendrites=2), str(tmp_path), "net")
    saved = (tmp_path / "net_nvr.pt").read_bytes()
    with pytest.raises(RuntimeError, match="size mismatch for fc.skip_weights"):
        utils_svp.load_net(utils_svp.clean_net(small(dendrites=1)), str(tmp_path), "net_nvr")
    assert (tmp_path / "net_nvr.pt").read_bytes() == saved

