"""Reading FASTA files over HTTP(S), S3 and GCS: every front door against
the same file read locally, through real servers on loopback (nginx, a
fault-injecting proxy of our own, a range server of our own that
misbehaves on demand, moto's S3 server with signatures checked), and each
failure's error."""

import os
import pickle
import random
import re
import shutil
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from bgzf_writer import gzi_bytes, write_bgzf
from remote_servers import FaultProxy, MotoS3, Nginx, RangeServer

import kelpa
import kelpa_arrays
from conftest import POOL, REQUIRE_PEERS, preloading, raised, random_seq, write_fasta

RNG = random.Random(25)
RECORDS = [
    ("chr1 first", random_seq(RNG, 700_000, "ACGTacgtN")),
    ("chr2", random_seq(RNG, 250_000)),
    ("chrM", "GATTACA"),
]
KELPA = shutil.which("kelpa", path=os.path.dirname(sys.executable)) or "kelpa"


def need(*programs):
    for program in programs:
        if shutil.which(program) is None and not os.path.exists(f"/usr/sbin/{program}"):
            if REQUIRE_PEERS:
                pytest.fail(f"{program} is not installed (KELPA_REQUIRE_PEERS=1)")
            pytest.skip(f"{program} is not installed")


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    """Loopback servers are reached directly, whatever proxy the machine sets."""
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")
    monkeypatch.setenv("no_proxy", "127.0.0.1,localhost")


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """nginx serving ref.fa and ref.fa.gz (BGZF) with their indexes; the
    local copies are what every remote read is checked against."""
    need("nginx", "openssl")
    root = tmp_path_factory.mktemp("www")
    text = write_fasta(root / "ref.fa", RECORDS, width=60)
    blocks = write_bgzf(root / "ref.fa.gz", text, block_sizes=[65280, 30000, 7])
    (root / "ref.fa.gz.gzi").write_bytes(gzi_bytes(blocks))
    for name in ("ref.fa", "ref.fa.gz"):
        kelpa.Faidx(str(root / name))  # writes the .fai
    server = Nginx(root, tmp_path_factory.mktemp("nginx"))
    server.root = root
    yield server
    server.stop()


@pytest.fixture
def proxy(site):
    server = FaultProxy(f"127.0.0.1:{site.port}")
    yield server
    server.stop()


@pytest.fixture
def range_servers(site):
    """Makes RangeServers over the site's files, as many as a test asks for."""
    made = []

    def make():
        made.append(RangeServer(site.root))
        return made[-1]

    yield make
    for server in made:
        server.stop()


def regions(count, seed):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        name, length = rng.choice([("chr1", 700_000), ("chr2", 250_000), ("chrM", 7)])
        start = rng.randrange(1, length + 1)
        out.append((name, start, min(length + 5, start + rng.randrange(0, 1500))))
    return out


def texts(sequences):
    return [(s.name, s.seq, s.start, s.end) for s in sequences]


