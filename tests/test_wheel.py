"""The wheel that `make wheel` builds, as a package index and a pip user see it: its tag and
metadata, and a save and a load with the package installed from it outside the source tree."""

import email
import glob
import os
import subprocess
import sys
import zipfile

import pytest
from packaging.requirements import Requirement

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WHEELS = glob.glob(os.path.join(ROOT, "build", "wheel", "sorvith-*.whl"))

pytestmark = pytest.mark.skipif(len(WHEELS) != 1, reason="no single wheel in build/wheel: run make wheel")

SAVE_AND_LOAD = """
import os, sys, torch, torch.nn as nn
import sorvith.network_svp as network_svp, sorvith.utils_svp as utils_svp
from nevrane import globals_nevrane as GNV, utils_nevrane as UNV

class Net(nn.Module):
    def __init__(self):
        super().__init__()
        self.hidden, self.head = nn.Linear(6, 8), nn.Linear(8, 3)
    def forward(self, x):
        return self.head(torch.relu(self.hidden(x)))

assert network_svp.__file__.startswith(sys.argv[1]), network_svp.__file__
GNV.pc.set_modules_to_convert([nn.Linear])
torch.manual_seed(0)
net = UNV.initialize_nvr(Net())
UNV.add_dendrites(net)
utils_svp.sv_save_net(net, "saved", "net")
loaded = network_svp.load_nvr_model(Net(), "saved/net_nvr.pt")
x = torch.randn(5, 6)
with torch.no_grad():
    torch.testing.assert_close(loaded(x), net(x))
print("loaded outputs match")
"""


def test_wheel_is_one_an_index_accepts():
    with zipfile.ZipFile(WHEELS[0]) as wheel:
        names = wheel.namelist()
        meta = email.message_from_bytes(wheel.read("sorvith-0.1.0.dist-info/METADATA"))
    assert "-manylinux_" in os.path.basename(WHEELS[0])
    # The companion library is the user's choice: only published packages are required.
    required = [Requirement(r) for r in meta.get_all("Requires-Dist")]
    assert sorted(r.name for r in required if not r.marker) == ["numpy", "safetensors", "torch"]
    classifiers = meta.get_all("Classifier") or []
    assert "Operating System :: POSIX :: Linux" in classifiers
    assert any(c.startswith("Topic :: ") for c in classifiers)
    assert "Programming Language :: Python :: 3.10" in classifiers
    assert meta["Keywords"]
    assert sorted(n for n in names if n.endswith((".pyi", "py.typed"))) == [
        "sorvith/blockwise_svp.pyi", "sorvith/network_svp.pyi", "sorvith/py.typed",
        "sorvith/slim_load.pyi", "sorvith/utils_svp.pyi"]
    assert not [n for n in names if n.endswith((".cpp", ".h"))]


def test_installed_wheel_saves_and_loads_outside_the_source_tree(tmp_path):
    site = tmp_path / "site"
    # --target beside the environment that has torch: nothing is downloaded.
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-index",
                    "--target", str(site), WHEELS[0]], check=True, capture_output=True, timeout=300)
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, PYTHONPATH=str(site))
    result = subprocess.run([sys.executable, "-c", SAVE_AND_LOAD, str(site)], cwd=work, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["starting main call", "loaded outputs match"]
    assert os.listdir(work / "saved") == ["net_nvr.pt"]
