# Thin wrapper around CMake. Every target installs what is missing first, so a
# fresh Debian machine needs nothing but `make test` or `make demo`.

JOBS      ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
CTEST_ARGS ?=

# What the build, the tests and the demo use, and nothing else (README.md says
# what each test-only package is for).
DEB_PACKAGES := g++ make cmake ninja-build pkg-config \
    libfmt-dev libsystemd-dev libfec-dev libfftw3-dev \
    googletest libgtest-dev libbenchmark-dev \
    dbus-daemon systemd python3 \
    clang libclang-rt-dev clang-format \
    dablin welle.io \
    debhelper dpkg-dev fakeroot lintian

.PHONY: all deps build test test-asan test-tsan bench demo soak fuzz-smoke fuzz deb install-test format format-check clean

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	    $$SUDO apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# $(1): build folder, $(2): extra CMake arguments
define configure_and_build
	@cmake -S . -B $(1) -G "$(GENERATOR)" $(2) >/dev/null
	@cmake --build $(1) -j $(JOBS)
endef

define run_tests
	@cd $(1) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)
endef

build: deps
	$(call configure_and_build,build,-DCMAKE_BUILD_TYPE=RelWithDebInfo)

test: build
	$(call run_tests,build)

test-asan: deps
	$(call configure_and_build,build-asan,-DCMAKE_BUILD_TYPE=Debug -DDMBTPEG_SANITIZE=address -DDMBTPEG_BUILD_BENCH=OFF)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

test-tsan: deps
	$(call configure_and_build,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DDMBTPEG_SANITIZE=thread -DDMBTPEG_BUILD_BENCH=OFF)
	@cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The service's story with real processes; BROADCAST=DIR plays your own ETI
# recordings (named by frequency in kHz) instead of the demo broadcast, RF=1
# sends the demo broadcast as a radio signal to the SDR tuner.
demo: build
	@python3 tools/demo/dmbtpeg-demo --bin build/bin $(if $(BROADCAST),--broadcast $(BROADCAST)) $(if $(RF),--rf)

# The service from the ASan+UBSan build under a seeded random schedule of
# disturbances for SOAK_MINUTES; SOAK_SEED repeats a schedule (docs/soak.md).
SOAK_MINUTES    ?= 10
SOAK_TIME_SCALE ?= 0.1
SOAK_SEED       ?=
SOAK_PROGRAMS   := dmbtpegd dmbtpeg-navmon dmbtpeg-window dmbtpeg-mkbroadcast dmbtpeg-device

soak: deps
	@cmake -S . -B build-asan -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DDMBTPEG_SANITIZE=address -DDMBTPEG_BUILD_BENCH=OFF >/dev/null
	@cmake --build build-asan -j $(JOBS) --target $(SOAK_PROGRAMS)
	@python3 tools/soak/dmbtpeg-soak --bin build-asan/bin --minutes $(SOAK_MINUTES) --scale $(SOAK_TIME_SCALE) $(if $(SOAK_SEED),--seed $(SOAK_SEED))

# Runs every bench_* program and the service itself at time scale 1, prints one
# table and writes it to docs/performance.md (about two minutes).
bench: deps
	$(call configure_and_build,build-release,-DCMAKE_BUILD_TYPE=Release -DDMBTPEG_BUILD_TESTS=OFF)
	@python3 bench/run-bench --bin build-release/bin --output docs/performance.md

# libFuzzer targets, built with clang in build-fuzz; each runs FUZZ_SECONDS (or FUZZ_RUNS
# inputs, when set) and any crash fails. Corpora grow in build-fuzz/corpus/<target>, crash
# inputs land in build-fuzz/crashes/<target>.
FUZZ_SECONDS ?= 10
FUZZ_RUNS ?= 0

fuzz-smoke: deps
	@python3 fuzz/run-fuzzers --build build-fuzz --seconds $(FUZZ_SECONDS) --jobs $(JOBS)

fuzz: deps
	@python3 fuzz/run-fuzzers --build build-fuzz --seconds $(FUZZ_SECONDS) --runs $(FUZZ_RUNS) --jobs $(JOBS)

# The Debian package, built from a copy of the working tree in build-deb/ so
# that the package and its build files land there. DMBTPEG_CCACHE=1 builds
# through ccache. lintian must find no errors.
DEB_VERSION := $(shell sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
DEB_ARCH    := $(shell dpkg --print-architecture 2>/dev/null)
DEB_FILE    := build-deb/dmbtpeg_$(DEB_VERSION)_$(DEB_ARCH).deb
DEB_JOBS    := $(shell n=$(JOBS); [ "$$n" -gt 2 ] && n=2; echo $$n)

deb: deps
	@rm -rf build-deb && mkdir -p build-deb/dmbtpeg-$(DEB_VERSION)
	@tar --exclude-vcs --exclude='./build*' --exclude='./.cache' --exclude='__pycache__' -cf - . | \
	    tar -xf - -C build-deb/dmbtpeg-$(DEB_VERSION)
	@cd build-deb/dmbtpeg-$(DEB_VERSION) && \
	    DEB_BUILD_OPTIONS="parallel=$(DEB_JOBS) nocheck $(DEB_BUILD_OPTIONS)" \
	    nice -n 19 dpkg-buildpackage -us -uc -b
	@lintian --fail-on error $(DEB_FILE)
	@echo "$(DEB_FILE)"

# Installs the package on this machine, runs the service from it on a private
# system bus, and purges it again (as root; packaging/install-test).
install-test: deb
	@packaging/install-test $(DEB_FILE)

# Every C++ source in the project's own folders, laid out by .clang-format;
# format-check changes nothing and fails on the first file that differs.
FORMAT_DIRS := app bench broadcast channels decoders devices fuzz graph platform support tests tools tpeg
FORMAT_FILES = $(shell find $(FORMAT_DIRS) -name '*.cpp' -o -name '*.h')

format: deps
	@clang-format -i $(FORMAT_FILES)

format-check: deps
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz build-deb
