# The two everyday commands:
#   make demo   installs what is missing, builds the program, and prints the codebook of the example dataset
#   make test   installs what is missing, builds, and runs every test
MAKEFLAGS += --no-print-directory
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all build deps demo test test-sanitize test-browser bench fuzz format check-format clean

all: build

deps:
	@bash scripts/install-deps.sh

# Configure when the build tree has no generated Makefile yet: a configure
# that failed (a missing package, say) leaves a cache but no Makefile, and the
# next make configures again instead of failing on the missing Makefile.
CONFIGURE = @[ -f $(1)/Makefile ] || cmake -S . -B $(1) $(2)

build:
	$(call CONFIGURE,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS))
	cmake --build $(BUILD) -j $(JOBS)

# The demo builds the program and its plug-in only; the tests build with make test.
demo: deps
	$(call CONFIGURE,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS))
	cmake --build $(BUILD) -j $(JOBS) --target codebook
	./$(BUILD)/codebook examples/survey/datapackage.json
	@echo
	@echo "The same as a report with an overview and charts, to open in a browser:"
	@echo "  $(BUILD)/codebook examples/survey/datapackage.json -o survey.html"

test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@if [ -x /usr/bin/chromium ]; then $(MAKE) --no-print-directory test-browser; \
	 else echo "browser test skipped: chromium is not installed (make test-browser installs it)"; fi

test-sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCODEBOOK_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS) -LE slow

test-browser: build
	@bash scripts/install-deps.sh browser
	bash tests/browser/run.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD) -DCODEBOOK_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

fuzz:
	bash tests/fuzz/run.sh $${FUZZ_SECONDS:-60}

format:
	@bash scripts/install-deps.sh format
	bash scripts/format.sh

check-format:
	@bash scripts/install-deps.sh format
	bash scripts/format.sh --check

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
