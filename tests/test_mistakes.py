"""The mistakes a new user makes with the saving and loading calls: each raises (or warns) with
the type a caller may catch, says how to mend it, and writes or changes nothing on its way."""

import os
import pathlib
import pickle
import sys
import warnings

import pytest
import torch
import torch.nn as nn
from safetensors import SafetensorError

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import network_svp, utils_svp

NOTES = sys.version_info >= (3, 11)  # BaseException.add_note


class Classifier(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 6)
        self.norm = nn.LayerNorm(6)
        self.head = nn.Linear(6, 3)

    def forward(self, x):
        return self.head(self.norm(self.fc(x)))


def configure(convert=(nn.Linear,)):
    GNV.pc.set_modules_to_convert(list(convert))
    GNV.pc.set_modules_to_track([nn.LayerNorm])


def trained():
    configure()
    net = UNV.initialize_nvr(Classifier())
    UNV.add_dendrites(net)
    return net


@pytest.fixture
def saved(tmp_path, monkeypatch):
    """A folder holding the trained network in safetensors mode (net_nvr.pt) and in torch mode
    (pickled_nvr.pt); the trained network; the settings back at safetensors mode."""
    monkeypatch.delenv("RANK", raising=False)
    net = trained()
    utils_svp.sv_save_net(net, str(tmp_path), "net")
    GNV.pc.set_using_safe_tensors(False)
    utils_svp.sv_save_net(net, str(tmp_path), "pickled")
    GNV.pc.set_using_safe_tensors(True)
    return tmp_path, net


def cleaned(net):
    return utils_svp.clean_net(UNV.deep_copy_nvr(net))


# Each case: (given (folder, trained net), the set-up it makes -> (the network the call gets,
#             the call; None for load_net of LOAD_NET_FILES[case] into that network), the
#             exception or warning type, the words that name the fix). The notes of the readers'
#             own errors need 3.11.
MISTAKES = {
    "clean_net of None": (
        lambda folder, net: (None, lambda: utils_svp.clean_net(None)),
        TypeError, ["clean_net: net must be a torch.nn.Module", "not NoneType"]),
    "sv_count_params of a tensor": (
        lambda folder, net: (None, lambda: utils_svp.sv_count_params(torch.ones(2))),
        TypeError, ["sv_count_params: net must be a torch.nn.Module", "not Tensor"]),
    "sv_save_net of the class": (
        lambda folder, net: (None, lambda: utils_svp.sv_save_net(Classifier, str(folder), "x")),
        TypeError, ["sv_save_net: net must be a torch.nn.Module",
                    "the class Classifier itself; pass an instance of it, Classifier()"]),
    "sv_save_net of the class on another rank": (  # every rank raises alike
        lambda folder, net: (os.environ.__setitem__("RANK", "1"),
                             lambda: utils_svp.sv_save_net("net", str(folder), "x")),
        TypeError, ["sv_save_net: net must be a torch.nn.Module", "not the str 'net'"]),
    "load_nvr_model of the class name": (
        lambda folder, net: (None, lambda: network_svp.load_nvr_model(
            "Classifier", str(folder / "net_nvr.pt"))),
        TypeError, ["load_nvr_model: net must be a torch.nn.Module", "not the str 'Classifier'"]),
    "load_nvr_model under another configuration": (
        lambda folder, net: (
            configure(convert=(nn.Linear, nn.LayerNorm)),
            lambda: network_svp.load_nvr_model(Classifier(), str(folder / "net_nvr.pt"))),
        KeyError, ["'norm.num_cycles'", "net_nvr.pt holds no 'norm.num_cycles'",
                   "companion configuration", "set_modules_to_convert and "
                   "set_modules_to_track", "differs from the one the file was saved with",
                   "the file is of another network"]),
    "load_nvr_model of a torch-mode file": (
        lambda folder, net: (None, lambda: network_svp.load_nvr_model(
            Classifier(), str(folder / "pickled_nvr.pt"))),
        SafetensorError, ["pickled_nvr.pt is a zip archive, as torch.save writes",
                    "load_nvr_model reads safetensors files only", "utils_svp.load_net"]),
    "load_net of a safetensors file in torch mode": (
        lambda folder, net: (GNV.pc.set_using_safe_tensors(False) or cleaned(net),
                             None),
        pickle.UnpicklingError, ["net_nvr.pt is a safetensors file",
                    "load_net reads when GNV.pc.get_using_safe_tensors() is true"]),
    "load_net of a torch-mode file in safetensors mode": (
        lambda folder, net: (cleaned(net), None),
        SafetensorError, ["pickled_nvr.pt is a zip archive",
                    "load_net reads when GNV.pc.get_using_safe_tensors() is false"]),
    "sv_save_net with name ending in .pt": (
        lambda folder, net: (net, lambda: utils_svp.sv_save_net(net, folder, "classifier.pt")),
        UserWarning, ["name 'classifier.pt' ends in '.pt'",
                      "the file written is '%s/classifier.pt_nvr.pt'", "Pass name='classifier'"]),
    "sv_save_net with name ending in _nvr": (
        lambda folder, net: (net, lambda: utils_svp.sv_save_net(net, folder, "classifier_nvr")),
        UserWarning, ["name 'classifier_nvr' ends in '_nvr'",
                      "the file written is '%s/classifier_nvr_nvr.pt'",
                      "Pass name='classifier'", "load_net reads as name 'classifier_nvr'"]),
}
WRITES = {"sv_save_net with name ending in .pt": "classifier.pt_nvr.pt",
          "sv_save_net with name ending in _nvr": "classifier_nvr_nvr.pt"}
