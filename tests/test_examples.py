"""The example scripts as a user runs them: training and inference in two processes of their
own, the demo with its output going to a log file, and the README showing what they do."""

import os
import re
import subprocess
import sys

import torch

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def run_example(script, *args, cwd):
    # One torch thread: the outputs of both processes are compared, and the machine is shared.
    env = dict(os.environ, OMP_NUM_THREADS="1")
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args], cwd=cwd,
                            env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_inference_script_predicts_what_the_training_script_did(tmp_path):
    trained = run_example("train.py", "ckpt", "--outputs", "trained.pt", cwd=tmp_path)
    inferred = run_example("infer.py", "ckpt", "--outputs", "inferred.pt", cwd=tmp_path)
    assert os.listdir(tmp_path / "ckpt") == ["classifier_nvr.pt"]
    # The accuracy and the first predictions, printed by both.
    assert trained.splitlines()[-2:] == inferred.splitlines()[-2:]
    torch.testing.assert_close(torch.load(tmp_path / "inferred.pt"),
                               torch.load(tmp_path / "trained.pt"))


def test_demo_checks_every_route_and_keeps_a_log_short(tmp_path):
    # Output into a pipe, as in a CI log: one line per training round, no redrawn bars.
    out = run_example("demo.py", cwd=tmp_path)
    assert "routes matching the trained net |              5/5 |" in out
    assert len(out.splitlines()) < 50
    saved = re.search(r"wrote (\S+) \(", out).group(1)
    assert not os.path.exists(os.path.dirname(os.path.dirname(saved)))  # its folder is removed


def test_readme_usage_sets_the_configuration_the_example_scripts_set():
    with open(os.path.join(os.path.dirname(EXAMPLES), "README.md")) as f:
        usage = f.read().split("\n## Usage\n")[1].split("\n## ")[0]
    training, inference = re.findall(r"```python\n(.*?)```", usage, re.S)
    settings = []
    for snippet, script in ((training, "train.py"), (inference, "infer.py")):
        lines = [line.split("#")[0].strip() for line in snippet.splitlines()
                 if line.startswith("GNV.pc.set_")]
        with open(os.path.join(EXAMPLES, script)) as f:
            source = f.read()
        assert lines and all(line in source for line in lines), script
        settings.append(lines)
    assert settings[0] == settings[1]
