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
PACKAGES += libswresample-dev  # the board sound's clock correction and rate in recordings
PACKAGES += openbox x11-utils xdotool dbus-daemon libxcb1-dev  # UI tests under a window manager, screensaver bus, X11 size hints
# make package / package-check: CPack's dpkg-shlibdeps, lintian, the desktop entry,
# AppStream and manual page checks, icons rendered from the SVG, window listing.
PACKAGES += dpkg-dev lintian desktop-file-utils appstream librsvg2-bin man-db x11-utils
# The PipeWire camera and sound nodes; their tests run a private daemon and real clients.
PACKAGES += libpipewire-0.3-dev pipewire pipewire-bin wireplumber gstreamer1.0-pipewire gstreamer1.0-tools dbus-daemon
PACKAGES += clang pngcheck xdotool openbox  # fuzz targets; soak-app's driver, window manager and checks
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps configure build demo run test bench clean fuzz
.PHONY: soak soak-app test-asan test-tsan

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

# The installation prefix is compiled in (the firmware folder under it), so
# the build the package is made from must name the package's prefix.
PREFIX ?= /usr
configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null

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
# A few tests measure real-time behaviour (paced frames, sound against
# picture); one that misses its timing on a busy machine gets a second try.
CTEST_RUN := ctest --output-on-failure -j $(JOBS) --repeat until-pass:2
test: build
	@if [ -n "$$DISPLAY" ]; then \
	  cd $(BUILD) && $(CTEST_RUN); \
	else \
	  xvfb-run -a -s "-screen 0 1920x1080x24" sh -c 'cd $(BUILD) && $(CTEST_RUN)'; \
	fi

# Every benchmark; the ones that draw need a display, started as for the tests.
bench: build
	@if [ -n "$$DISPLAY" ]; then \
	  sh bench/run_all.sh $(BUILD); \
	else \
	  xvfb-run -a -s "-screen 0 1920x1080x24" sh bench/run_all.sh $(BUILD); \
	fi

# The fuzz targets (libFuzzer, with ASan and UBSan), FUZZ_SECONDS each; not
# part of `make test`. Each keeps its corpus in $(BUILD)/fuzz/.
FUZZ_SECONDS ?= 60
FUZZ_CXX := clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc
FUZZ_RUN  = -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -timeout=10 -artifact_prefix=$(BUILD)/fuzz/
# What the board sends, through the device link, the reader's pass, the
# audio path and the decoder.
BOARD_INPUT_SRC := src/core/capture_core.cpp src/core/frame_pool.cpp src/core/device.cpp \
    src/core/link_stats.cpp src/core/audio_path.cpp src/core/audio_ring.cpp src/core/thread_priority.cpp src/usb/last_error.cpp \
    src/display/decode.cpp src/display/convert_columns.cpp src/display/stuck_bits.cpp \
    src/settings/settings.cpp src/settings/settings_paths.cpp src/settings/utf16_field.cpp \
    src/settings/output_folder.cpp src/base/debug_log.cpp src/base/debug_log_file.cpp src/base/hooks.cpp
fuzz: deps
	@command -v clang++ >/dev/null || { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang >/dev/null; }
	@mkdir -p $(BUILD)/fuzz/corpus $(BUILD)/fuzz/settings_corpus $(BUILD)/fuzz/board_corpus
	$(FUZZ_CXX) tests/fuzz/fuzz_inflate.cpp src/firmware/inflate.cpp src/base/checksums.cpp -lz -o $(BUILD)/fuzz/fuzz_inflate
	$(FUZZ_CXX) tests/fuzz/fuzz_settings.cpp src/settings/settings.cpp src/settings/settings_paths.cpp \
	  src/settings/utf16_field.cpp src/settings/output_folder.cpp src/base/debug_log.cpp src/base/debug_log_file.cpp -o $(BUILD)/fuzz/fuzz_settings
	$(FUZZ_CXX) tests/fuzz/fuzz_board_input.cpp $(BOARD_INPUT_SRC) -o $(BUILD)/fuzz/fuzz_board_input
	$(BUILD)/fuzz/fuzz_inflate $(FUZZ_RUN) -max_len=65536 $(BUILD)/fuzz/corpus tests/fuzz/seeds
	$(BUILD)/fuzz/fuzz_settings $(FUZZ_RUN) -max_len=8192 $(BUILD)/fuzz/settings_corpus tests/fuzz/settings_seeds
	$(BUILD)/fuzz/fuzz_board_input $(FUZZ_RUN) -max_len=4096 $(BUILD)/fuzz/board_corpus tests/fuzz/board_seeds

# The fault soak on the simulated board, in process and then through libusb
# against the emulated board (SOAK_STAGES picks), SOAK_SECONDS long in all;
# not part of `make test`.
SOAK_SECONDS ?= 1800
soak: build
	$(BUILD)/tests/kestrel_soak $(SOAK_SECONDS)

# The demo under a virtual display for SOAK_SECONDS, driven as a user would,
# then its snapshots, recordings, exit and settings checked.
soak-app: build
	SOAK_SECONDS=$(SOAK_SECONDS) sh tests/soak/soak_app.sh $(BUILD)

# The whole suite built with sanitizers, each in a build folder of its own.
# Every report (from a test or a program it starts) is written to the build
# folder's sanitizer-reports/ and fails the run, even when a retry of a test
# that is slow under the sanitizer passes. Suppressions (tests/sanitizers/)
# cover only libraries outside the project.
sanitizer_env = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:verify_asan_link_order=0:log_path=$(CURDIR)/$(1)/sanitizer-reports/asan \
    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$(CURDIR)/$(1)/sanitizer-reports/ubsan \
    TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/sanitizers/tsan.supp:log_path=$(CURDIR)/$(1)/sanitizer-reports/tsan
CTEST_SANITIZED := ctest --output-on-failure -j $(JOBS) --repeat until-pass:3
test-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cc -shared -fPIC -O2 -o build-asan/keep_modules.so tests/sanitizers/keep_modules.c
	@rm -rf build-asan/sanitizer-reports && mkdir build-asan/sanitizer-reports
	@$(call sanitizer_env,build-asan) LD_PRELOAD=$(CURDIR)/build-asan/keep_modules.so \
	  xvfb-run -a -s "-screen 0 1920x1080x24" sh -c 'cd build-asan && $(CTEST_SANITIZED)'; status=$$?; \
	  sh tests/sanitizers/check_reports.sh build-asan/sanitizer-reports && exit $$status

# ThreadSanitizer: the suites that do not load Qt's user interface.
test-tsan: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target test_core test_settings test_display test_record \
	  test_firmware test_audio test_media test_share
	@rm -rf build-tsan/sanitizer-reports && mkdir build-tsan/sanitizer-reports
	@cd build-tsan && $(call sanitizer_env,build-tsan) $(CTEST_SANITIZED) -LE gui -E '_NOT_BUILT$$'; status=$$?; \
	  cd .. && sh tests/sanitizers/check_reports.sh build-tsan/sanitizer-reports && exit $$status

clean:
	rm -rf $(BUILD) build-asan build-tsan

# The Debian package (CPack), copied next to this Makefile, and its check.
.PHONY: package package-check
package: build
	@cd $(BUILD) && { cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }; }
	@deb=$$(cat $(BUILD)/packaging/deb-file-name) && cp $(BUILD)/$$deb . && echo "Built ./$$deb"

package-check: package
	@packaging/check-package.sh ./$$(cat $(BUILD)/packaging/deb-file-name) $(BUILD)
