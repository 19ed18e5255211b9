"""Every example of the documentation, run (scripts/docs.sh, `make docs`).

Each page runs in a directory of its own, which starts with a copy of the
bundled examples/demo.fa and examples/demo.bed, and examples/ itself (the
recipes the pages run); its blocks run in order and
share one namespace, so a page builds on what it made earlier.

- ```python blocks run; those written as a session (>>>) are doctests, their
  output checked.
- ```console blocks are shell sessions: each `$ command` runs in bash, and
  what it prints (standard output, then standard error) must be the lines
  shown below it; a line `...` stands for any lines, and `...` within a
  line for any text.
- ```sh blocks run in bash and must succeed; what they print is not shown.
- A block after `<!-- skip: next -->` does not run (installing, a cluster
  of machines).

guides/remote.md reads from the test suite's servers (tests/remote_servers.py),
started on fixed ports on loopback for that page alone, with the bundled
demo.fa and a BGZF copy on them and the environment set as a user sets it
for servers of their own (REMOTE_PORTS, remote_setup). Without nginx that
page's examples are skipped with a notice, or fail under
KELPA_REQUIRE_PEERS=1 (CI).
"""

import doctest
import errno
import fcntl
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.parsers.myst import CodeBlockParser, PythonCodeBlockParser, SkipParser

import kelpa

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))  # the servers and the BGZF writer of the tests

from bgzf_writer import write_bgzf  # noqa: E402
from remote_servers import MotoS3, Nginx  # noqa: E402

FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
REMOTE_PAGE = "guides/remote.md"
# The ports the remote page names: nginx over HTTP and HTTPS, moto's S3.
REMOTE_PORTS = {"http": 8080, "https": 8443, "s3": 9000}
# What the environment may hold that would sign the remote page's requests
# otherwise, or trust other certificates, than the page's servers expect.
OVERRIDDEN = ("AWS_SESSION_TOKEN", "AWS_PROFILE", "AWS_SHARED_CREDENTIALS_FILE", "AWS_ENDPOINT_URL", "CURL_CA_BUNDLE")
REQUIRE_PEERS = os.environ.get("KELPA_REQUIRE_PEERS") == "1"
NOTICES = []


def run_shell(command):
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    result = subprocess.run(["bash", "-c", command], capture_output=True, text=True, env=env)
    return result.returncode, result.stdout + result.stderr


def lines_match(expected, got):
    """Whether the lines got are the lines expected, a `...` line standing for
    any lines and a `...` within a line for any text of that line."""
    pattern = "".join(
        ".*?" if line == "..." else "[^\n]*?".join(map(re.escape, line.split("..."))) + "\n" for line in expected
    )
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
            return f"$ {command}\nexpected:\n" + "\n".join(expected) + f"\ngot (status {status}):\n" + "\n".join(got)


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


def missing_server_programs():
    return [name for name in ("nginx", "openssl") if not shutil.which(name) and not os.path.exists(f"/usr/sbin/{name}")]


def take_remote_ports():
    """Holds the lock of the remote page's ports (another `make docs` on this
    machine waits for it) and checks that nothing else listens on them."""
    lock = open(os.path.join(tempfile.gettempdir(), "kelpa-docs-ports.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    for port in REMOTE_PORTS.values():
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", port))
            except OSError as error:
                lock.close()
                if error.errno != errno.EADDRINUSE:
                    raise
                pytest.fail(
                    f"port {port} of 127.0.0.1 is in use: {REMOTE_PAGE} reads from servers on ports "
                    + ", ".join(map(str, REMOTE_PORTS.values())),
                    pytrace=False,
                )
    return lock


def remote_setup(namespace):
    """The page's own directory, then the servers: nginx serving refs/ (demo.fa
    and demo.fa.gz, BGZF, with their indexes) at /refs/, and at /gs/refs/
    with a bearer token (Google Cloud Storage's stand-in), and moto's S3
    holding the same files in the bucket refs; then the environment a user
    sets for such servers, until the page's teardown."""
    missing = missing_server_programs()
    if missing:
        message = f"{REMOTE_PAGE}: its examples need {' and '.join(missing)}, not installed here"
        if REQUIRE_PEERS:
            pytest.fail(message + " (KELPA_REQUIRE_PEERS=1)", pytrace=False)
        NOTICES.append(message + "; they were skipped")
        pytest.skip(message)
    setup(namespace)
    namespace["_environ"] = dict(os.environ)
    namespace["_ports"] = take_remote_ports()
    servers = Path(tempfile.mkdtemp(prefix="kelpa-docs-servers-"))
    namespace["_servers_dir"] = servers
    refs = servers / "www" / "refs"
    refs.mkdir(parents=True)
    shutil.copy(ROOT / "examples" / "demo.fa", refs / "demo.fa")
    write_bgzf(refs / "demo.fa.gz", (refs / "demo.fa").read_bytes())
    for name in ("demo.fa", "demo.fa.gz"):
        kelpa.Faidx(str(refs / name))  # its .fai (and the .gzi of the BGZF file)
    (servers / "nginx").mkdir()
    (servers / "moto").mkdir()
    namespace["_servers"] = []
    nginx = Nginx(servers / "www", servers / "nginx", REMOTE_PORTS["http"], REMOTE_PORTS["https"])
    namespace["_servers"].append(nginx)
    s3 = MotoS3(servers / "moto", REMOTE_PORTS["s3"])
    namespace["_servers"].append(s3)
    for file in sorted(refs.iterdir()):
        s3.put("refs", file.name, file)
    for name in OVERRIDDEN:
        os.environ.pop(name, None)
    os.environ.update(
        s3.env(),
        GCS_ENDPOINT_URL=f"{nginx.http_url}/gs",
        GCS_OAUTH_TOKEN=Nginx.TOKEN,
        SSL_CERT_FILE=nginx.cert,
        NO_PROXY="127.0.0.1,localhost",
        no_proxy="127.0.0.1,localhost",
    )


def remote_teardown(namespace):
    """Undoes what remote_setup did, as far as it got."""
    for server in reversed(namespace.get("_servers", [])):
        server.stop()
    if "_ports" in namespace:
        namespace["_ports"].close()
    if "_servers_dir" in namespace:
        shutil.rmtree(namespace["_servers_dir"])
    if "_environ" in namespace:
        os.environ.clear()
        os.environ.update(namespace["_environ"])
    if "_workdir" in namespace:
        teardown(namespace)


def pytest_terminal_summary(terminalreporter):
    for notice in NOTICES:
        terminalreporter.write_line(f"docs: {notice}")


PARSERS = [
    PythonCodeBlockParser(doctest_optionflags=FLAGS),
    CodeBlockParser("console", evaluate_console),
    CodeBlockParser("sh", evaluate_sh),
    SkipParser(),
]
pytest_collect_file = (
    Sybil(parsers=PARSERS, patterns=["*.md"], excludes=[REMOTE_PAGE], setup=setup, teardown=teardown)
    + Sybil(parsers=PARSERS, patterns=[REMOTE_PAGE], setup=remote_setup, teardown=remote_teardown)
).pytest()
