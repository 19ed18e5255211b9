# Everything runs in the virtual environment .venv, which scripts/python.sh
# creates and fills on first use.

PYTHON := .venv/bin/python
PYTEST_ARGS ?=
BENCH_ARGS ?=

.PHONY: all build demo test bench clean distclean

all: build

# Configures once, then recompiles only what changed (build/<wheel tag>).
build:
	@bash scripts/python.sh build

demo: build
	$(PYTHON) examples/demo.py

# pytest exits with 5 when it collects no test; that is not a failure here.
test: build
	@$(PYTHON) -m pytest -q tests $(PYTEST_ARGS); status=$$?; \
	if [ $$status -eq 5 ]; then status=0; fi; exit $$status

bench: build
	$(PYTHON) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build dist .pytest_cache .hypothesis
	find . -path ./.venv -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +

# Also drops the environment and the generated benchmark data.
distclean: clean
	rm -rf .venv bench/data
