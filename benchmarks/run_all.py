"""Run every benchmark in this folder and write benchmarks/RESULTS.md and
benchmarks/block_forward.png.

    python benchmarks/run_all.py [--quick]        (make bench: after installing the package)

A benchmark is any script here with a ``__main__`` guard, except this one and names starting
with "_" (helper modules). Each runs in a subprocess of its own, one after another, with the
working directory at the repository root; its printed table goes into RESULTS.md under its
own heading, with the command that produced it. Scripts that take ``--json PATH`` also hand
over their rows; those with block forward times (L, width, batch, mode, and the package's,
the Python rendering's and the floor's microseconds) make up the plot. ``--quick`` passes
``--quick`` to every script that has that option.

Exits with status 1 if a benchmark failed; RESULTS.md and the plot are written all the same.
"""

import argparse
import ast
import datetime
import json
import os
import platform
import shlex
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "RESULTS.md")
PLOT = os.path.join(HERE, "block_forward.png")
TIMEOUT = 600  # seconds for one benchmark; the whole run takes about two minutes
# The plotted slice of the forward benchmarks' rows.
PLOT_MODE, PLOT_L, PLOT_BATCHES = "sequential", 4, (1, 64)
FORWARD_KEYS = {"L", "width", "batch", "mode", "cpp_us", "python_us", "floor_us"}


