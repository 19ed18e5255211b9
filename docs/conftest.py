"""Every example of the documentation, run (scripts/docs.sh, `make docs`).

Each page runs in a directory of its own, which starts with a copy of the
bundled examples/demo.fa and examples/demo.bed, and examples/ itself (the
recipes the pages run); its blocks run in order and
share one namespace, so a page builds on what it made earlier.

- ```python blocks run; those written as a session (>>>) are doctests, their
  output checked.
- ```console blocks are shell sessions: each `$ command` runs in bash, and
  what it prints (standard output, then standard error) must be the lines
  shown below it; a line `...` stands for any lines.
- ```sh blocks run in bash and must succeed; what they print is not shown.
- A block after `<!-- skip: next -->` does not run (installing, remote
  hosts, a cluster).
"""

import doctest
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from sybil import Sybil
from sybil.parsers.myst import CodeBlockParser, PythonCodeBlockParser, SkipParser

ROOT = Path(__file__).resolve().parent.parent
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def run_shell(command):
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    result = subprocess.run(["bash", "-c", command], capture_output=True, text=True, env=env)
    return result.returncode, result.stdout + result.stderr


def lines_match(expected, got):
    """Whether the lines got are the lines expected, a `...` line standing for any lines."""
    pattern = "".join(".*?" if line == "..." else re.escape(line) + "\n" for line in expected)
    return re.fullmatch(pattern, "".join(line + "\n" for line in got), re.S) is not None


def evaluate_console(example):
    commands = []
    for line in example.parsed.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line.rstrip())
        elif line.strip():
            raise ValueError(f"a console block starts with output, not with a $ command: {line!r}")
    for command, expected in commands:
        status, output = run_shell(command)
        got = [line.rstrip() for line in output.splitlines()]
        while expected and not expected[-1]:
            expected.pop()
        if not lines_match(expected, got):
            return f"$ {command}\nexpected:\n" + "\n".join(expected) + "\ngot (status {status}):\n" + "\n".join(got)


def evaluate_sh(example):
    status, output = run_shell("set -e\n" + example.parsed)
    if status != 0:
        return f"the block failed with status {status}:\n{output}"


def setup(namespace):
    namespace["_cwd"] = os.getcwd()
    workdir = Path(tempfile.mkdtemp(prefix="kelpa-docs-"))
    namespace["_workdir"] = workdir
    for name in ("demo.fa", "demo.bed"):
        shutil.copy(ROOT / "examples" / name, workdir / name)
    shutil.copytree(ROOT / "examples", workdir / "examples")
    os.chdir(workdir)


def teardown(namespace):
    os.chdir(namespace["_cwd"])
    shutil.rmtree(namespace["_workdir"])


pytest_collect_file = Sybil(
    parsers=[
        PythonCodeBlockParser(doctest_optionflags=FLAGS),
        CodeBlockParser("console", evaluate_console),
        CodeBlockParser("sh", evaluate_sh),
        SkipParser(),
    ],
    patterns=["*.md"],
    setup=setup,
    teardown=teardown,
).pytest()
