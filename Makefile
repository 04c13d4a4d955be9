# Kelvane: `make run` to use it, `make test` to check it.
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all deps build run test screenshot clean

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

# The README's picture: the real window under a virtual X server.
screenshot: build
	@./scripts/deps.sh --with-x
	@./scripts/screenshot.sh $(BUILD) docs

clean:
	rm -rf $(BUILD)
