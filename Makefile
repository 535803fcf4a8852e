# The commands a person types. Each finds a CPython >= 3.12 by itself (PYTHON=... overrides)
# and keeps its own virtual environment per interpreter version under .venv-X.Y/.

SHELL := /bin/bash
PY := $(shell PYTHON='$(PYTHON)' tools/find-python)
ifeq ($(PY),)
$(error no CPython 3.12 or later found; set PYTHON=/path/to/python3.12)
endif
PYVER := $(shell $(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv-$(PYVER)
VPY := $(VENV)/bin/python
BUILD_FLAGS := -C cmake.define.QUARL_WERROR=ON -C cmake.define.QUARL_TEST_PROBE=ON

.PHONY: all install test valgrind demo bench bench-json clean

all: install

$(VPY):
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# Builds the wheel (abi3) from this tree and installs it with the test extras.
install: $(VPY)
	$(VPY) -m pip install --quiet $(BUILD_FLAGS) '.[test]'

test: install
	$(VPY) -m pytest -q

# Memcheck of tools/valgrind_workload.py, which calls every function on its success and error
# paths (some 15 s). Fails when memory is definitely lost, or read or written wrongly, in the
# extension's own frames; the interpreter's own findings are listed, not counted.
valgrind: install
	$(VPY) tools/valgrind.py

# Inspects examples/shop and materializes every asset through the two command-line entry
# points, each in its own process; the runs are left in examples/out/.
demo: install
	$(VPY) examples/run_demo.py

# The JSON writer and parser against RapidJSON (header-only, from Debian's rapidjson-dev) on the
# same generated documents; prints the ratios ours/RapidJSON. Not a test: nothing here asserts time.
BENCH_CXX ?= g++
JSON_SOURCES := native/json/json_value.cpp native/json/json_parser.cpp native/json/json_writer.cpp

bench/out/json_bench: bench/json_bench.cpp $(JSON_SOURCES) $(wildcard native/json/*.hpp)
	@test -d /usr/include/rapidjson || { echo "installing rapidjson-dev"; apt-get install -y rapidjson-dev; }
	mkdir -p bench/out
	$(BENCH_CXX) -O2 -std=c++20 -Wall -Wextra -I native -o $@ bench/json_bench.cpp $(JSON_SOURCES)

bench-json: bench/out/json_bench
	bench/out/json_bench

# Every benchmark, each against its baseline in the same run, printing the ratios ours/baseline
# (bench/README.md keeps the figures of the last run and what holds back those that miss their
# target). Times first, then instruction counts (valgrind, when installed), then the JSON writer.
BENCH_SCRIPTS := declare partitions inspect materialize import memory instructions
bench: install bench/out/json_bench
	@for name in $(BENCH_SCRIPTS); do \
	    echo; echo "== bench_$$name.py"; $(VPY) bench/bench_$$name.py || exit 1; \
	done
	@echo; echo "== json_bench"; bench/out/json_bench

clean:
	rm -rf build .venv-* .pytest_cache .hypothesis
