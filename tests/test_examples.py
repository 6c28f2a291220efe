"""The example scripts as a user runs them: training and inference in two processes of their
own, the demo with its output going to a log file, and the README showing what they do."""

import os
import re
import subprocess
import sys

import pytest
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


# Marks on the line before a README python block: it runs joined to the block(s) before it, or
# it is taken from an example script that runs it (under torch.distributed.run, say), whose
# text must hold the block's lines in order.
CONTINUES = "<!-- continues the block above -->"
FROM_EXAMPLE = re.compile(r"<!-- from (examples/\S+) -->")


def readme_programs():
    """The README's python blocks as pytest params: each block with the blocks that continue
    it, joined into one program, or a block taken from an example, with that example's path."""
    with open(os.path.join(os.path.dirname(EXAMPLES), "README.md")) as f:
        lines = f.read().splitlines()
    programs, heading, i = [], "", 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("## "):
            heading = line[3:]
        if line != "```python":
            i += 1
            continue
        end = lines.index("```", i + 1)
        code = "\n".join(lines[i + 1:end]) + "\n"
        mark = lines[i - 1] if i else ""
        example = FROM_EXAMPLE.fullmatch(mark)
        if mark == CONTINUES:
            assert programs and programs[-1][1] is None, "line %d continues no block" % (i + 1)
            programs[-1][0].append(code)
        else:
            programs.append(([code], example and example.group(1), "%s, line %d" % (heading, i + 1)))
        i = end + 1
    return [pytest.param(blocks, example, id=name) for blocks, example, name in programs]


@pytest.mark.parametrize("blocks, example", readme_programs())
def test_readme_python_blocks_run_as_written(blocks, example, tmp_path):
    if example:  # run by the tests of that example
        with open(os.path.join(os.path.dirname(EXAMPLES), example)) as f:
            source = f.read()
        position = 0
        for line in filter(None, blocks[0].splitlines()):
            position = source.index(line, position) + len(line)
        return
    env = dict(os.environ, OMP_NUM_THREADS="1", HF_HUB_OFFLINE="1", TRANSFORMERS_OFFLINE="1")
    result = subprocess.run([sys.executable, "-c", "\n".join(blocks)], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout + result.stderr
