"""The package as an importer sees it: what each module binds, what each shared object
exports, and what importing costs."""

import importlib
import shutil
import subprocess
import sys

import pytest

from support.names import BOUND as MODULES, bound


def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)


@pytest.mark.parametrize("name", MODULES)
def test_module_binds_its_names_in_order(name):
    module = importlib.import_module("sorvith." + name)
    assert bound(module) == MODULES[name]
    assert module.__name__ == "sorvith." + name


def test_bound_objects_are_the_libraries_themselves():
    import threading

    import numpy
    import safetensors.torch
    import torch

    from sorvith import network_svp, slim_load, utils_svp

    assert network_svp.Thread is threading.Thread and network_svp.nn is torch.nn
    assert network_svp.load_file is safetensors.torch.load_file
    assert utils_svp.save_file is safetensors.torch.save_file and utils_svp.np is numpy
    assert utils_svp.SL is slim_load and slim_load.ModuleType is slim_load.NVRModulePyThread
    assert network_svp.doing_threading is False and slim_load.loaded_full_print is False
    assert network_svp.doing_fusion is False and slim_load.doing_fusion is False


@pytest.mark.parametrize("name", MODULES)
def test_shared_object_exports_only_its_init(name):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("no nm on this machine")
    path = importlib.import_module("sorvith." + name).__file__
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + name]


def test_importing_the_package_imports_nothing_else():
    result = run(
        "import sys; before = set(sys.modules); import sorvith; "
        "print(sorted(set(sys.modules) - before))"
    )
    assert result.stdout.strip() == "['sorvith']", result.stderr


@pytest.mark.parametrize("name", MODULES)
def test_missing_companion_library_fails_the_import_with_its_error(name):
    # A finder that refuses nevrane, as on a machine where it is not installed.
    result = run(
        "import sys\n"
        "class Refuse:\n"
        "    def find_spec(self, fullname, path=None, target=None):\n"
        "        if fullname.split('.')[0] == 'nevrane':\n"
        "            raise ModuleNotFoundError(\"No module named 'nevrane'\", name='nevrane')\n"
        "sys.meta_path.insert(0, Refuse())\n"
        f"try:\n    import sorvith.{name}\n"
        "except ModuleNotFoundError as e:\n"
        "    print('refused', e.name, e.args)\n"
        "    print(*getattr(e, '__notes__', []))\n"
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "refused nevrane (\"No module named 'nevrane'\",)", result.stderr
    # Where the interpreter shows notes, the traceback also says what to install.
    if sys.version_info >= (3, 11):
        assert "pip install ./nevrane" in lines[1]


FUNCTIONS = {
    "network_svp": ["convert_network", "get_nvr_modules", "load_nvr_model"],
    "blockwise_svp": ["unWrap_params", "convert_to_nvr_layer_block", "get_pretrained_nvr_attr",
                      "get_pretrained_nvr_var", "optimize_module", "blockwise_network"],
    "slim_load": ["get_pretrained_nvr_attr", "get_pretrained_nvr_var", "make_module",
                  "refresh_nvr", "refresh_net"],
    "utils_svp": ["check_requires_grad", "debug_print_grad_modules", "add_future_warning",
                  "remove_future_warning", "load_net", "clean_net", "sv_save_net",
                  "sv_count_params"],
}


@pytest.mark.parametrize("name", MODULES)
def test_every_module_function_has_help_text(name):
    import inspect
    import pydoc

    module = importlib.import_module("sorvith." + name)
    functions = {k: f for k, f in vars(module).items()
                 if inspect.isbuiltin(f) and getattr(f, "__self__", None) is module}
    assert list(functions) == FUNCTIONS[name]
    for f in functions.values():
        doc = inspect.getdoc(f)
        # One or two lines saying what it does and what it returns; the text signature stays
        # apart, so inspect still reads the parameters.
        assert doc and 1 <= len(doc.splitlines()) <= 2 and "return" in doc.lower(), f.__name__
        assert str(inspect.signature(f)).startswith("(")
        assert doc.splitlines()[0] in pydoc.render_doc(f, renderer=pydoc.plaintext)
