# Two entry points do all the set-up on a fresh machine:
#   make test   builds the extension into .venv and runs the test suite
#   make demo   builds it and runs a demo search (see README)
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
DEMO_STAMP := $(VENV)/.demo-deps-installed
TEST_STAMP := $(VENV)/.test-deps-installed

BROWSER_STAMP := $(VENV)/.browser-deps-installed
DEMO_WORK := examples/demo/work
FIND_IMAGES := $(VENV)/bin/find-images --settings examples/demo

.PHONY: test quick demo build bench clean browser lint format

# -P: the installed package is tested, not the source folder (which lacks the native parts).
# Style and types are checked first, so that CI fails on them as on a failing test.
test: build $(TEST_STAMP) browser lint
	$(PY) -P -m pytest $(PYTEST_ARGS)

# The edit-and-test loop: everything but the slow, browser and cluster tests, in about a minute,
# spread over one worker process per processor (QUICK_WORKERS=N chooses, 0 runs them in this
# process). On two busy cores a pool test that waits for its workers to end can then lose the
# race; `make test` runs everything in one process. It needs the test tools as `make test`
# does; selenium is installed so that the browser test's file is collected.
QUICK_WORKERS := auto
quick: build $(TEST_STAMP) $(BROWSER_STAMP)
	$(PY) -P -m pytest -q -n $(QUICK_WORKERS) -m "not slow and not browser and not cluster" $(PYTEST_ARGS)

# The demo runs the installed find-images command on real photographs and ends with a report.
# It needs the module, its runtime dependencies and scikit-image (for the photographs) only.
demo: build $(DEMO_STAMP)
	$(PY) examples/demo/prepare_photos.py
	$(FIND_IMAGES) index $(DEMO_WORK)/photos
	$(FIND_IMAGES) similar $(DEMO_WORK)/queries/coffee_small.jpg $(DEMO_WORK)/photos --limit 5
	$(FIND_IMAGES) crop $(DEMO_WORK)/queries/astronaut_crop.png $(DEMO_WORK)/photos --limit 8 \
		--report $(DEMO_WORK)/crop_report.html

build: $(STAMP)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

$(STAMP): pyproject.toml scripts/find_python312.sh
	@python312=$$(scripts/find_python312.sh) || exit 1; \
	if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then \
		echo "Creating $(VENV) with $$python312"; rm -rf $(VENV); "$$python312" -m venv $(VENV) || exit 1; fi
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.12" \
		numpy "pillow>=11.3" pillow-heif opencv-python-headless faiss-cpu tqdm send2trash
	touch $(STAMP)

# Above: the build tools (the build runs without isolation so its folder is reused) and what
# the module and the find-images command need at run time. Below: what only the tests need,
# among them Ray (the cluster road's tests run a local multi-node Ray cluster).
$(TEST_STAMP): $(STAMP) Makefile
	$(PY) -m pip install --quiet "pytest>=8" "pytest-xdist>=3.5" "ray>=2.9" $(LINTERS)
	touch $(TEST_STAMP)

# The checkers are pinned: a new release's rules must not fail a build that passed.
LINTERS := "mypy==2.4.1" "ruff==0.17.6" "clang-format==23.1.5"
CXX_SOURCES = $(shell find src search_index_tools -name '*.cpp' -o -name '*.h')

# Python: ruff's rules and layout (settings in pyproject.toml), and mypy --strict over the
# package (mypy reads the installed module's type information, so the build comes first).
# C++: clang-format with the checked-in .clang-format.
lint: build $(TEST_STAMP)
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(PY) -m mypy

# Rewrites the sources in the checked layout: ruff's fixes and formatter, then clang-format.
# What ruff cannot fix by itself does not stop the rest; `make lint` lists it afterwards.
format: $(TEST_STAMP)
	$(VENV)/bin/ruff check --fix --exit-zero
	$(VENV)/bin/ruff format
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)

# The report's browser test: Debian's chromium and its driver, driven through selenium. Root
# (as in CI) installs them where missing, and make fails when it cannot; another user is told
# what to install.
browser: $(BROWSER_STAMP)
	@if command -v chromium >/dev/null && command -v chromedriver >/dev/null; then :; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y chromium chromium-driver; \
	else \
		echo "make test needs Chromium and its driver for the report's browser test." >&2; \
		echo "Install them (on Debian: sudo apt-get install chromium chromium-driver), then run make test again." >&2; \
		exit 1; \
	fi

$(BROWSER_STAMP): $(STAMP)
	$(PY) -m pip install --quiet selenium
	touch $(BROWSER_STAMP)

# The demo's photographs come with scikit-image; only the demo needs it.
$(DEMO_STAMP): $(STAMP)
	$(PY) -m pip install --quiet scikit-image
	touch $(DEMO_STAMP)

# Benchmarks on generated data (a few minutes; see bench/README.md).
bench: build
	for script in bench/bench_*.py; do $(PY) $$script || exit 1; done

clean:
	rm -rf build $(VENV)
