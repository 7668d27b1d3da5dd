# Kestrel Capture: set-up, build, run and test in one place.
# Every target first installs whatever Debian 12 package is missing.

BUILD ?= build
JOBS  ?= $(shell nproc)
PACKAGES := cmake make g++ pkg-config \
    qt6-base-dev libqt6opengl6-dev libgl-dev \
    libsdl2-dev libavcodec-dev libavformat-dev libavutil-dev libswscale-dev \
    libusb-1.0-0-dev libgtest-dev libgmock-dev libbenchmark-dev \
    zlib1g-dev libpng-dev xvfb xauth ffmpeg fonts-dejavu-core
PACKAGES += umockdev libumockdev-dev  # the emulated board below libusb (tests, demo-usb, bench)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps configure build demo run test bench clean fuzz

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/src/kestrel-capture-demo

run: build
	$(BUILD)/src/kestrel-capture

# The real program, kestrel-capture, on the emulated board: libusb reaches it
# through the kernel's USB device interface as umockdev presents it. Pass
# DEMO_USB_FLAGS=--old-firmware to start with the firmware update, or
# "--unplug-after 10 --replug-after 15" to watch the board leave and return.
.PHONY: demo-usb
DEMO_USB_FLAGS ?=
demo-usb: build
	@mkdir -p "$(BUILD)/demo-usb/Wren Capture"
	@echo "1209:4b43  # the emulated capture board" > "$(BUILD)/demo-usb/Wren Capture/usb-ids"
	XDG_CONFIG_HOME="$(abspath $(BUILD))/demo-usb" $(BUILD)/tests/kestrel-usb-launcher $(DEMO_USB_FLAGS) -- $(BUILD)/src/kestrel-capture

# The UI tests need a display: start a virtual one when there is none.
test: build
	@if [ -n "$$DISPLAY" ]; then \
	  cd $(BUILD) && ctest --output-on-failure -j $(JOBS); \
	else \
	  xvfb-run -a -s "-screen 0 1920x1080x24" sh -c 'cd $(BUILD) && ctest --output-on-failure -j $(JOBS)'; \
	fi

bench: build
	@for b in $$(ls $(BUILD)/bench/ | grep '^bench_' ); do \
	  [ -x $(BUILD)/bench/$$b ] && [ -f $(BUILD)/bench/$$b ] && { echo "== $$b"; $(BUILD)/bench/$$b || exit 1; }; \
	done; true

# Fuzzes the firmware image decompression against zlib for FUZZ_SECONDS
# (libFuzzer, with ASan and UBSan); not part of `make test`.
FUZZ_SECONDS ?= 60
fuzz: deps
	@command -v clang++ >/dev/null || { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang >/dev/null; }
	@mkdir -p $(BUILD)/fuzz/corpus
	clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  -Isrc tests/fuzz/fuzz_inflate.cpp src/firmware/inflate.cpp -lz -o $(BUILD)/fuzz/fuzz_inflate
	$(BUILD)/fuzz/fuzz_inflate -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -print_final_stats=1 \
	  $(BUILD)/fuzz/corpus tests/fuzz/seeds

clean:
	rm -rf $(BUILD)