class Benchmark:
    """One script: what it says about itself and what its run gave."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        with open(path) as f:
            self.source = f.read()
        tree = ast.parse(self.source)
        self.doc = ast.get_docstring(tree) or ""
        self.takes_json = '"--json"' in self.source
        self.takes_quick = '"--quick"' in self.source
        self.command, self.status, self.seconds = [], None, 0.0
        self.stdout = self.stderr = ""
        self.rows = None  # the rows of its JSON file, when it wrote one
        self.labels = None  # the names it gives its three times, if its own

    def summary(self):
        """The first paragraph of the docstring, on one line."""
        return " ".join(self.doc.split("\n\n")[0].split())

    def run(self, quick, scratch):
        json_path = os.path.join(scratch, self.name[:-3] + ".json")
        args = [os.path.relpath(self.path, ROOT)]
        if quick and self.takes_quick:
            args.append("--quick")
        if self.takes_json:
            args += ["--json", json_path]
        self.command = [sys.executable] + args
        began = time.perf_counter()
        try:
            done = subprocess.run(self.command, cwd=ROOT, capture_output=True, text=True,
                                  timeout=TIMEOUT)
            self.status, self.stdout, self.stderr = done.returncode, done.stdout, done.stderr
        except subprocess.TimeoutExpired as expired:
            self.status = "timed out after %d s" % TIMEOUT
            self.stdout = decode(expired.stdout)
            self.stderr = decode(expired.stderr)
        self.seconds = time.perf_counter() - began
        if self.status == 0 and self.takes_json and os.path.exists(json_path):
            with open(json_path) as f:
                data = json.load(f)
            self.rows, self.labels = data.get("rows"), data.get("labels")

    def ok(self):
        return self.status == 0

    def shown_command(self):
        """The command as typed from the repository root."""
        program = os.path.relpath(self.command[0], ROOT)
        if program.startswith(".."):
            program = self.command[0]
        return " ".join(shlex.quote(part) for part in [program] + self.command[1:])


def decode(data):
    if data is None:
        return ""
    return data.decode(errors="replace") if isinstance(data, bytes) else data


def discover():
    scripts = []
    for name in sorted(os.listdir(HERE)):
        path = os.path.join(HERE, name)
        if (not name.endswith(".py") or name.startswith("_") or path == os.path.abspath(__file__)
                or not os.path.isfile(path)):
            continue
        with open(path) as f:
            if "__main__" not in f.read():
                continue  # a helper module, not a script
        scripts.append(Benchmark(path))
    return scripts


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def git_revision():
    """The checked-out commit, and whether the work tree differs from it (read-only git)."""
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT,
                                capture_output=True, text=True, timeout=30)
        changes = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                                 cwd=ROOT, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    if commit.returncode != 0:
        return "unknown"
    dirty = " with uncommitted changes" if changes.stdout.strip() else ""
    return "commit %s%s" % (commit.stdout.strip(), dirty)


def machine_facts(benchmarks):
    """(label, value) rows for the header, and a one-line form for the plot."""
    import numpy
    import torch

    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    machine = "%s, %d cores (%s usable)" % (cpu_model(), os.cpu_count() or 0, usable)
    threads = "%d intra-op, %d inter-op in a fresh process" % (torch.get_num_threads(),
                                                                torch.get_num_interop_threads())
    pinned = ["%s=%s" % (k, os.environ[k]) for k in ("OMP_NUM_THREADS", "MKL_NUM_THREADS")
              if k in os.environ]
    if pinned:
        threads += " (" + ", ".join(pinned) + ")"
    setting = [b.name for b in benchmarks if "set_num_threads" in b.source]
    if setting:
        threads += "; set by the script itself in " + ", ".join(setting)
    try:
        from importlib.metadata import version
        sorvith = version("sorvith")
    except Exception:  # not installed: the benchmarks will fail and say so
        sorvith = "not installed"
    facts = [
        ("machine", machine),
        ("system", platform.platform()),
        ("Python", platform.python_version()),
        ("torch", torch.__version__),
        ("torch threads", threads),
        ("numpy", numpy.__version__),
        ("sorvith", "%s, %s" % (sorvith, git_revision())),
    ]
    line = "%s; Python %s, torch %s, numpy %s" % (machine, platform.python_version(),
                                                  torch.__version__, numpy.__version__)
    return facts, line


def forward_series(bench):
    """(title, {batch: [(width, ours, python, floor)]}, labels) of a forward benchmark, or
    None."""
    if not bench.rows or not all(FORWARD_KEYS <= set(row) for row in bench.rows):
        return None
    panels = {}
    for row in bench.rows:
        if row.get("autograd"):
            continue  # the plot compares inference-mode calls
        if row["mode"] == PLOT_MODE and row["L"] == PLOT_L and row["batch"] in PLOT_BATCHES:
            panels.setdefault(row["batch"], []).append(
                (row["width"], row["cpp_us"], row["python_us"], row["floor_us"]))
    if not panels:
        return None
    title = bench.doc.split()[0] if bench.doc else bench.name
    labels = bench.labels or ("sorvith (C++)", "Python rendering", "floor")
    return title, {batch: sorted(points) for batch, points in panels.items()}, labels


def plot(series, machine):
    """One row of panels per forward benchmark, one column per batch size, log-log."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FormatStrFormatter, LogLocator, NullLocator

    batches = sorted({batch for _, panels, _ in series for batch in panels})
    fig, axes = plt.subplots(len(series), len(batches), squeeze=False, sharex=True,
                             figsize=(4.6 * len(batches), 3.6 * len(series) + 0.9))
    styles = ((1, "o", "-", "tab:blue"), (2, "s", "--", "tab:orange"), (3, "^", ":", "tab:gray"))
    for r, (title, panels, labels) in enumerate(series):
        lines = [(label,) + style for label, style in zip(labels, styles)]
        for c, batch in enumerate(batches):
            ax = axes[r][c]
            points = panels.get(batch, [])
            widths = [p[0] for p in points]
            for label, column, marker, style, colour in lines:
                ax.plot(widths, [p[column] for p in points], marker=marker, linestyle=style,
                        color=colour, label=label)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xticks(widths)
            ax.set_xticklabels([str(w) for w in widths])
            ax.xaxis.set_minor_locator(NullLocator())
            # Plain numbers at 1, 2 and 5 of each decade: easier to read off than powers of 10.
            ax.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
            ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
            ax.yaxis.set_minor_locator(NullLocator())
            ax.grid(True, which="major", alpha=0.3)
            ax.set_title("%s, batch %d" % (title, batch), fontsize=10)
            if c == 0:
                ax.set_ylabel("time per call (µs)")
            if r == len(series) - 1:
                ax.set_xlabel("width (features)")
    for row in axes:
        row[0].legend(fontsize=9)
    fig.suptitle("Block forward time against width: L = %d blocks, %s mode"
                 % (PLOT_L, PLOT_MODE), fontsize=11)
    fig.text(0.5, 0.01, machine, ha="center", fontsize=8, color="dimgray")
    fig.tight_layout(rect=(0, 0.03, 1, 0.97))
    fig.savefig(PLOT, dpi=110)
    plt.close(fig)


