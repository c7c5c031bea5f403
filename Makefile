# Two entry points do all the set-up on a fresh machine:
#   make test   builds the extension into .venv and runs the test suite
#   make demo   builds it and runs a demo search (see README)
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
DEMO_STAMP := $(VENV)/.demo-deps-installed

.PHONY: test demo build bench clean

test: build
	$(PY) -m pytest $(PYTEST_ARGS)

demo: build $(DEMO_STAMP)
	$(PY) examples/demo/run_demo.py

build: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

$(STAMP): pyproject.toml scripts/find_python312.sh
	@python312=$$(scripts/find_python312.sh) || exit 1; \
	if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then \
		echo "Creating $(VENV) with $$python312"; rm -rf $(VENV); "$$python312" -m venv $(VENV) || exit 1; fi
	$(PY) -m pip install --quiet --upgrade pip
	# Build tools (the build runs without isolation so its folder is reused) and runtime/test dependencies.
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.12" \
		numpy pillow opencv-python-headless faiss-cpu "pytest>=8" mypy
	# The cluster road's tests run a local multi-node Ray cluster.
	$(PY) -m pip install --quiet "ray>=2.9"
	touch $(STAMP)

# The demo's photographs come with scikit-image; only the demo needs it.
$(DEMO_STAMP): $(STAMP)
	$(PY) -m pip install --quiet scikit-image
	touch $(DEMO_STAMP)

# Benchmarks on generated data (a few minutes; see bench/README.md).
bench: build
	for script in bench/bench_*.py; do $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV)
