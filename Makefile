# Top-level commands. Every target that needs packages installs what is missing first.
BUILD ?= build
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS ?= $(shell nproc)

.PHONY: deps build run test bench fuzz clean format package

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run

test: build
	@scripts/test

# The two Debian packages, build/midiflash-cli_<version>_amd64.deb (the command line) and
# build/midiflash_<version>_amd64.deb (the window), built in build-deb with Debian's compiler
# flags (scripts/package).
package: deps
	@JOBS=$(JOBS) scripts/package $(BUILD)

bench: build
	@scripts/bench

fuzz: deps
	@scripts/fuzz $(FUZZ_SECONDS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-deb build-asan build-tsan build-fuzz
