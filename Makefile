# Thin entry points over CMake. Every target installs missing Debian packages
# first (scripts/install-deps.sh), so each works on a fresh machine.
JOBS ?= 2
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
SOAK_SECONDS ?= 120
SOAK_SEED ?=
SOAK_ARGS ?=
SOAK_SANITIZE ?= thread
MUTANTS ?=
MUTANTS_PICK ?= 0
MUTANTS_SEED ?= 0
MUTANTS_SECONDS ?= 60
MUTANTS_SOAK_SEED ?= 7

.PHONY: all deps build python wheel check-wheel docs test asan tsan tsan-build test-under-load soak mutants demo bench \
  bench-scale10k fuzz clean install check-install

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

# The Python host package traderhvr, into build/python/ (part of build too):
#   PYTHONPATH=build/python python3 examples/python/minimal.py --port PORT
python: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS) --target traderhvr

# The installable Python package as a wheel in dist/, built offline with
# Debian's setuptools (python/setup.py runs CMake in build-wheel/).
PYTHON ?= /usr/bin/python3
wheel: deps
	rm -f dist/traderhvr-*.whl
	JOBS=$(JOBS) $(PYTHON) -m pip wheel --no-build-isolation --no-deps --no-index -w dist ./python

# The wheel in fresh virtual environments: the examples against hvr-sim, and
# the pytest suite against the installed package.
check-wheel: build wheel
	bash scripts/check-wheel.sh build dist/traderhvr-*.whl

# The API reference of the host headers (build/docs/html/index.html). Any
# Doxygen warning fails the target.
docs: deps
	mkdir -p build/docs
	doxygen docs/Doxyfile

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DHVR_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The tests that involve threads, with ThreadSanitizer. Built with clang, so
# the lock annotations are checked too (a breach fails the build).
TSAN_ENV = TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp"
tsan-build: deps
	CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DHVR_SANITIZE=thread \
	  -DHVR_BUILD_TOOLS=OFF -DHVR_THREAD_SAFETY=ON
	cmake --build build-tsan -j $(JOBS)

tsan: tsan-build
	$(TSAN_ENV) ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threads

# make test's suite and make tsan's, both trees built first (an up-to-date
# tree is not built again), then run while two CPU hogs (stress-ng) keep the
# machine busy: no test may depend on timing or on the kernel's buffer sizes.
test-under-load: build tsan-build
	$(TSAN_ENV) JOBS=$(JOBS) bash scripts/test-under-load.sh build build-tsan

# The module, headers, CMake package, pkg-config file and tools under PREFIX.
install: build
	cmake --install build --prefix $(PREFIX)

# Install to a temporary prefix, build examples/minimal_host against it and
# run it against hvr-sim.
check-install: build
	bash scripts/check-install.sh build

# The randomized fault soak: the module and the driver under ThreadSanitizer
# (build-tsan, the clang build of make tsan), or with SOAK_SANITIZE=address
# under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan); hvr-sim
# from the normal build. Prints its seed; SOAK_SEED=N replays the random
# choices of a run.
ifeq ($(SOAK_SANITIZE),address)
SOAK_BUILD = build-asan
SOAK_CC =
SOAK_CMAKE = -DCMAKE_BUILD_TYPE=Debug -DHVR_SANITIZE=address
SOAK_ENV = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
else
SOAK_BUILD = build-tsan
SOAK_CC = CC=clang CXX=clang++
SOAK_CMAKE = -DCMAKE_BUILD_TYPE=Debug -DHVR_SANITIZE=thread -DHVR_BUILD_TOOLS=OFF -DHVR_THREAD_SAFETY=ON
SOAK_ENV = TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp"
endif

soak: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS) --target hvr-sim
	$(SOAK_CC) cmake -S . -B $(SOAK_BUILD) $(SOAK_CMAKE)
	cmake --build $(SOAK_BUILD) -j $(JOBS) --target hvr-soak TraderHVR
	$(SOAK_ENV) bash scripts/soak.sh $(SOAK_BUILD) build/sim/hvr-sim $(SOAK_SECONDS) "$(SOAK_SEED)" $(SOAK_ARGS)

# The soak's mutation score: each deliberate fault of tests/mutants/ applied
# to a scratch copy (build-mutants/), built, and soaked with a fixed seed.
#   make mutants                                   every mutant
#   make mutants MUTANTS="push-lost order-sent-twice"
#   make mutants MUTANTS_PICK=2 MUTANTS_SEED=N     two drawn by seed N (CI)
mutants: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS) --target hvr-sim
	JOBS=$(JOBS) bash tests/mutants/run.sh build/sim/hvr-sim --seconds $(MUTANTS_SECONDS) \
	  --soak-seed $(MUTANTS_SOAK_SEED) --pick $(MUTANTS_PICK) --seed $(MUTANTS_SEED) $(MUTANTS)

# A demo session against the bundled simulator.
demo: build
	bash scripts/demo.sh build

# Every peer the benchmarks need runs inside hvr_bench: only it is built.
bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DHVR_BUILD_BENCHMARKS=ON -DHVR_BUILD_TESTS=OFF
	cmake --build build-release -j $(JOBS) --target hvr_bench
	bash scripts/bench.sh build-release

# 10,000 traders in one process, end to end, in the shared mode (they fit a
# descriptor limit of 20,000): heavier than the default run. With
# `--threads own` (bash scripts/bench.sh build-release --only scale10k
# --threads own) they need more descriptors than most shells allow (ulimit -n
# raises the hard limit only with the privilege to; the benchmark says what is
# missing).
bench-scale10k: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DHVR_BUILD_BENCHMARKS=ON -DHVR_BUILD_TESTS=OFF
	cmake --build build-release -j $(JOBS) --target hvr_bench
	ulimit -n 40000 2>/dev/null || true; bash scripts/bench.sh build-release --only scale10k

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DHVR_FUZZ=ON \
	  -DHVR_BUILD_TESTS=OFF -DHVR_BUILD_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_framing
	bash scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz build-wheel build-mutants dist