@pytest.mark.parametrize("name", ["ref.fa", "ref.fa.gz"])
def test_every_front_door_reads_a_url_as_the_local_file(site, name):
    url, local = f"{site.http_url}/{name}", str(site.root / name)
    remote, here = kelpa.Fasta(url), kelpa.Fasta(local)
    assert list(remote.keys()) == list(here.keys()) and remote.filename == url
    assert str(remote["chr1"][123_456:124_999]) == str(here["chr1"][123_456:124_999])
    assert str(remote["chr2"]) == str(here["chr2"]) and len(remote["chrM"]) == 7
    assert [str(r[:50]) for r in remote] == [str(r[:50]) for r in here]
    assert str(remote["chr1"][-70:].reverse.complement) == str(here["chr1"][-70:].reverse.complement)
    faidx, near = kelpa.Faidx(url, mutable=True), kelpa.Faidx(local)
    assert texts([faidx.fetch("chr2", 5, 100_000)]) == texts([near.fetch("chr2", 5, 100_000)])
    for count in (40, POOL + 500):  # the sequential path and the pool's
        batch = regions(count, count)
        assert texts(faidx.fetch_many(batch)) == texts(near.fetch_many(batch))
        same = [(s, e) for _, s, e in batch]
        assert texts(faidx.fetch_many_same_chr("chr1", same)) == texts(near.fetch_many_same_chr("chr1", same))
        assert texts(remote.fetch_many(batch, rc=True)) == texts(here.fetch_many(batch, rc=True))
    for count in (50, POOL * 2):  # kelpa_arrays, through the same Faidx
        rng = random.Random(count)
        starts = [rng.randrange(0, 700_000) for _ in range(count)]
        for arrays in (kelpa_arrays.fetch, kelpa_arrays.codes):
            assert (
                arrays(faidx, ["chr1"] * count, starts, [s + 500 for s in starts], rc=count % 2 == 0)
                == arrays(near, ["chr1"] * count, starts, [s + 500 for s in starts], rc=count % 2 == 0)
            ).all()
    copy = pickle.loads(pickle.dumps(remote))
    assert copy.filename == url and str(copy["chr2"][:99]) == str(here["chr2"][:99])


@pytest.mark.parametrize("name", ["ref.fa", "ref.fa.gz"])
def test_the_program_reads_a_url_as_the_local_file(site, name, tmp_path):
    url, local = f"{site.http_url}/{name}", str(site.root / name)
    batch = regions(300, 7)
    (tmp_path / "r.txt").write_text("".join(f"{n}:{s}-{e}\n" for n, s, e in batch if s <= e))
    (tmp_path / "r.bed").write_text("".join(f"{n}\t{s - 1}\t{e}\n" for n, s, e in batch if s <= e <= 700_000))

    def both(*args):
        runs = [
            subprocess.run(
                [KELPA, *[a.replace("REF", ref) for a in args]], capture_output=True, text=True, cwd=tmp_path
            )
            for ref in (url, local)
        ]
        assert runs[0].returncode == 0, runs[0].stderr
        assert (runs[0].stdout, runs[0].stderr) == (runs[1].stdout, runs[1].stderr)

    both("faidx", "REF", "chr1:5-300", "chrM")
    both("faidx", "REF", "-r", "r.txt", "-i")
    both("getfasta", "-fi", "REF", "-bed", "r.bed")


