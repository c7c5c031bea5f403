# Two entry points do all the set-up on a fresh machine:
#   make test   builds the extension into .venv and runs the test suite
#   make demo   builds it and runs a demo search (see README)
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.deps-installed
DEMO_STAMP := $(VENV)/.demo-deps-installed

BROWSER_STAMP := $(VENV)/.browser-deps-installed
DEMO_WORK := examples/demo/work
FIND_IMAGES := $(VENV)/bin/find-images --settings examples/demo

.PHONY: test demo build bench clean browser

test: build browser
	# -P: the installed package is tested, not the source folder (which lacks the native parts).
	$(PY) -P -m pytest $(PYTEST_ARGS)

# The demo runs the installed find-images command on real photographs and ends with a report.
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
	# Build tools (the build runs without isolation so its folder is reused) and runtime/test dependencies.
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.12" \
		numpy pillow opencv-python-headless faiss-cpu "pytest>=8" mypy
	# The find-images command's progress bars.
	$(PY) -m pip install --quiet tqdm
	# find-images duplicates --trash sends pictures to the desktop trash through it.
	$(PY) -m pip install --quiet send2trash
	# The cluster road's tests run a local multi-node Ray cluster.
	$(PY) -m pip install --quiet "ray>=2.9"
	touch $(STAMP)

# The report's browser test: Debian's chromium and its driver (installed where missing and
# apt-get is there), driven through selenium.
browser: $(BROWSER_STAMP)
	@command -v chromium >/dev/null && command -v chromedriver >/dev/null || \
	if command -v apt-get >/dev/null; then apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y chromium chromium-driver; \
	else echo "chromium and chromedriver are missing and apt-get is not there: the browser test will fail"; fi

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
