# Front door for the build. `make` builds; `make check` installs what is
# missing, builds and runs every test (also under sanitizers, with a short
# fuzzing and benchmark smoke run); `make demo` shows the whole loop.
#
# `make` and `make deps` install the core's packages, and the packages of the
# parts named in HOSTS (any of nautilus nemo caja thunar dolphin window desktop macos,
# or all), e.g. `make HOSTS="nautilus thunar"`; each file manager's module is
# built when its packages are there. `make check` installs and requires all.
HOSTS ?=
BUILD_DIR ?= build
# The Python tests never leave compiled bytecode in the tree.
export PYTHONDONTWRITEBYTECODE = 1
BUILD_TYPE ?= Debug
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
# A test without a TIMEOUT of its own still ends: a hang fails the run.
CTEST_TIMEOUT ?= 300
CTEST = ctest --output-on-failure --timeout $(CTEST_TIMEOUT) -j $(JOBS) --test-dir

PREFIX ?= /usr
.PHONY: install package
.PHONY: all build deps check check-format check-plain check-sanitizers check-threads check-fuzz check-bench demo \
	fuzz bench clean format

all: build

deps:
	@scripts/install-deps.sh $(HOSTS)

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(REQUIRE)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The plain suite runs last, so that its summary closes the output. Every
# optional part is required here, so that CI can never skip one silently.
check: check-format check-threads check-fuzz check-bench check-sanitizers check-plain
check check-format check-threads check-fuzz check-bench check-sanitizers check-plain: HOSTS = all
check check-format check-threads check-fuzz check-bench check-sanitizers check-plain: \
	REQUIRE = -DTARVINE_REQUIRE_ALL=ON

# Fails on any source that `make format` would change.
check-format: deps
	git ls-files '*.h' '*.cpp' '*.mm' | xargs clang-format --dry-run -Werror

check-fuzz: deps
	scripts/fuzz.sh 3 build-fuzz

check-bench: deps
	scripts/bench.sh --smoke build-bench

check-plain: build
	$(CTEST) $(BUILD_DIR)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any finding
# fails. An instrumented module cannot load into an uninstrumented file manager,
# and the macOS check links the core with GNUstep uninstrumented, so those two
# labels run in the plain pass only.
check-sanitizers: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVINE_SANITIZE=address,undefined $(REQUIRE)
	cmake --build build-asan -j $(JOBS)
	$(CTEST) build-asan -LE "desktop|macos"

# The identifiers' one-time initialisation under ThreadSanitizer.
check-threads: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTARVINE_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target tarvine_tests
	timeout $(CTEST_TIMEOUT) build-tsan/tests/tarvine_tests --gtest_filter='IdentifiersTest.*'

# Installs every module into its file manager's folder and the bundle under
# PREFIX/lib/tarvine (PREFIX is /usr by default, where the file managers look),
# under DESTDIR if set.
install: deps
	cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build-install -j $(JOBS) --target tarvine-installed
	cmake --install build-install

# Debian packages in build-package/ (tarvine-bundle and one per file manager),
# installable with apt.
package: deps
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build-package -j $(JOBS) --target tarvine-installed
	cd build-package && cpack -G DEB

demo: build
	scripts/demo.sh $(BUILD_DIR)

fuzz: deps
	scripts/fuzz.sh $(FUZZ_SECONDS) build-fuzz

bench: deps
	scripts/bench.sh build-bench

format:
	git ls-files '*.h' '*.cpp' '*.mm' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz build-bench build-install build-package
