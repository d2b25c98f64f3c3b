# The two commands a newcomer needs: `make test` and `make run`. Both install what is missing.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# Every build of make's is held to no warnings in our own code.
WERROR := -DKESTREL_WERROR=ON
FUZZ_SECONDS ?= 5

.PHONY: all deps deps-windows build run deb test test-unit test-asan test-tsan test-fuzz test-wine test-deb windows \
  windows-gui windows-installer test-wine-gui test-loaded bench clean

all: build

deps:
	@bash scripts/setup-deps.sh

# The cross compilers and Wine, for the Windows builds and suites alone.
deps-windows:
	@bash scripts/setup-deps.sh windows

build: deps
	cmake -S . -B build -G Ninja $(WERROR) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

# The monitor in a copy of examples/demo (run/demo), in debug mode; on a virtual X display when
# there is no display. It installs only what the monitor needs (setup-deps.sh run) and builds
# only the monitor, in a folder of its own: no tests, and the Ruby script host only where Ruby's
# headers are installed already (KESTREL_RUBY=ON or OFF chooses).
KESTREL_RUBY ?= $(shell pkg-config --exists ruby 2>/dev/null && echo ON || echo OFF)
# A clean build of the monitor alone without a compiler cache: 2 min 47 s on two cores (with
# other work beside it), 150 s of processor time.
RUN_FIRST_BUILD := about 3 minutes
run:
	@bash scripts/setup-deps.sh run
	@echo "make run: a first build of the monitor takes $(RUN_FIRST_BUILD) on two cores; later ones build only what changed"
	cmake -S . -B build-run -G Ninja $(WERROR) -DKESTREL_TESTS=OFF -DKESTREL_RUBY=$(KESTREL_RUBY) $(CMAKE_FLAGS)
	cmake --build build-run -j $(JOBS) --target kestrel
	bash scripts/run-monitor.sh build-run run/demo

# The Debian package build-deb/kestrel_<version>_amd64.deb (scripts/build-deb.sh): a Release build
# of its own with Debian's hardening flags, packed by cpack.
deb:
	@bash scripts/setup-deps.sh deb
	bash scripts/build-deb.sh build-deb

# make deb, then lintian, and the unpacked package checked as a user meets it (scripts/test-deb.sh).
test-deb:
	@bash scripts/setup-deps.sh deb
	bash scripts/test-deb.sh build-deb

test-unit: build
	ctest --test-dir build --output-on-failure -j $(JOBS) --timeout 300

# Every library, test and tool, the windows (offscreen) and the Ruby host among them:
# AddressSanitizer + UBSan, leaks checked too (tests/lsan.supp says what is left on purpose).
test-asan: deps
	cmake -S . -B build-asan -G Ninja $(WERROR) -DKESTREL_GUI=ON -DKESTREL_RUBY=ON \
	  -DKESTREL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
	cmake --build build-asan -j $(JOBS)
	QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 600

# The concurrency code (queues, watcher threads, lists) under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -G Ninja $(WERROR) -DKESTREL_GUI=OFF -DKESTREL_QT=OFF -DKESTREL_RUBY=OFF \
	  -DKESTREL_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan -j $(JOBS) --target tsan_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build-tsan --output-on-failure -L tsan --timeout 600

