"""The package as a type checker sees it: the shipped stubs against the built modules, and
mypy on a training and inference script (which must pass) and on misuses (which must not).

Against an installed package (CI installs it before the tests) mypy reads the stubs that the
wheel put beside the extension modules. Against a staged development build (``make
dev-test``), which holds only the extension modules, it reads the stubs from ``src/``.
Both mypy runs share one cache, so torch is analysed once.
"""

import importlib.util
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

MODULES = ("network_svp", "blockwise_svp", "slim_load", "utils_svp")
REPO = Path(__file__).resolve().parent.parent

# nn.Module.type() is a method; the tracked module's instances hide it with the string
# "tracked_module", which a stub can only declare as an attribute.
STUBTEST_ALLOWLIST = "sorvith.network_svp.NVRTrackedModule.type\n"

MYPY_CONFIG = """\
[mypy]
strict = True
warn_unreachable = True
cache_dir = {cache}

# The training library ships no type information.
[mypy-nevrane.*]
ignore_missing_imports = True
"""

# Written the way a user's training script and inference script use the package. Every
# call must type-check under --strict and, run as a script, work.
GOOD_SCRIPT = '''\
import sys
from pathlib import Path
from typing import Any

import torch
import torch.nn as nn
from typing_extensions import assert_type

from nevrane import globals_nevrane as GNV
from nevrane import utils_nevrane as UNV
from sorvith import blockwise_svp, network_svp, slim_load, utils_svp


class Net(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.body = nn.Sequential(nn.Linear(6, 8), nn.ReLU())
        self.norm = nn.LayerNorm(8)
        self.head = nn.Linear(8, 3)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out: torch.Tensor = self.head(self.norm(self.body(x)))
        return out


class MyBlock(slim_load.NVRModulePyThread):
    """A block class of the user's own for the cleaned form."""


def configure() -> None:
    GNV.pc.reset()
    GNV.pc.set_modules_to_convert([nn.Linear])
    GNV.pc.set_modules_to_track([nn.LayerNorm])
    GNV.pc.set_using_safe_tensors(True)


def grown() -> Any:
    net = UNV.initialize_nvr(Net())
    UNV.add_dendrites(net)
    return net


def train(folder: str) -> None:
    net = grown()
    opt = torch.optim.SGD(net.parameters(), lr=0.1)
    opt.zero_grad()
    net(torch.randn(4, 6)).square().mean().backward()
    opt.step()
    assert_type(utils_svp.check_requires_grad(net), bool)
    utils_svp.debug_print_grad_modules(net, 0, "net")
    GNV.pc.set_count_training_params(True)
    training_count = utils_svp.sv_count_params(net)
    GNV.pc.set_count_training_params(False)
    cleaned_count = utils_svp.sv_count_params(net=net)
    assert_type(cleaned_count, int)
    print("parameters:", training_count, cleaned_count)
    utils_svp.sv_save_net(net, folder, "model")
    utils_svp.sv_save_net(net=net, folder=folder, name="model")
    cleaned: nn.Module = utils_svp.clean_net(UNV.deep_copy_nvr(net))
    cleaned.eval()


def infer(folder: str) -> None:
    x = torch.randn(2, 6)
    net = network_svp.load_nvr_model(Net(), Path(folder) / "model_nvr.pt")
    assert_type(net, nn.Module)
    net = network_svp.load_nvr_model(net=Net(), filename=folder + "/model_nvr.pt")
    blocks = network_svp.get_nvr_modules(net, 0)
    assert_type(blocks, list[network_svp.NVROptimizedModule])
    sizes: list[int] = [len(block.layer_array) for block in blocks]
    print("blocks:", sizes, [block.name for block in blocks])
    network_svp.doing_threading = True
    with torch.no_grad():
        net(x)
    network_svp.doing_threading = False

    slim_load.ModuleType = MyBlock
    reloaded = utils_svp.load_net(utils_svp.clean_net(grown()), Path(folder), "model_nvr")
    slim_load.ModuleType = slim_load.NVRModulePyThread
    slim_load.doing_threading = True
    with torch.no_grad():
        reloaded(x)
    slim_load.doing_threading = False


def pieces() -> None:
    single = network_svp.convert_network(nn.Linear(3, 3), layer_name="fc")
    assert isinstance(single, network_svp.NVROptimizedModule)
    single.simulate_cycles(2, 10)
    tracked = network_svp.NVRTrackedModule(start_module=nn.LayerNorm(3), name="norm")
    assert_type(tracked.type, str)
    assert_type(str(tracked), str)
    tracked.main_module.eval()

    seq = nn.Sequential(nn.Linear(3, 3))
    assert_type(blockwise_svp.blockwise_network(seq), nn.Sequential)
    layer = blockwise_svp.NVRLayer(nn.Sequential(nn.Linear(3, 4), nn.Linear(3, 4)), [None, None],
                                   [torch.randn(1, 4)], [], torch.tensor(1), torch.tensor(2),
                                   [1, -1])
    assert_type(layer.skip_weights, torch.Tensor)
    block = slim_load.make_module(layer)
    assert_type(slim_load.NVRModulePyThread(original_module=layer).view_tuple, torch.Tensor)
    rebuilt = slim_load.refresh_net(nn.Sequential(block))
    rebuilt(torch.randn(2, 3))

    utils_svp.add_future_warning()
    utils_svp.remove_future_warning()


if __name__ == "__main__":
    configure()
    train(sys.argv[1])
    infer(sys.argv[1])
    pieces()
    print("script ok")
'''