def test_an_index_of_a_url_is_written_only_where_asked(site, tmp_path):
    before = sorted(os.listdir(site.root))
    url = f"{site.http_url}/ref.fa.gz"
    done = subprocess.run([KELPA, "index", url], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode != 0 and "--fai-idx" in done.stderr
    done = subprocess.run([KELPA, "index", url, "--fai-idx", "x.fai", "--gzi-idx", "x.gzi"], cwd=tmp_path)
    assert done.returncode == 0
    assert (tmp_path / "x.fai").read_bytes() == (site.root / "ref.fa.gz.fai").read_bytes()
    assert (tmp_path / "x.gzi").read_bytes() == (site.root / "ref.fa.gz.gzi").read_bytes()
    # The module builds a local index of a remote file (a .gzi beside it),
    # refuses to when told not to, and reads one it is given.
    for name in ("ref.fa", "ref.fa.gz"):
        index = str(tmp_path / f"{name}.local.fai")
        with pytest.raises(Exception, match="^IndexNotFoundError: " + index):
            kelpa.Faidx(f"{site.http_url}/{name}", indexname=index, build_index=False)
        built = kelpa.Fasta(f"{site.http_url}/{name}", indexname=index)
        assert open(index).read() == (site.root / f"{name}.fai").read_text()
        assert str(built["chr2"][7:70]) == str(kelpa.Fasta(str(site.root / name))["chr2"][7:70])
    assert os.path.exists(tmp_path / "ref.fa.gz.local.gzi")
    # A local file's index may be a URL too: downloaded, never built.
    shutil.copy(site.root / "ref.fa", tmp_path / "copy.fa")
    assert len(kelpa.Fasta(str(tmp_path / "copy.fa"), indexname=f"{site.http_url}/ref.fa.fai")["chr2"]) == 250_000
    assert not os.path.exists(tmp_path / "copy.fa.fai")
    assert sorted(os.listdir(site.root)) == before and not os.path.exists(tmp_path / "ref.fa.fai")


def test_what_is_missing_or_refused_says_so(site, tmp_path, monkeypatch):
    with pytest.raises(Exception, match=f"^FastaNotFoundError: {site.http_url}/nope.fa$"):
        kelpa.Fasta(f"{site.http_url}/nope.fa")
    shutil.copy(site.root / "ref.fa", site.root / "bare.fa")
    with pytest.raises(Exception, match=f"^IndexNotFoundError: {site.http_url}/bare.fa.fai$"):
        kelpa.Fasta(f"{site.http_url}/bare.fa")
    with pytest.raises(Exception, match="server ignores Range requests"):
        kelpa.Fasta(f"{site.http_url}/norange/ref.fa")
    # HTTPS: refused until its certificate is trusted.
    for name in ("SSL_CERT_FILE", "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    with pytest.raises(Exception, match=f"^IOError: {site.https_url}/ref.fa: .*certificate"):
        kelpa.Fasta(f"{site.https_url}/ref.fa")
    monkeypatch.setenv("SSL_CERT_FILE", site.cert)
    assert str(kelpa.Fasta(f"{site.https_url}/ref.fa.gz")["chr2"][:80]) == RECORDS[1][1][:80]
    # gs://: a bearer token that the server checks.
    monkeypatch.setenv("GCS_ENDPOINT_URL", site.http_url)
    monkeypatch.setenv("GCS_OAUTH_TOKEN", "wrong")
    refused = "IOError: gs://gs/ref.fa: access refused (HTTP 401) with the bearer token in GCS_OAUTH_TOKEN"
    assert raised(Exception, kelpa.Fasta, "gs://gs/ref.fa") == refused
    monkeypatch.setenv("GCS_OAUTH_TOKEN", Nginx.TOKEN)
    assert str(kelpa.Fasta("gs://gs/ref.fa")["chr1"][10:20]) == RECORDS[0][1][10:20]


def test_a_refused_range_is_not_an_empty_file(site, range_servers):
    # 416 to every range: an empty object only when the size it gives is 0,
    # for the FASTA file and for its index alike.
    server = range_servers()
    server.answer, url = "416", f"{server.url}/ref.fa"
    for fasta, refused in [(url, "ref.fa"), (str(site.root / "ref.fa"), "ref.fa.fai")]:
        with pytest.raises(Exception) as error:
            kelpa.Faidx(fasta, indexname=f"{url}.fai")
        size = os.path.getsize(site.root / refused)
        assert re.fullmatch(
            rf"IOError: {server.url}/{refused}: the server refused bytes 0-\d+ \(HTTP 416\), a range "
            rf"that begins inside the size it gave \({size} bytes\)",
            str(error.value),
        )
    server.size_given = 0
    assert kelpa.Faidx(url).keys == []


@pytest.mark.parametrize(
    "scheme, target",
    [
        ("s3", "a path"),
        ("s3", "itself"),
        ("s3", "another port"),
        ("s3", "another port, scheme-relative"),
        ("gs", "itself"),
        ("gs", "another port"),
    ],
)
def test_credentials_never_leave_their_origin(site, range_servers, monkeypatch, scheme, target):
    # The endpoint redirects every request (302), within itself or to a
    # server on another port; both record every request's head.
    endpoint, other = range_servers(), range_servers()
    token = f"token-of-{scheme}-7f3a"
    if scheme == "s3":
        for name, value in [
            ("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE"),
            ("AWS_SECRET_ACCESS_KEY", "secret-7f3a"),
            ("AWS_SESSION_TOKEN", token),
            ("AWS_ENDPOINT_URL_S3", f"{endpoint.url}/moved"),
        ]:
            monkeypatch.setenv(name, value)
    else:
        monkeypatch.setenv("GCS_ENDPOINT_URL", f"{endpoint.url}/moved")
        monkeypatch.setenv("GCS_OAUTH_TOKEN", token)
    endpoint.moved_to = {
        "a path": "",
        "itself": endpoint.url,
        "another port": other.url,
        "another port, scheme-relative": other.url.removeprefix("http:"),
    }[target]
    url = f"{scheme}://bucket/ref.fa"
    if not target.startswith("another"):
        assert str(kelpa.Fasta(url)["chr2"][:80]) == RECORDS[1][1][:80]
        assert len(endpoint.received) >= 4 and all(token in head for head in endpoint.received)
        return
    assert raised(Exception, lambda: kelpa.Fasta(url)) == (
        f"IOError: {url}: the server redirected {endpoint.url}/moved/bucket/ref.fa to "
        f"{endpoint.moved_to}/bucket/ref.fa; a redirect to another host is refused with "
        "credentials"
    )
    assert not any(token in head for head in other.received)


def test_transient_faults_are_retried_and_lasting_ones_reported(site, proxy, range_servers):
    faidx = kelpa.Faidx(f"{proxy.url}/ref.fa")
    local = kelpa.Faidx(str(site.root / "ref.fa"))
    proxy.faults = ["503", "drop", "short", "503"]
    batch = regions(POOL, 3)
    assert texts(faidx.fetch_many(batch)) == texts(local.fetch_many(batch))
    assert proxy.faults == []
    proxy.faults = ["503"] * 5
    failed = rf"^IOError: {proxy.url}/ref.fa: bytes \d+-\d+ failed after 5 attempts; the last: HTTP 503$"
    with pytest.raises(Exception, match=failed):
        faidx.fetch("chr2", 200_001, 200_100)
    # A compressed answer is no fault of the network: reported at once, not retried.
    server = range_servers()
    url = f"{server.url}/ref.fa"
    faidx, size = kelpa.Faidx(url), os.path.getsize(site.root / "ref.fa")
    server.answer, seen = "gzip", len(server.received)
    with pytest.raises(Exception) as error:
        faidx.fetch("chrM", 1, 7)  # one request: the last block holds the record and its end
    assert str(error.value) == (
        f"IOError: {url}: the server compressed its answer to bytes "
        f"{(size - 1) // 65536 * 65536}-{size - 1} (Content-Encoding: gzip), which a range "
        "read cannot use"
    )
    assert len(server.received) == seen + 1
    # A trickle, two bytes a second, is given up by the deadline of its
    # range (here shortened twentyfold: 6.2 s), in attempts that each fall
    # below the rate floor (2 s, shortened).
    server.answer = "trickle"
    script = f"import kelpa\ntry:\n    kelpa.Faidx({url!r})\nexcept Exception as error:\n    print(error)"
    env = dict(os.environ, KELPA_TEST_NETWORK_TIME_SCALE="0.05")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=6.2 + 2, env=env)
    assert re.fullmatch(
        rf"IOError: {url}: bytes 0-65546 failed after [234] attempts in the 6.2 s allowed for one "
        r"range; the last: Operation (timed out after|too slow).*\n",
        done.stdout,
    ), done.stdout


def test_a_replaced_object_is_never_mixed_in(site, tmp_path):
    path = site.root / "moving.fa"
    write_fasta(path, RECORDS)
    shutil.copy(site.root / "ref.fa.fai", site.root / "moving.fa.fai")
    url = f"{site.http_url}/moving.fa"
    fasta = kelpa.Fasta(url)
    assert str(fasta["chr2"][:10]) == RECORDS[1][1][:10]
    replacement = tmp_path / "new.fa"
    write_fasta(replacement, [(n, s.swapcase()) for n, s in RECORDS])
    os.utime(replacement, (1, 1))  # another ETag even within the same second
    os.replace(replacement, path)
    message = f"^IOError: {url} changed while open: it no longer holds the bytes it had when it was opened$"
    with pytest.raises(Exception, match=message):
        fasta["chr1"][400_000:400_100]
    with pytest.raises(RuntimeError, match="changed while open"):
        fasta.fetch_many([("chr1", s, s + 10) for s in range(300_001, 320_000, 10)])


def test_requests_are_coalesced_and_cached(site):
    url = f"{site.http_url}/ref.fa"
    seen = len(site.log())
    faidx = kelpa.Faidx(url)
    faidx.fetch("chr1", 300_000, 300_099)
    # Open (the first bytes and the index), then one round trip for the
    # fetch: its block, and the record's end, checked once.
    assert [uri for uri, _, _ in site.log()[seen:]] == ["/ref.fa", "/ref.fa.fai"] + ["/ref.fa"] * 2
    faidx.fetch("chr1", 300_200, 300_999)  # from the cache
    assert len(site.log()) == seen + 4
    faidx.fetch("chr1", 600_000, 600_099)  # one block
    assert len(site.log()) == seen + 5
    batch = sorted(regions(POOL * 3, 11), key=lambda r: r[1])
    wanted = sum(max(0, min(e, {"chr1": 700_000, "chr2": 250_000, "chrM": 7}[n]) - s + 1) for n, s, e in batch)
    seen = len(site.log())
    faidx.fetch_many(batch)
    fetched = site.log()[seen:]
    lines = wanted * 61 // 60
    assert sum(sent for _, _, sent in fetched) <= 2 * lines and len(fetched) <= len(batch) // 2


def test_the_lock_is_released_and_ctrl_c_interrupts(site, proxy, tmp_path):
    proxy.delay = 0.5
    faidx = kelpa.Faidx(f"{proxy.url}/ref.fa")
    ticks = []
    worker = threading.Thread(target=lambda: faidx.fetch_many(regions(200, 5)))
    started = time.monotonic()
    worker.start()
    while worker.is_alive():
        ticks.append(time.monotonic())
        time.sleep(0.01)
    assert time.monotonic() - started > 0.45 and len(ticks) > 20  # this thread ran meanwhile
    script = textwrap.dedent(f"""
        import os, signal, sys, threading, time, kelpa
        faidx = kelpa.Faidx({proxy.url + '/ref.fa'!r})
        print("open", flush=True)
        sys.stdin.readline()
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
        for fetch in (lambda: faidx.fetch("chr2", 100, 200),
                      lambda: faidx.fetch_many([("chr1", s, s + 99) for s in range(1, 700_000, 600)])):
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            started = time.monotonic()
            try:
                fetch()
            except KeyboardInterrupt:
                print(round(time.monotonic() - started, 1))
    """)
    proxy.delay = 0
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "open\n"
    proxy.delay = 30  # the fetch now waits far longer than the interruption takes
    out, _ = child.communicate("go\n", timeout=20)
    assert [0.4 <= float(seconds) <= 1.5 for seconds in out.split()] == [True, True]  # a fetch, a batch


def test_without_libcurl_a_url_says_what_is_missing(site, tmp_path):
    env = preloading(
        tmp_path,
        """
        #define _GNU_SOURCE
        #include <dlfcn.h>
        #include <string.h>
        void* dlopen(const char* file, int mode) {
            static void* (*real)(const char*, int);
            if (file != 0 && strstr(file, "libcurl") != 0) return 0;
            if (real == 0) real = (void* (*)(const char*, int))dlsym(RTLD_NEXT, "dlopen");
            return real(file, mode);
        }
    """,
    )
    script = f"import kelpa; kelpa.Fasta({site.http_url + '/ref.fa'!r})"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert "IOError: " + site.http_url + "/ref.fa: reading URLs needs libcurl (libcurl.so.4)" in done.stderr


@pytest.fixture(scope="module")
def moto(site, tmp_path_factory):
    try:
        import moto  # noqa: F401
    except ImportError:
        if REQUIRE_PEERS:
            pytest.fail("moto is not installed (KELPA_REQUIRE_PEERS=1)")
        pytest.skip("moto is not installed")
    server = MotoS3(tmp_path_factory.mktemp("moto"))
    for name in ("ref.fa", "ref.fa.fai", "ref.fa.gz", "ref.fa.gz.fai", "ref.fa.gz.gzi"):
        server.put("genomes", f"hg/{name}", site.root / name)
    yield server
    server.stop()


def test_s3_requests_are_signed_and_checked(site, moto, monkeypatch):
    for key, value in moto.env().items():
        monkeypatch.setenv(key, value)
    batch = regions(POOL, 9)
    for name in ("ref.fa", "ref.fa.gz"):
        remote = kelpa.Faidx(f"s3://genomes/hg/{name}")
        assert texts(remote.fetch_many(batch)) == texts(kelpa.Faidx(str(site.root / name)).fetch_many(batch))
        assert moto.secret.encode() not in pickle.dumps(remote)  # the URL travels, the credentials never
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not-the-secret")
    message = (
        r"^IOError: s3://genomes/hg/ref.fa: access refused \(HTTP 403 SignatureDoesNotMatch\) with the AWS "
        rf"access key {moto.key_id} from the environment$"
    )
    with pytest.raises(Exception, match=message):
        kelpa.Fasta("s3://genomes/hg/ref.fa")
    # The shared credentials file, when the environment has no key.
    monkeypatch.delenv("AWS_ACCESS_KEY_ID")
    monkeypatch.delenv("AWS_SECRET_ACCESS_KEY")
    credentials = site.root.parent / "credentials"
    credentials.write_text(f"[other]\naws_access_key_id = {moto.key_id}\naws_secret_access_key = {moto.secret}\n")
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", str(credentials))
    monkeypatch.setenv("AWS_PROFILE", "other")
    assert str(kelpa.Fasta("s3://genomes/hg/ref.fa")["chrM"]) == "GATTACA"


def test_the_dask_recipe_runs_from_s3(site, moto, tmp_path):
    batch = [r for r in regions(400, 4) if r[1] <= r[2] <= {"chr1": 700_000, "chr2": 250_000, "chrM": 7}[r[0]]]
    (tmp_path / "r.bed").write_text("".join(f"{n}\t{s - 1}\t{e}\n" for n, s, e in batch))
    recipe = os.path.join(os.path.dirname(__file__), "..", "examples", "bed_dask.py")
    args = [sys.executable, recipe, "s3://genomes/hg/ref.fa.gz", "r.bed", "--partitions", "3"]
    done = subprocess.run(
        args, capture_output=True, text=True, cwd=tmp_path, env=dict(os.environ, **moto.env()), timeout=300
    )
    assert done.returncode == 0, done.stderr
    local = kelpa.Fasta(str(site.root / "ref.fa"))
    assert done.stdout == "".join(f">{n}:{s - 1}-{e}\n{local[n][s - 1 : e]}\n" for n, s, e in batch)


def test_threads_share_one_remote_file(site):
    faidx, local = kelpa.Faidx(f"{site.http_url}/ref.fa.gz"), kelpa.Faidx(str(site.root / "ref.fa"))
    batches = [regions(300 if i % 2 else POOL, 50 + i) for i in range(6)]
    read = lambda fa, batch: texts(fa.fetch_many(batch)) + texts(fa.fetch(*r) for r in batch[:40])
    with ThreadPoolExecutor(len(batches)) as threads:
        assert list(threads.map(lambda b: read(faidx, b), batches)) == [read(local, b) for b in batches]
