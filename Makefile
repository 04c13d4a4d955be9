# Kelvane: `make run` to use it, `make test` to check it.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# CMake's progress lines, without one "Entering directory" line per step of its sub-makes.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test check-asan check-tsan check-fresh tidy bench fuzz fuzz-library icons \
	install package screenshot clean
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local

all: build

deps:
	@./scripts/deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The display first: nothing is installed or built for a window nobody can see.
run:
	@./scripts/check-display.sh
	@$(MAKE) configure
	@cmake --build $(BUILD) -j $(JOBS) --target kelvane
	@$(BUILD)/kelvane

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Every test under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer; the runs
# with no locale only repeat what tst_locales covers here too.
SAN_FLAGS = -fno-omit-frame-pointer -fno-sanitize-recover=all
check-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_TEST_TIME_SCALE=8 \
	    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined $(SAN_FLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS) -E '^package$$|_no_locale$$'

# The tests of the threads (workers, runner, monitor, jobs) under ThreadSanitizer.
check-tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKELVANE_TEST_TIME_SCALE=10 \
	    -DCMAKE_CXX_FLAGS="-fsanitize=thread $(SAN_FLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target tst_workers tst_conversion tst_job
	@cd build-tsan && QT_QPA_PLATFORM=offscreen \
	    TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1 die_after_fork=0" \
	    ctest --output-on-failure -R '^tst_(workers|conversion|job)$$'

# The README's two commands on a new minimal Debian 12 (root only; see README).
check-fresh:
	@./scripts/check-fresh.sh

# Installs under PREFIX (and DESTDIR, for staging).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package in $(BUILD)/packages.
package: build
	@cd $(BUILD) && cpack -B packages >/dev/null && ls packages/*.deb

# Figures against their references, measured side by side; written to docs/performance.md.
# The windows are shown on a private Xvfb that the bench starts itself.
bench: build
	@./scripts/deps.sh --with-bench
	@cmake -S . -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target kelvane_bench bare_window ffmpeg_clock
	@$(BUILD)/bench/kelvane_bench $(BUILD)/kelvane $(BUILD)/bench/bare_window \
	    $(BUILD)/bench/ffmpeg_clock docs/performance.md

# The number readers and the probe under libFuzzer for FUZZ_SECONDS; the inputs it finds stay
# in build-fuzz/corpus, and an input that fails is saved as build-fuzz/crash-* (or leak-*,
# timeout-*) and ends the run: add it to the tests' tables by hand. Then as long again the real
# libmediainfo through the probe helper's request handling, from media in many containers; the
# library's own crashes, hangs and runaway allocations are logged and saved as
# build-fuzz/helper-* without ending the run; a new one belongs in tests/damaged, added by hand.
fuzz:
	@./scripts/deps.sh --with-clang
	@cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKELVANE_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzz_probe fuzz_helper
	@mkdir -p build-fuzz/corpus build-fuzz/helper-corpus
	@build-fuzz/fuzz/fuzz_probe -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/ build-fuzz/corpus fuzz/corpus
	@./fuzz/make_seeds.sh build-fuzz/helper-seeds
	@build-fuzz/fuzz/fuzz_helper -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -timeout=5 \
	    -rss_limit_mb=1024 -artifact_prefix=build-fuzz/helper- \
	    build-fuzz/helper-corpus build-fuzz/helper-seeds

# libmediainfo and ZenLib from Debian's source packages, built with the fuzzer's coverage and
# AddressSanitizer, under the helper target for FUZZ_LIBRARY_SECONDS at the lowest priority; all
# in build-fuzz-library (findings/*, run.log, coverage.txt). Not part of make test: it takes
# an hour or more, and a new finding goes into tests/damaged by hand once the system's
# library shows it too.
FUZZ_LIBRARY_SECONDS ?= 3600
fuzz-library:
	@./scripts/deps.sh --with-clang
	@JOBS=$(JOBS) FUZZ_SECONDS=$(FUZZ_LIBRARY_SECONDS) ./scripts/fuzz-library.sh

# The PNG icons in resources/icons, from resources/kelvane.svg.
icons: build
	@cmake --build $(BUILD) --target render_icons
	@QT_QPA_PLATFORM=offscreen $(BUILD)/render_icons resources/kelvane.svg resources/icons/hicolor

# The README's picture: the real window under a virtual X server.
screenshot: build
	@./scripts/deps.sh --with-x
	@./scripts/screenshot.sh $(BUILD) docs

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-fuzz-library

# clang-tidy over the project's own sources, with the build's compile commands.
tidy: build
	@./scripts/deps.sh --with-clang --with-bench
	@cmake -S . -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target kelvane_bench bare_window ffmpeg_clock render_icons
	@clang-tidy -p $(BUILD) --quiet src/*.cpp tests/*.cpp bench/*.cpp tools/*.cpp