LOAD_NET_FILES = {"load_net of a safetensors file in torch mode": "net_nvr",
                  "load_net of a torch-mode file in safetensors mode": "pickled_nvr"}


def snapshot(folder, net):
    files = {p.name: p.read_bytes() for p in folder.iterdir()}
    state = None if not isinstance(net, nn.Module) else {
        k: v.clone() for k, v in net.state_dict().items()}
    modules = None if state is None else [(n, type(m)) for n, m in net.named_modules()]
    return files, state, modules


@pytest.mark.parametrize("case", MISTAKES)
def test_mistake_names_its_fix_and_changes_nothing(saved, case, monkeypatch):
    folder, net = saved
    prepare, kind, words = MISTAKES[case]
    monkeypatch.setenv("RANK", "0")  # restored after the test; a case may set it
    target, action = prepare(folder, net)
    if action is None:  # load_net into the cleaned target
        action = lambda: utils_svp.load_net(target, folder, LOAD_NET_FILES[case])  # noqa: E731
    files, state, modules = snapshot(folder, target)

    if issubclass(kind, Warning):
        with warnings.catch_warnings(record=True) as shown:
            warnings.simplefilter("always")
            action()
        (warning,) = [w for w in shown if issubclass(w.category, kind)]
        message, where = str(warning.message), warning.filename
        assert where == __file__  # it points at the caller's line
        assert set(p.name for p in folder.iterdir()) - set(files) == {WRITES[case]}
        words = [w % folder if "%s" in w else w for w in words]
    else:
        with pytest.raises(kind) as raised:
            action()
        error = raised.value
        notes = getattr(error, "__notes__", [])
        message = "\n".join([str(error), *notes])
        if kind is KeyError:
            assert error.args[0] == words[0].strip("'")  # `KeyError: 'norm.num_cycles'`
        elif kind not in (TypeError, KeyError) and not NOTES:
            words = []  # the reader's own error, left as it is
    for part in words:
        assert part in message, (part, message)

    after_files, after_state, after_modules = snapshot(folder, target)
    if not issubclass(kind, Warning):
        assert after_files == files
    if state is not None:  # the network given is as it was
        assert after_modules == modules
        assert all(torch.equal(v, after_state[k]) for k, v in state.items())


def test_paths_may_be_path_objects(saved):
    folder, net = saved
    utils_svp.sv_save_net(net, folder / "sub", pathlib.PurePath("classifier"))
    assert os.listdir(folder / "sub") == ["classifier_nvr.pt"]
    loaded = network_svp.load_nvr_model(Classifier(), folder / "sub" / "classifier_nvr.pt")
    target = utils_svp.load_net(cleaned(net), folder / "sub", pathlib.PurePath("classifier_nvr"))
    x = torch.randn(5, 4)
    with torch.no_grad():
        want = net.eval()(x)
        torch.testing.assert_close(loaded.eval()(x), want)
        torch.testing.assert_close(target.eval()(x), want)
