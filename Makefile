# Entry points; the build itself is CMake with Ninja.
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build demo check check-sanitize clean

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

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