def write_results(benchmarks, facts, started, plotted, plot_note):
    out = ["# Benchmark results", ""]
    out.append("Written by `benchmarks/run_all.py` (`make bench`), started %s."
               % started.strftime("%Y-%m-%d %H:%M UTC"))
    out += ["", "| | |", "|---|---|"]
    out += ["| %s | %s |" % (key, value) for key, value in facts]
    out += ["", "| benchmark | result | seconds |", "|---|---|---:|"]
    for bench in benchmarks:
        result = "ok" if bench.ok() else ("exit status %s" % bench.status
                                          if isinstance(bench.status, int) else bench.status)
        out.append("| [%s](#%s) | %s | %.1f |" % (bench.name, anchor(bench.name), result,
                                                   bench.seconds))
    out.append("")
    if plotted:
        out += ["![Block forward time against width](%s)" % os.path.basename(PLOT), ""]
    out += [plot_note, ""]
    for bench in benchmarks:
        out += ["## %s" % bench.name, ""]
        if bench.summary():
            out += [bench.summary(), ""]
        out += ["Command (from the repository root), %.1f s:" % bench.seconds, "",
                "    " + bench.shown_command(), ""]
        if bench.takes_json:
            out += ["(`--json` hands the rows to run_all.py, in a temporary folder.)", ""]
        if not bench.ok():
            out += ["**Failed: %s.**" % ("exit status %s" % bench.status
                                         if isinstance(bench.status, int) else bench.status), ""]
        out += ["```text", bench.stdout.rstrip("\n") or "(no output)", "```", ""]
        if bench.stderr.strip():
            tail = bench.stderr.rstrip("\n").splitlines()[-30:]
            out += ["Standard error (last %d lines):" % len(tail), "", "```text"] + tail + \
                   ["```", ""]
    with open(RESULTS, "w") as f:
        f.write("\n".join(out))


def anchor(heading):
    """The anchor GitHub gives a heading."""
    return "".join(ch for ch in heading.lower().replace(" ", "-") if ch.isalnum() or ch in "-_")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="pass --quick to every benchmark that has it")
    options = parser.parse_args()

    started = datetime.datetime.now(datetime.timezone.utc)
    benchmarks = discover()
    facts, machine = machine_facts(benchmarks)
    with tempfile.TemporaryDirectory(prefix="sorvith-bench-") as scratch:
        for bench in benchmarks:
            print("running %s ..." % bench.name, end=" ", flush=True)
            bench.run(options.quick, scratch)
            print("%s, %.1f s" % ("ok" if bench.ok() else "FAILED (%s)" % bench.status,
                                  bench.seconds), flush=True)

    series, shown, missing = [], [], []
    for bench in benchmarks:
        found = forward_series(bench)
        if found:
            series.append(found)
            shown.append(bench.name)
        elif bench.name.startswith("forward_"):
            missing.append(bench.name)
    plotted = bool(series)
    if plotted:
        plot(series, machine)
        plot_note = ("The plot shows the %s-mode rows with L = %d of %s: the package, its Python "
                     "rendering and the floor." % (PLOT_MODE, PLOT_L, " and ".join(shown)))
    else:
        plot_note = "No benchmark gave forward rows to plot."
        if os.path.exists(PLOT):
            os.remove(PLOT)  # a plot from an earlier run would not match these tables
    if missing:
        plot_note += (" Not in the plot (no `--json` rows, or the run failed): %s."
                      % ", ".join(missing))
    write_results(benchmarks, facts, started, plotted, plot_note)
    print("wrote %s%s" % (os.path.relpath(RESULTS, ROOT),
                          " and " + os.path.relpath(PLOT, ROOT) if plotted else ""))
    return 0 if all(b.ok() for b in benchmarks) else 1


if __name__ == "__main__":
    sys.exit(main())
