# Entry points; the build itself is CMake with Ninja.
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build demo check check-sanitize bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -G Ninja -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

demo: build
	./scripts/demo.sh $(BUILD)/wardfs

check: build
	cd $(BUILD) && ctest --output-on-failure --timeout 600

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
check-sanitize: deps
	cmake -G Ninja -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVASKEL_SANITIZE=ON
	cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && ctest --output-on-failure --timeout 600

# Side-by-side benchmark; BENCH_ARGS=--quick for a run under a minute.
bench: build
	./scripts/install-deps.sh bindfs fio
	cmake --build $(BUILD) --target metaops
	mkdir -p bench/results
	BUILD=$(BUILD) ./bench/run.sh $(BENCH_ARGS) | tee bench/results/$$(date +%Y%m%d-%H%M%S).txt

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