# Each parser of outside input under libFuzzer for a few seconds.
test-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja $(WERROR) -DKESTREL_FUZZ=ON -DKESTREL_GUI=OFF \
	  -DKESTREL_QT=OFF -DKESTREL_RUBY=OFF -DKESTREL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	bash scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The Qt-free libraries, kestrel-backtest.exe, kestrel-watch.exe, kestrel-feed.exe (a replay or a
# simulation over DDE; the broker source needs Qt: make windows-gui) and the DDE tests for
# 64-bit Windows, cross-built with Debian's MinGW-w64.
windows: deps-windows
	@command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || \
	  command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || \
	  { echo "make windows: MinGW-w64 (g++-mingw-w64-x86-64) is not installed"; exit 1; }
	cmake -S . -B build-win -G Ninja $(WERROR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DKESTREL_GUI=OFF -DKESTREL_QT=OFF -DKESTREL_RUBY=OFF -DKESTREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build build-win -j $(JOBS)

# The windowed monitor for 64-bit Windows: kestrel.exe with the DDEML transport and no Ruby host,
# and kestrel-feed.exe, the quote server of the DDE service "RSS" with its kabuステーション source
# (Qt Network, and WinHTTP's WebSocket client for the PUSH connection), against the Windows Qt of
# scripts/build-qt-mingw.sh (built once into QT_MINGW, which takes half an hour or more), each with
# the DLLs and plugins it needs deployed beside it.
QT_MINGW ?= $(HOME)/.cache/kestrel/qt6-mingw64
windows-gui: deps-windows
	bash scripts/build-qt-mingw.sh $(QT_MINGW)
	bash scripts/build-jpeg-mingw.sh $(QT_MINGW)
	cmake -S . -B build-wingui -G Ninja $(WERROR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DKESTREL_QT_MINGW=$(QT_MINGW) -DCMAKE_PREFIX_PATH=$(QT_MINGW) -DQT_HOST_PATH=/usr \
	  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DKESTREL_TESTS=OFF \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build build-wingui -j $(JOBS) --target kestrel kestrel-feed
	bash scripts/deploy-windows-gui.sh build-wingui $(QT_MINGW)

# The Windows installer, build-wingui/Kestrel-<version>-Setup.exe, made by CPack's NSIS generator
# from the windowed build: every program it installs is built first.
windows-installer: windows-gui
	cmake --build build-wingui -j $(JOBS)
	cd build-wingui && cpack -G NSIS

# The DDE conversation, kestrel-watch.exe and the test server under Wine; skipped with one line
# where Wine or MinGW-w64 is missing.
test-wine: deps-windows
	@if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && \
	    ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then \
	  echo "make test-wine: MinGW-w64 not installed, Wine suite skipped"; \
	elif ! test -x /usr/lib/wine/wine64 && ! command -v wine64 >/dev/null 2>&1; then \
	  echo "make test-wine: wine64 not installed, Wine suite skipped"; \
	else \
	  $(MAKE) --no-print-directory windows && bash scripts/run-wine-tests.sh build-win; \
	fi

# The windowed monitor and kestrel-feed.exe under Wine (scripts/run-wine-gui-tests.sh), when the
# Windows Qt has been built; one line says it was skipped otherwise. The simulated kabuステーション
# API the feed talks to there is the Linux kabu-sim of the build folder.
test-wine-gui: deps-windows
	@if [ ! -f "$(QT_MINGW)/.kestrel-built" ]; then \
	  echo "make test-wine-gui: no Windows Qt in $(QT_MINGW) (scripts/build-qt-mingw.sh builds it once, in about half an hour): windowed Wine suite skipped"; \
	elif ! test -x /usr/lib/wine/wine64 && ! command -v wine64 >/dev/null 2>&1; then \
	  echo "make test-wine-gui: wine64 not installed, windowed Wine suite skipped"; \
	else \
	  cmake -S . -B build -G Ninja $(WERROR) $(CMAKE_FLAGS) && cmake --build build -j $(JOBS) --target kabu-sim && \
	  $(MAKE) --no-print-directory windows windows-gui windows-installer && \
	  bash scripts/run-wine-gui-tests.sh build-wingui && bash scripts/test-wine-installer.sh build-wingui; \
	fi

test: test-unit test-asan test-tsan test-fuzz test-wine test-wine-gui
	@echo "make test: all suites passed"

# make test with a CPU load on every core beside it, LOADED_RUNS times in a row.
LOADED_RUNS ?= 1
test-loaded:
	bash scripts/run-loaded.sh $(LOADED_RUNS)

bench: deps
	cmake -S . -B build-bench -G Ninja -DKESTREL_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS)

clean:
	rm -rf build build-run build-deb build-asan build-tsan build-fuzz build-bench build-win build-wingui
