"""Deploying networks of the three block kinds (blockwise NVRLayer, cleaned NVRModulePyThread,
loaded NVROptimizedModule), with and without processors: torch.export with a dynamic batch,
ONNX run by onnxruntime, the meta device, torch.compile of the network and of the exported
program and torch.jit.trace; and where the view shape of the weight rows comes from while tracing."""

import contextlib
import copy
import os
import pickle
import re

import onnxruntime
import pytest
import torch
import torch.nn as nn
from torch._subclasses.fake_tensor import FakeTensorMode
from torch.export import Dim

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import blockwise_svp, network_svp, slim_load, utils_svp

from support import dendritic_net as DN

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
KINDS = ("blockwise", "cleaned", "loaded")
BATCH = ({0: Dim("batch")},)


class Plain(nn.Module):
    """Linear neurons only: no processors."""

    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(6, 8)
        self.head = nn.Linear(8, 3)

    def forward(self, x):
        return self.head(torch.relu(self.fc(x)))


def trained(name):
    """(trained dendritic network, its plain architecture, two inputs of different batch)."""
    if name == "processors":  # a GRU neuron with processors, Conv2d, a tracked LayerNorm
        return DN.trained(), DN.MixedNet, DN.inputs(1, batch=5), DN.inputs(2, batch=9)
    GNV.pc.set_modules_to_convert([nn.Linear])
    torch.manual_seed(0)
    net = UNV.initialize_nvr(Plain())
    UNV.add_dendrites(net)
    UNV.add_dendrites(net)
    with torch.no_grad():
        for p in net.parameters():
            p.add_(0.3 * torch.randn_like(p))
    return net.eval(), Plain, torch.randn(5, 6), torch.randn(9, 6)


def deployed(name, kind, folder):
    net, architecture, x, x_other = trained(name)
    if kind == "blockwise":
        model = blockwise_svp.blockwise_network(UNV.deep_copy_nvr(net))
    elif kind == "cleaned":
        model = utils_svp.clean_net(UNV.deep_copy_nvr(net))
    else:
        utils_svp.sv_save_net(net, str(folder), "net")
        model = network_svp.load_nvr_model(architecture(), str(folder / "net_nvr.pt"))
    return model.eval(), x, x_other


class Case:
    """A deployed network, a copy of it that never ran, its eager outputs, and its exported
    program (made once, by the first test that needs it)."""

    def __init__(self, model, x, x_other):
        self.model, self.x, self.x_other = model, x, x_other
        self.never_ran = copy.deepcopy(model)
        with torch.no_grad():
            self.want, self.want_other = model(x), model(x_other)
        self._program = None

    def program(self):
        if self._program is None:
            self._program = torch.export.export(self.model, (self.x,), dynamic_shapes=BATCH)
        return self._program


@pytest.fixture(scope="module", params=[(n, k) for n in ("plain", "processors") for k in KINDS],
                ids=lambda p: "-".join(p))
def case(request, tmp_path_factory):
    name, kind = request.param
    if name == "processors":
        DN.configure()
    try:
        return Case(*deployed(name, kind, tmp_path_factory.mktemp(kind)))
    finally:
        GNV.pc.reset()


@pytest.fixture
def threads_off():
    yield
    slim_load.doing_threading = network_svp.doing_threading = False


EAGER_ROUTES = {  # each makes a callable from a case; the exported program at two batch sizes
    "export": lambda case: case.program().module(),
    "compiled exported program": lambda case: torch.compile(case.program().module()),
    # dynamo leaves each block's forward to run eagerly, reached through its class's bound method
    "compiled network": lambda case: torch.compile(case.model),
    "jit.trace": lambda case: torch.jit.trace(case.model, (case.x,), check_trace=False),
}


@pytest.mark.parametrize("route", EAGER_ROUTES)
def test_deployed_network_gives_the_eager_outputs(case, route):
    try:
        with torch.no_grad() if route == "compiled network" else contextlib.nullcontext():
            run = EAGER_ROUTES[route](case)
            torch.testing.assert_close(run(case.x_other), case.want_other)
            if route == "export":
                torch.testing.assert_close(run(case.x), case.want)
    finally:
        torch._dynamo.reset()