# Misuses that mypy must reject: each marked line, with the error code it must get, and no
# other line.
BAD_SCRIPT = '''\
from pathlib import Path

import torch
import torch.nn as nn

from sorvith import blockwise_svp, network_svp, slim_load, utils_svp

net = nn.Sequential(nn.Linear(2, 2))
utils_svp.sv_save_net(net, "checkpoints")  # E: call-arg
utils_svp.load_net(net, b"checkpoints", "model_nvr")  # E: arg-type
count: str = utils_svp.sv_count_params(net)  # E: assignment
utils_svp.clean_net(net, True)  # E: call-arg
network_svp.load_nvr_model(net)  # E: call-arg
network_svp.get_nvr_modules(net)  # E: call-arg
network_svp.convert_network(net, layer_name=3)  # E: arg-type
network_svp.NVROptimizedModule(nn.Linear(2, 2))  # E: call-arg
network_svp.NVRTrackedModule(nn.Linear(2, 2))  # E: call-arg
blockwise_svp.NVRLayer(nn.Sequential(), [], [], [], torch.tensor(1), torch.tensor(0))  # E: call-arg
slim_load.doing_threading = "yes"  # E: assignment
slim_load.ModuleType = 3  # E: assignment
slim_load.NVRModulePyThread()  # E: call-arg
'''


def package_folder():
    """The folder of the sorvith extension modules that this test run imports."""
    spec = importlib.util.find_spec("sorvith.network_svp")
    assert spec is not None and spec.origin is not None, "sorvith.network_svp is not importable"
    return Path(spec.origin).resolve().parent


def is_installed(folder):
    installed = {Path(sysconfig.get_paths()[key]).resolve() for key in ("purelib", "platlib")}
    return folder.parent in installed


@pytest.fixture(scope="module")
def checker(tmp_path_factory):
    """Where the scripts go, and the environment under which mypy sees the stubs of the
    package that this run tests."""
    work = tmp_path_factory.mktemp("typing")
    folder = package_folder()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    if not is_installed(folder):
        env["PYTHONPATH"] = str(folder.parent)  # the staged build, for the runtime imports
        env["MYPYPATH"] = str(REPO / "src")  # its stubs
    (work / "mypy.ini").write_text(MYPY_CONFIG.format(cache=work / "cache"))
    return work, env


def run(args, work, env, timeout=600):
    return subprocess.run([sys.executable, *args], cwd=work, env=env, capture_output=True,
                          text=True, timeout=timeout)


def test_installed_package_ships_stubs():
    folder = package_folder()
    if not is_installed(folder):
        pytest.skip("staged development build: its stubs are read from src/")
    missing = [name for name in [m + ".pyi" for m in MODULES] + ["py.typed"]
               if not (folder / name).is_file()]
    assert not missing, "not installed beside the extension modules: %s" % missing


def test_stubs_match_the_built_modules(checker):
    """Names, parameters, defaults and classes of the stubs against the imported modules."""
    work, env = checker
    (work / "allowlist.txt").write_text(STUBTEST_ALLOWLIST)
    result = run(["-m", "mypy.stubtest", "--mypy-config-file", "mypy.ini",
                  "--allowlist", "allowlist.txt", *["sorvith." + m for m in MODULES]], work, env)
    assert result.returncode == 0, result.stdout + result.stderr


def test_scripts_type_check(checker):
    """One mypy run over both scripts: the user's script is clean, every misuse is caught."""
    work, env = checker
    (work / "user_script.py").write_text(GOOD_SCRIPT)
    (work / "misuse.py").write_text(BAD_SCRIPT)
    result = run(["-m", "mypy", "--config-file", "mypy.ini", "user_script.py", "misuse.py"],
                 work, env)
    output = result.stdout + result.stderr
    errors = {}
    for match in re.finditer(r"^(\S+\.py):(\d+): error: .*\[([\w-]+)\]$", output, re.M):
        errors.setdefault(match.group(1), {})[int(match.group(2))] = match.group(3)
    assert "user_script.py" not in errors, output
    expected = {number: line.rsplit("# E: ", 1)[1]
                for number, line in enumerate(BAD_SCRIPT.splitlines(), start=1) if "# E: " in line}
    assert errors.get("misuse.py") == expected, output
    # Nothing else went wrong (an unreadable stub would show up here, not as a line error).
    assert re.search(r"^Found %d errors in 1 file \(checked 2 source files\)$" % len(expected),
                     output, re.M), output


def test_user_script_runs(checker):
    """The script that type-checks also works: the stubs promise nothing the modules refuse."""
    work, env = checker
    (work / "user_script.py").write_text(GOOD_SCRIPT)
    (work / "checkpoints").mkdir(exist_ok=True)
    result = run(["user_script.py", str(work / "checkpoints")], work, env, timeout=300)
    assert result.returncode == 0 and "script ok" in result.stdout, result.stdout + result.stderr
