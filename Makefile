# The project's commands. Each is idempotent: a second run installs nothing and rebuilds only
# what changed.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/dev
JOBS ?= 2

.PHONY: all demo test build bench system clean format
all: build

system:
	@tools/ensure-system-packages.sh

$(VENV)/.requirements-done: requirements.txt | system
	@test -x $(PY) || { p=$$(tools/find-python312.sh) && $$p -m venv $(VENV); }
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements.txt
	@touch $@

venv: $(VENV)/.requirements-done

$(BUILD)/build.ninja: CMakeLists.txt | $(VENV)/.requirements-done
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

build: system $(BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD) $(PY) examples/poisson.py

test: build
	tools/check-format.sh
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(PY) -m pytest -q python/tests

bench: build
	@for b in bench/*.py; do echo "== $$b"; PYTHONPATH=$(BUILD) $(PY) $$b || exit 1; done

clean:
	rm -rf build

# Formats the C++ sources as .clang-format says (make test checks them first).
format: | $(VENV)/.requirements-done
	tools/check-format.sh --fix

# examples/poisson.py on a small mesh under valgrind's memcheck.
.PHONY: memcheck
memcheck: build
	tools/run-memcheck.sh

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer, in build/asan.
.PHONY: sanitize
sanitize: system | $(VENV)/.requirements-done
	JOBS=$(JOBS) tools/run-sanitized-tests.sh

# Fuzzing the mesh readers (clang, libFuzzer): each fuzzer runs FUZZ_SECONDS, one after another.
FUZZ_SECONDS ?= 600
.PHONY: fuzz
fuzz: | $(VENV)/.requirements-done
	FUZZ_SECONDS=$(FUZZ_SECONDS) tools/run-fuzzers.sh
