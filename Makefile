# Entry points; the build itself is CMake with Ninja.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
ARMHF_BUILD ?= build-armhf
DEB_BUILD ?= build-deb
DEB_ARMHF_BUILD ?= build-deb-armhf
FUSE3_BUILD ?= build-fuse3
FUSE3_LATEST_BUILD ?= build-fuse3-latest
ARMHF_FUSE3_BUILD ?= build-armhf-fuse3
FUZZ_SECONDS ?= 300
SOAK_SEEDS ?= 1000
SOAK_REPEAT ?= 20
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build build-fuse3 build-fuse3-latest armhf-tree build-armhf build-armhf-fuse3 demo check check-fuse3 \
	check-fuse3-latest check-sanitize check-tsan check-armhf deb deb-armhf check-boot check-boot-armhf \
	check-deb soak fuzz bench xfstests clean

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
	$(MAKE) fuzz FUZZ_SECONDS=15

# wardfs built against libfuse 3 (Debian's libfuse3-dev, which installs beside libfuse 2),
# and the whole suite run against it.
build-fuse3: deps
	./scripts/install-deps.sh libfuse3-dev
	cmake -G Ninja -S . -B $(FUSE3_BUILD) $(CMAKE_FLAGS) -DVASKEL_FUSE=3
	cmake --build $(FUSE3_BUILD)

check-fuse3: build-fuse3
	cd $(FUSE3_BUILD) && ctest --output-on-failure --timeout 600

# wardfs built against the libfuse 3 of Debian's newest suite, made from its source package
# into the build folder (with io_uring), or against LIBFUSE3_PREFIX=DIR, a libfuse 3 of one's
# own. The whole suite runs with kernel passthrough (the default where the kernel has it),
# once more without it, and the mount tests once more over io_uring, with the fuse module's
# switch set for that run and put back.
LIBFUSE3_LATEST = $(FUSE3_LATEST_BUILD)/libfuse
build-fuse3-latest: deps
	./scripts/install-deps.sh meson liburing-dev libnuma-dev dpkg-dev
	$(if $(LIBFUSE3_PREFIX),,./scripts/libfuse-latest.sh $(LIBFUSE3_LATEST))
	cmake -G Ninja -S . -B $(FUSE3_LATEST_BUILD) $(CMAKE_FLAGS) -DVASKEL_FUSE=3 \
		-DVASKEL_LIBFUSE3_PREFIX=$(abspath $(or $(LIBFUSE3_PREFIX),$(LIBFUSE3_LATEST)/prefix))
	cmake --build $(FUSE3_LATEST_BUILD)

check-fuse3-latest: build-fuse3-latest
	cd $(FUSE3_LATEST_BUILD) && ctest --output-on-failure --timeout 600
	cd $(FUSE3_LATEST_BUILD) && WARDFS_TEST_OPTIONS=no_passthrough \
		ctest --output-on-failure --timeout 600
	cd $(FUSE3_LATEST_BUILD) && WARDFS_TEST_OPTIONS=io_uring \
		../scripts/with-fuse-uring.sh ctest -L fuse --output-on-failure --timeout 600; \
		status=$$?; [ $$status -eq 0 ] || [ $$status -eq 77 ]

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
check-sanitize: deps
	cmake -G Ninja -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVASKEL_SANITIZE=ON
	cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && ctest --output-on-failure --timeout 600

# The mount tests with a ThreadSanitizer build of wardfs and the library.
check-tsan: deps
	cmake -G Ninja -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVASKEL_TSAN=ON
	cmake --build $(TSAN_BUILD)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest -L fuse --output-on-failure --timeout 1200

# The whole suite built for 32-bit ARM (armhf) and run under qemu-user, FUSE mounts included.
# The armhf libraries come from a target tree of their own in the build folder, made from
# bookworm main; the host gets only the cross compiler and the emulator.
# ARMHF_TREE=DIR uses a target tree of one's own, as it is.
ARMHF_TREE_PACKAGES = libc6-dev libstdc++-12-dev libfuse-dev libfuse3-dev libglib2.0-dev libgtest-dev
armhf-tree: deps
	./scripts/install-deps.sh g++-arm-linux-gnueabihf qemu-user-static mmdebstrap dpkg-dev
	$(if $(ARMHF_TREE),,./scripts/target-tree.sh armhf $(ARMHF_BUILD)/target-tree $(ARMHF_TREE_PACKAGES))

build-armhf: armhf-tree
	cmake -G Ninja -S . -B $(ARMHF_BUILD) $(CMAKE_FLAGS) \
		-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
		-DVASKEL_TARGET_TREE=$(ARMHF_TREE_DIR)
	cmake --build $(ARMHF_BUILD)

# The libfuse 3 build for armhf (Debian 12's libfuse 3.14 in the target tree); its test
# programs run in the booted armhf guest.
build-armhf-fuse3: armhf-tree
	cmake -G Ninja -S . -B $(ARMHF_FUSE3_BUILD) $(CMAKE_FLAGS) -DVASKEL_FUSE=3 \
		-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
		-DVASKEL_TARGET_TREE=$(ARMHF_TREE_DIR)
	cmake --build $(ARMHF_FUSE3_BUILD)

check-armhf: build-armhf
	cd $(ARMHF_BUILD) && ctest --output-on-failure --timeout 1200

# The Debian package (CPack), built for /usr; the .deb lands in $(DEB_BUILD).
deb: deps
	./scripts/install-deps.sh dpkg-dev
	cmake -G Ninja -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF
	cmake --build $(DEB_BUILD)
	cd $(DEB_BUILD) && cpack