def test_onnx_model_runs_in_onnxruntime(case, tmp_path):
    path = str(tmp_path / "net.onnx")
    torch.onnx.export(case.model, (case.x,), path, dynamo=True, dynamic_shapes=BATCH,
                      verbose=False)
    session = onnxruntime.InferenceSession(path)
    (got,) = session.run(None, {session.get_inputs()[0].name: case.x_other.numpy()})
    torch.testing.assert_close(torch.from_numpy(got), case.want_other, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("route", ["deep copy", "pickled", "never ran"])
def test_meta_device_gives_the_output_shapes_and_dtypes(case, route):
    if route == "never ran":
        model = copy.deepcopy(case.never_ran)
    elif route == "pickled":  # a whole network read back, as torch.load of a saved file does
        model = pickle.loads(pickle.dumps(case.model))
    else:
        model = copy.deepcopy(case.model)
    got = model.to("meta")(case.x_other.to("meta"))
    assert (got.device.type, got.shape, got.dtype) == ("meta", case.want_other.shape,
                                                         case.want_other.dtype)


@pytest.mark.parametrize("kind", ["cleaned", "loaded"])
def test_threaded_mode_traces_the_sequential_graph(kind, tmp_path, threads_off, monkeypatch):
    model, x, x_other = deployed("plain", kind, tmp_path)
    made = []
    monkeypatch.setattr(slim_load, "Thread", lambda **kw: made.append(kw))
    monkeypatch.setattr(network_svp, "Thread", lambda **kw: made.append(kw))
    sequential = torch.export.export(model, (x,), dynamic_shapes=BATCH)
    slim_load.doing_threading = network_svp.doing_threading = True
    threaded = torch.export.export(model, (x,), dynamic_shapes=BATCH)
    traced = torch.jit.trace(model, (x,), check_trace=False)
    assert threaded.graph_module.code == sequential.graph_module.code and made == []
    slim_load.doing_threading = network_svp.doing_threading = False
    with torch.no_grad():
        torch.testing.assert_close(traced(x_other), model(x_other))


def block_and_input(kind, tmp_path):
    """The first block of a plain network (Linear(6, 8), 3 positions) and an input whose batch
    equals the width, so that view_tuple [-1, 1] is as valid as [1, -1] and gives other
    values."""
    model, _, _ = deployed("plain", kind, tmp_path)
    return model.fc, torch.randn(8, 6)


def set_view(block, how, values):
    if how == "in place":
        block.view_tuple.copy_(torch.tensor(values))
    elif how == "assigned":
        block.view_tuple = torch.tensor(values)
    elif how == "through .data":  # a write that moves no version counter
        block.view_tuple.data.copy_(torch.tensor(values))
    else:
        block.load_state_dict({**block.state_dict(), "view_tuple": torch.tensor(values)})


@pytest.mark.parametrize("how", ["in place", "assigned", "state dict", "through .data"])
@pytest.mark.parametrize("kind", KINDS)
def test_traces_use_the_current_view_tuple(kind, how, tmp_path):
    block, x = block_and_input(kind, tmp_path)
    with torch.no_grad():
        before = block(x)  # the block has read [1, -1]
        set_view(block, how, [-1, 1])
        after = block(x)
        set_view(block, how, [1, -1])
        block(x)
        set_view(block, how, [-1, 1])  # changed again since the last call
    assert not torch.allclose(before, after)
    holder = nn.Sequential(block)  # export reads the code object of the root's forward
    torch.testing.assert_close(torch.export.export(holder, (x,)).module()(x), after)
    torch.testing.assert_close(torch.jit.trace(block, (x,), check_trace=False)(x), after)


def test_an_unknown_view_shape_is_an_error_that_says_so(tmp_path):
    block, x = block_and_input("cleaned", tmp_path)
    layer = copy.deepcopy(block).to("meta")
    layer.view_tuple = torch.empty(3, dtype=torch.long, device="meta")  # outputs are 2-D
    with pytest.raises(RuntimeError, match="NVRModulePyThread.view_tuple is on the meta device"):
        slim_load.NVRModulePyThread(layer)(x.to("meta"))  # a block that never saw values
    with FakeTensorMode(allow_non_fake_inputs=True) as mode:
        fake_x = mode.from_tensor(x)
        block.view_tuple = torch.empty(2, dtype=torch.long)  # a fake made from no tensor
        with pytest.raises(RuntimeError, match="NVRModulePyThread.view_tuple is a fake tensor"):
            block(fake_x)


def readme_snippets():
    text = open(README).read()
    section = text.split("\n## Deploying\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_readme_deploying_snippets_run(tmp_path, monkeypatch):
    model, x, _ = deployed("plain", "cleaned", tmp_path)
    monkeypatch.chdir(tmp_path)
    snippets = readme_snippets()
    assert len(snippets) == 4  # the network and batch, then export, ONNX, compile
    namespace = {"net": model, "x": x, "torch": torch}
    for snippet in snippets[1:]:  # with this test's network in place of the README's
        exec(compile(snippet, README, "exec"), namespace)
    with torch.no_grad():
        torch.testing.assert_close(torch.as_tensor(namespace["y"]), model(x),
                                   rtol=1e-4, atol=1e-5)
