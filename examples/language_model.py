"""A small decoder-only language model from transformers: dendritic training, then generation
from the saved file in a second process.

The training side builds a Llama model from a configuration (random weights, nothing is
downloaded), makes every nn.Linear a dendritic neuron module with the stand-in companion
library, trains it on synthetic token sequences, adds dendrites once and trains again, then
saves it with sorvith. A second Python process, which knows only the configuration and the
companion settings below, loads the file with load_nvr_model and generates; it checks that it
produces the tokens the trained network produced. Exits with status 1 if they differ.

    .venv/bin/python examples/language_model.py
"""

import json
import os
import subprocess
import sys
import tempfile
import warnings

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import torch  # noqa: E402
import torch.nn as nn  # noqa: E402
import transformers  # noqa: E402

from nevrane import globals_nevrane as GNV  # noqa: E402

VOCAB, STEP = 16, 3  # each sequence counts up by STEP modulo VOCAB
PROMPT = [[1, 4, 7], [2, 5, 8]]


def configure_companion():
    """What training and inference must agree on: the classes that carry dendrites and the
    storage mode (safetensors, the default; Llama's embeddings are not tied)."""
    GNV.pc.set_modules_to_convert([nn.Linear])
    GNV.pc.set_using_safe_tensors(True)
    GNV.pc.set_weight_tying_experimental(False)


def model_config():
    return transformers.LlamaConfig(
        vocab_size=VOCAB, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
        num_attention_heads=4, num_key_value_heads=2, max_position_embeddings=32,
        bos_token_id=None, eos_token_id=None, pad_token_id=0, tie_word_embeddings=False)


def generate(model):
    with torch.no_grad():
        out = model.generate(torch.tensor(PROMPT), max_new_tokens=6, do_sample=False)
    return out[:, len(PROMPT[0]):].tolist()


def batches(count, seed):
    gen = torch.Generator().manual_seed(seed)
    for _ in range(count):
        start = torch.randint(0, VOCAB, (32, 1), generator=gen)
        yield (start + STEP * torch.arange(12)) % VOCAB


def train(model, steps, seed):
    optimizer = torch.optim.Adam(model.parameters(), lr=1e-2)
    model.train()
    for tokens in batches(steps, seed):
        optimizer.zero_grad()
        loss = model(input_ids=tokens, labels=tokens).loss
        loss.backward()
        optimizer.step()
    model.eval()
    return loss.item()


def training_process(folder):
    from nevrane import utils_nevrane as UNV
    from sorvith import utils_svp

    configure_companion()
    torch.manual_seed(0)
    model = transformers.LlamaForCausalLM(model_config())
    model = UNV.initialize_nvr(model)
    print("training without dendrites:  loss %.3f" % train(model, 40, seed=1))
    UNV.add_dendrites(model)
    print("training with one dendrite:  loss %.3f" % train(model, 40, seed=2))

    utils_svp.sv_save_net(model, folder, "counter")
    model.config.save_pretrained(folder)  # the architecture, for the inference side
    expected = generate(model)
    with open(os.path.join(folder, "expected.json"), "w") as f:
        json.dump(expected, f)
    print("trained network continues %s with %s" % (PROMPT, expected))


def inference_process(folder):
    from sorvith import network_svp

    configure_companion()
    config = transformers.LlamaConfig.from_pretrained(folder)
    fresh = transformers.LlamaForCausalLM(config)
    model = network_svp.load_nvr_model(fresh, os.path.join(folder, "counter_nvr.pt")).eval()
    got = generate(model)
    with open(os.path.join(folder, "expected.json")) as f:
        expected = json.load(f)
    print("loaded network continues  %s with %s" % (PROMPT, got))
    return got == expected


def main():
    transformers.logging.set_verbosity_error()
    # The walks that clean a network read every property of it; one of transformers' is deprecated.
    warnings.filterwarnings("ignore", ".*is_gradient_checkpointing", FutureWarning)
    torch.set_num_threads(1)  # a model this small only loses time to intra-op threads
    if len(sys.argv) == 3 and sys.argv[1] == "--generate":
        sys.exit(0 if inference_process(sys.argv[2]) else 1)
    with tempfile.TemporaryDirectory() as folder:
        training_process(folder)
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--generate", folder])
    print("same tokens" if result.returncode == 0 else "the loaded network differs")
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
