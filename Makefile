# Everything runs in the virtual environment .venv, which scripts/python.sh
# creates and fills on first use, with Python 3.13. `make test PYTHON=3.12`
# (or 3.11) builds and tests with that version instead, in .venv-3.12 and a
# build tree of its own; the environment variable PYTHON is not read.

PYTHON := 3.13
export KELPA_PYTHON_VERSION := $(PYTHON)
VENV_PYTHON := $(if $(filter 3.13,$(PYTHON)),.venv,.venv-$(PYTHON))/bin/python
PYTEST_ARGS ?=
BENCH_ARGS ?=

.PHONY: all build demo test docs bench bench-deps wheel sdist lint format clean distclean

all: build

# Configures once, then recompiles only what changed (build/<wheel tag>).
build:
	@bash scripts/python.sh build

# The release files, in dist/ (scripts/release.sh): the manylinux_2_28
# binary wheel, built with its own toolchain, and the source distribution.
wheel:
	@bash scripts/release.sh wheel

sdist:
	@bash scripts/release.sh sdist

# The house style (scripts/lint.sh): `make lint` checks it, `make format` applies it.
lint:
	@bash scripts/lint.sh

format:
	@bash scripts/lint.sh --fix

# The demo needs kelpa and numpy only: the build's requirements.
demo: build
	$(VENV_PYTHON) examples/demo.py

# The tests add their requirements (scripts/python.sh test-venv).
# pytest exits with 5 when it collects no test; that is not a failure here.
test: build
	@bash scripts/python.sh test-venv
	@$(VENV_PYTHON) -m pytest -q tests $(PYTEST_ARGS); status=$$?; \
	if [ $$status -eq 5 ]; then status=0; fi; exit $$status

# The documentation (scripts/docs.sh): the site built from docs/ and the stubs
# into build/docs/html, warnings as errors, and kelpa.1; then every example in
# it run. Its tools are pinned and installed into build/docs-venv.
docs: build
	@bash scripts/docs.sh

bench: build bench-deps
	$(VENV_PYTHON) bench/run.py $(BENCH_ARGS)
	$(VENV_PYTHON) bench/bench_cli.py
	$(VENV_PYTHON) bench/bench_bgzf.py
	$(VENV_PYTHON) bench/bench_remote.py
	$(VENV_PYTHON) bench/bench_arrays.py
	$(VENV_PYTHON) bench/bench_variants.py
	$(VENV_PYTHON) bench/bench_builds.py
	$(VENV_PYTHON) bench/bench_versions.py
	$(VENV_PYTHON) bench/bench_kernels.py
	$(VENV_PYTHON) bench/bench_cold.py

# The peers of the benchmarks: pysam and pyfastx into .venv (--no-deps: pysam
# needs nothing and pyfastx is used without its extras), samtools, bedtools,
# tabix (bgzip) and hyperfine (which times the kelpa program) from Debian when
# running as root, and nginx, which serves the remote benchmark.
# bench/run.py skips whatever peer is still missing.
bench-deps: build
	@$(VENV_PYTHON) -c 'import pysam, pyfastx, fuse' 2>/dev/null || \
		$(VENV_PYTHON) -m pip install --disable-pip-version-check --no-deps -r bench/requirements.txt
	@if [ "$$(id -u)" = 0 ] && ! { command -v samtools && command -v bedtools && command -v bgzip && command -v hyperfine && command -v fusermount && { command -v nginx || test -x /usr/sbin/nginx; }; } >/dev/null 2>&1; then \
		{ apt-get update -qq && apt-get install -y samtools bedtools tabix hyperfine nginx openssl fuse libfuse2; } || \
			echo "bench-deps: samtools/bedtools/tabix/hyperfine/nginx not installed; those peers are skipped"; \
	fi

clean:
	rm -rf build dist .pytest_cache .hypothesis
	find . \( -path ./.venv -o -path "./.venv-3.*" \) -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +

# Also drops the environment and the generated benchmark data.
distclean: clean
	rm -rf .venv .venv-3.* bench/data
