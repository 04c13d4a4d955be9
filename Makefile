# Kelvane: `make run` to use it, `make test` to check it.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps build run test bench icons install package screenshot clean
PREFIX ?= /usr/local

all: build

deps:
	@./scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	    echo "kelvane: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run it from a desktop session or under xvfb-run" >&2; \
	    exit 1; \
	fi
	@$(BUILD)/kelvane

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Installs under PREFIX (and DESTDIR, for staging).
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package in $(BUILD)/packages.
package: build
	@cd $(BUILD) && cpack -B packages >/dev/null && ls packages/*.deb

# Figures against their references, measured side by side; written to docs/performance.md.
bench: build
	@./scripts/deps.sh --with-bench
	@cmake --build $(BUILD) -j $(JOBS) --target kelvane_bench minimal_window
	@QT_QPA_PLATFORM=offscreen $(BUILD)/bench/kelvane_bench $(BUILD)/kelvane \
	    $(BUILD)/bench/minimal_window docs/performance.md

# The PNG icons in resources/icons, from resources/kelvane.svg.
icons: build
	@cmake --build $(BUILD) --target render_icons
	@QT_QPA_PLATFORM=offscreen $(BUILD)/render_icons resources/kelvane.svg resources/icons/hicolor

# The README's picture: the real window under a virtual X server.
screenshot: build
	@./scripts/deps.sh --with-x
	@./scripts/screenshot.sh $(BUILD) docs

clean:
	rm -rf $(BUILD)
