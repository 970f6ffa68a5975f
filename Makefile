# Thin entry points over CMake. Every target installs missing Debian packages
# first (scripts/install-deps.sh), so each works on a fresh machine.
JOBS ?= 2
FUZZ_SECONDS ?= 60

.PHONY: all deps build test asan tsan demo bench fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

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
tsan: deps
	CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DHVR_SANITIZE=thread \
	  -DHVR_BUILD_TOOLS=OFF -DHVR_THREAD_SAFETY=ON
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threads

# A demo session against the bundled simulator.
demo: build
	bash scripts/demo.sh build

# Every peer the benchmarks need runs inside hvr_bench: only it is built.
bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DHVR_BUILD_BENCHMARKS=ON -DHVR_BUILD_TESTS=OFF
	cmake --build build-release -j $(JOBS) --target hvr_bench
	bash scripts/bench.sh build-release

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DHVR_FUZZ=ON \
	  -DHVR_BUILD_TESTS=OFF -DHVR_BUILD_TOOLS=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzz_framing
	bash scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
