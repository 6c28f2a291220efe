"""Fixtures shared by the whole suite. Tests import the installed package, never src/."""

import numpy as np
import pytest
import torch

from nevrane import globals_nevrane as GNV


@pytest.fixture(autouse=True)
def fresh_config():
    """Every test starts from the companion's default settings, fixed seeds and the default
    dtype, and leaves them so."""
    GNV.pc.reset()
    torch.manual_seed(0)
    np.random.seed(0)
    dtype = torch.get_default_dtype()
    yield GNV.pc
    torch.set_default_dtype(dtype)
    GNV.pc.reset()


@pytest.fixture
def recorder(monkeypatch):
    """GNV.pc replaced by an object that logs each getter call and forwards it."""
    real, calls = GNV.pc, []

    class Recording:
        def __getattr__(self, name):
            return lambda *a: calls.append(name) or getattr(real, name)(*a)

    monkeypatch.setattr(GNV, "pc", Recording())
    return calls


@pytest.fixture(params=[False, True], ids=["sequential", "threaded"])
def threading_mode(request, monkeypatch):
    """Both block kinds' steps on the calling thread, then on worker threads."""
    from sorvith import network_svp, slim_load

    for module in (network_svp, slim_load):
        monkeypatch.setattr(module, "doing_threading", request.param)
    return request.param
