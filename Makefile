# The two commands a newcomer types are `make demo` and `make test`. Both
# install what they need first and are safe to repeat.

SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE := $(shell [ -x /usr/bin/cmake ] && echo /usr/bin/cmake || echo cmake)
CTEST := $(shell [ -x /usr/bin/ctest ] && echo /usr/bin/ctest || echo ctest)
CTEST_FLAGS := --output-on-failure --no-tests=error -j $(JOBS) --timeout 600
FUZZ_SECONDS ?= 60

APT_PACKAGES := cmake ninja-build g++ libgtest-dev llvm
FUZZ_APT_PACKAGES := clang-16 libclang-rt-16-dev
# A real single-node SLURM cluster for the CUNQA tests.
CLUSTER_APT_PACKAGES := slurm-wlm munge
# What the Python tests and the type checks install into .venv.
PY_TEST_PACKAGES := "pytest>=8" "qiskit>=1.0" "qiskit-aer>=0.15" "mypy>=1.13" \
	"qiskit-machine-learning>=0.9" "qiskit-algorithms>=0.4"

.PHONY: all deps build test test-release test-asan test-tsan test-python test-types cluster-stop install demo asan tsan bench fuzz fuzz-deps format clean

all: build

# Installs the Debian packages the build needs, running apt only when one is missing.
deps:
	@bash scripts/apt-install.sh $(APT_PACKAGES)

fuzz-deps: deps
	@bash scripts/apt-install.sh $(FUZZ_APT_PACKAGES)

build: deps
	$(CMAKE) --preset release
	$(CMAKE) --build build/release -j $(JOBS)

test: test-release test-asan test-tsan test-python test-types

# The Python module, built and installed into .venv by install.sh, tested
# against the real Qiskit and Aer.
install:
	bash install.sh

# The CUNQA tests raise QPU families as real SLURM jobs on a cluster that
# scripts/slurm-cluster.sh starts on this machine (and leaves running).
test-python: install
	.venv/bin/pip install -q $(PY_TEST_PACKAGES)
	@bash scripts/apt-install.sh $(CLUSTER_APT_PACKAGES)
	bash scripts/slurm-cluster.sh start
	MORVANE_TEST_SLURM=1 .venv/bin/python -m pytest -q tests/python

# The installed type stubs against the installed module, with no allowlist, so
# any difference fails; then the examples under mypy --strict.
test-types: install
	.venv/bin/pip install -q $(PY_TEST_PACKAGES)
	.venv/bin/python -m mypy.stubtest morvane --mypy-config-file pyproject.toml
	.venv/bin/python -m mypy --strict examples/*.py

cluster-stop:
	bash scripts/slurm-cluster.sh stop

demo:
	@[ -x .venv/bin/python ] && .venv/bin/python -c "import morvane" 2>/dev/null || bash install.sh
	.venv/bin/python examples/quickstart.py
	.venv/bin/python examples/maxcut_qaoa.py

test-release: build
	cd build/release && $(CTEST) $(CTEST_FLAGS)

# The sanitizer builds compile at -O1 with line tables only (-g1): that is
# what the sanitizers' own documentation advises, keeps every report's file
# and line, and halves their build time against -O2 -g.
asan: deps
	$(CMAKE) --preset asan
	$(CMAKE) --build build/asan -j $(JOBS)

test-asan: asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		$(CTEST) $(CTEST_FLAGS)

# ThreadSanitizer covers the suites whose code runs on several threads: the
# pool, the parallel kernels, the batch reductions and the native backend.
TSAN_TESTS := support_tests sim_tests observable_tests exec_tests
tsan: deps
	$(CMAKE) --preset tsan
	$(CMAKE) --build build/tsan -j $(JOBS) --target $(TSAN_TESTS)

test-tsan: tsan
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		setarch $$(uname -m) -R $(CTEST) $(CTEST_FLAGS) -L tsan

bench: deps
	$(CMAKE) --preset bench
	$(CMAKE) --build build/bench -j $(JOBS)
	@echo "benchmarks built in build/bench/bench; run them by hand (see README)"

# Runs the OpenQASM importer fuzzer for FUZZ_SECONDS seconds on the corpus
# under fuzz/corpus (new inputs it finds are kept in build/fuzz/corpus).
fuzz: fuzz-deps
	$(CMAKE) --preset fuzz
	$(CMAKE) --build build/fuzz -j $(JOBS) --target qasm_import_fuzz
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz/qasm_import_fuzz build/fuzz/corpus fuzz/corpus \
		-max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
		-dict=fuzz/qasm.dict -print_final_stats=1

format:
	@bash scripts/apt-install.sh clang-format-16
	find src tests bench fuzz -name '*.hpp' -o -name '*.cpp' | xargs clang-format-16 -i

clean:
	rm -rf build .venv