# The same package cross-built for armhf against the target tree of check-armhf (or
# ARMHF_TREE=DIR), its dependencies computed for armhf from that tree; the .deb lands in
# $(DEB_ARMHF_BUILD).
ARMHF_TREE_DIR = $(abspath $(or $(ARMHF_TREE),$(ARMHF_BUILD)/target-tree))
deb-armhf: armhf-tree
	cmake -G Ninja -S . -B $(DEB_ARMHF_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
		-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DVASKEL_TARGET_TREE=$(ARMHF_TREE_DIR)
	cmake --build $(DEB_ARMHF_BUILD)
	cd $(DEB_ARMHF_BUILD) && DEB_HOST_ARCH=armhf cpack

# The packages booted: a Debian 12 root of the package's architecture (made with mmdebstrap
# and cached in $(BOOT_ARMHF_BUILD) or $(BOOT_BUILD), keyed by its package list) boots under
# qemu-system (TCG) three times: it installs the package with apt-get; it boots with
# "vaskel=" and checks the generator and vaskel-remount under systemd, then runs the mount
# tests of the build against the installed wardfs; its initrd leaves the initramfs /var
# marker for the generator. BOOT_TIMEOUT=SECONDS limits each boot (300; twice that for the
# tests).
BOOT_BUILD ?= build-boot
BOOT_ARMHF_BUILD ?= build-boot-armhf
BOOT_HOST_PACKAGES = qemu-utils qemu-user-static mmdebstrap arch-test kmod cpio e2fsprogs
check-boot-armhf: deb-armhf build-armhf build-armhf-fuse3
	./scripts/install-deps.sh qemu-system-arm $(BOOT_HOST_PACKAGES)
	./scripts/boot-check.sh armhf $(BOOT_ARMHF_BUILD) $(DEB_ARMHF_BUILD)/vaskel-tools_*_armhf.deb \
		$(ARMHF_BUILD) $(ARMHF_FUSE3_BUILD)

check-boot: deb build build-fuse3
	./scripts/install-deps.sh qemu-system-x86 $(BOOT_HOST_PACKAGES)
	./scripts/boot-check.sh amd64 $(BOOT_BUILD) $(DEB_BUILD)/vaskel-tools_*_amd64.deb \
		$(BUILD) $(FUSE3_BUILD)

# Installs the package with apt-get, checks the installed programs and man pages, and
# removes the package again, also when a check fails.
check-deb: deb
	apt-get install -y -q ./$(DEB_BUILD)/vaskel-tools_*.deb
	./tests/installed-test.sh; status=$$?; apt-get purge -y -q vaskel-tools; exit $$status

# A long run of the randomized parity test (SOAK_SEEDS seeds of 2000 operations, with and
# without --copyup) and of the stress tests (SOAK_REPEAT times each), then a long fuzz run.
soak: build
	cd $(BUILD) && PARITY_SEEDS=$(SOAK_SEEDS) PARITY_OPS=2000 \
		../tests/in-namespace.sh tests/parity_tests
	cd $(BUILD) && ../tests/in-namespace.sh tests/reliability_tests \
		--gtest_repeat=$(SOAK_REPEAT) --gtest_break_on_failure
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_SECONDS)

# The kernel command-line scan under libFuzzer for FUZZ_SECONDS, from the seed corpus.
fuzz:
	./scripts/install-deps.sh clang
	CC=clang CXX=clang++ cmake -G Ninja -S . -B $(FUZZ_BUILD) -DVASKEL_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) --target fuzz_kernel_arg
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/fuzz_kernel_arg -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		$(FUZZ_BUILD)/corpus tests/fuzz-corpus

# The kernel's file-system test suite through a wardfs mount (-o xattr): not part of CI
# (the quick group: about half an hour). XFSTESTS_BUILD_OF=the wardfs build to test (build,
# or build-fuse3), XFSTESTS_GROUP=the group (quick), XFSTESTS_TESTS=single tests instead.
# An existing build is brought up to date first, so the daemon tested is the current one.
XFSTESTS_SOURCE ?= ../shared/xfstests
XFSTESTS_BUILD ?= build-xfstests
XFSTESTS_BUILD_OF ?= $(BUILD)
XFSTESTS_GROUP ?= quick
XFSTESTS_TESTS ?=
xfstests:
	if [ -f $(XFSTESTS_BUILD_OF)/build.ninja ]; then cmake --build $(XFSTESTS_BUILD_OF) --target wardfs; \
	else $(MAKE) $(if $(filter $(FUSE3_BUILD),$(XFSTESTS_BUILD_OF)),build-fuse3,build); fi
	./scripts/xfstests.sh $(XFSTESTS_SOURCE) $(XFSTESTS_BUILD) $(XFSTESTS_BUILD_OF)/wardfs \
		$(XFSTESTS_GROUP) $(XFSTESTS_TESTS)

# Side-by-side benchmark; BENCH_ARGS=--quick for a run under a minute.
bench: build build-fuse3 build-fuse3-latest
	./scripts/install-deps.sh bindfs fio
	cmake --build $(BUILD) --target metaops opentime
	mkdir -p bench/results
	BUILD=$(BUILD) WARDFS3=$(FUSE3_BUILD)/wardfs WARDFS3L=$(FUSE3_LATEST_BUILD)/wardfs \
		./bench/run.sh $(BENCH_ARGS) | \
		tee bench/results/$$(date +%Y%m%d-%H%M%S).txt

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD) $(ARMHF_BUILD) $(DEB_BUILD) \
		$(DEB_ARMHF_BUILD) $(BOOT_BUILD) $(BOOT_ARMHF_BUILD) $(FUSE3_BUILD) $(ARMHF_FUSE3_BUILD)
