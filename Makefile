# make test: set up what is missing (ffmpeg and wget, a CPython 3.13 virtual environment,
# the build and test dependencies), build the extension, run the tests.
# make demo: the same set-up, then the whole job offline against local stand-in services.
# Pick the interpreter with: make test PYTHON=/path/to/python3.13

VENV   := .venv
PY     := $(VENV)/bin/python
SOURCES := $(shell find src tools -type f) CMakeLists.txt pyproject.toml

.PHONY: test demo build system bench clean

test: build
	$(PY) -P -m pytest -q tests

demo: build
	@command -v espeak-ng >/dev/null 2>&1 || $(MAKE) --no-print-directory apt PACKAGES=espeak-ng || \
	  echo "espeak-ng is not available: the stand-in speech service will speak a tone"
	$(PY) -P demo/run_demo.py

bench: build
	$(PY) -P bench/bench_binding.py
	$(PY) -P bench/bench_pipeline.py

build: system $(VENV)/.built

system:
	@for tool in ffmpeg ffprobe wget; do \
	  command -v $$tool >/dev/null 2>&1 || { $(MAKE) --no-print-directory apt PACKAGES="ffmpeg wget" && break; } || exit 1; \
	done

# Installs Debian packages when apt-get can be used (as root, or through sudo).
apt:
	@if ! command -v apt-get >/dev/null 2>&1; then echo "please install: $(PACKAGES)"; exit 1; fi; \
	if [ "$$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi; \
	$$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $(PACKAGES) >/dev/null

$(VENV)/bin/python:
	@python=$$(sh tools/find-python.sh $(PYTHON)) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps: $(VENV)/bin/python pyproject.toml
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja requests pytest hypothesis mypy
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build $(VENV) demo-output
