# The one driver: `make demo` and `make test` work on a fresh Debian 12 machine.
# Every target first makes sure the packages it needs are there (`deps`).

MAKEFLAGS += --no-print-directory

PREFIX ?= /usr/local
BUILD  ?= _cmake
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
# WERROR=ON (as CI builds): compiler warnings fail the build, C++ and OCaml.
WERROR ?= OFF
PROFILE = $(if $(filter ON,$(WERROR)),dev,release)

# What building and testing need, and what the benchmarks add.
PACKAGES = cmake g++ make pkg-config binutils libre2-dev libsodium-dev libgtest-dev \
           ocaml-nox ocaml-dune ocaml-findlib libdune-ocaml-dev \
           libcmdliner-ocaml-dev liblwt-ocaml-dev ocaml-odoc iproute2 util-linux \
           nats-server libnats-dev
BENCH_PACKAGES = libzmq3-dev libctypes-ocaml-dev liburing-dev
# Fuzzing (make fuzz) builds with clang and links its libFuzzer runtime.
FUZZ_PACKAGES = clang libclang-rt-14-dev
FUZZ_BUILD ?= _cmake-fuzz
FUZZ_SECONDS ?= 60

# The OCaml build finds the bus library of this tree, not an installed one.
OCAML_ENV = BUILD=$(BUILD) \
            PKG_CONFIG_PATH=$(CURDIR)/$(BUILD)/pkgconfig$${PKG_CONFIG_PATH:+:$$PKG_CONFIG_PATH} \
            LD_LIBRARY_PATH=$(CURDIR)/$(BUILD)/lib$${LD_LIBRARY_PATH:+:$$LD_LIBRARY_PATH} \
            WEX_BIN_DIR=$(CURDIR)/$(BUILD)/bin \
            WEX_CXX_WERROR=$(if $(filter ON,$(WERROR)),-Werror,-Wno-error)

.PHONY: all deps deps-bench build bus ocaml test test-bus test-ocaml test-install demo bench fuzz install clean format check-format

all: build

deps:
	@sh scripts/deps.sh $(PACKAGES)

deps-bench: deps
	@sh scripts/deps.sh $(BENCH_PACKAGES)

bus: deps
	@cmake -S bus -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DWEX_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

ocaml: bus
	@$(OCAML_ENV) dune build --profile $(PROFILE) @install

build: ocaml

test-bus: bus
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-ocaml: ocaml
	@$(OCAML_ENV) dune build --profile $(PROFILE) @runtest

# The install as a user gets it; after the other tests, since it moves the
# build directories aside for a moment (scripts/install-test.sh).
test-install: build
	@BUILD=$(BUILD) sh scripts/install-test.sh

test: test-bus test-ocaml
	@$(MAKE) test-install

demo: build
	@$(OCAML_ENV) sh scripts/demo.sh

bench: deps-bench build
	@$(OCAML_ENV) BUILD=$(BUILD) sh bench/run.sh

# A million messages between real agents, three ways (not part of test).
soak: bus
	@$(BUILD)/bin/wex_soak $(SOAK_MESSAGES)

# make fuzz: each fuzz target of bus/fuzz for FUZZ_SECONDS seconds, built by
# clang with libFuzzer, ASan and UBSan in a build of its own (FUZZ_TARGETS
# picks some; see scripts/fuzz.sh).  Builds with g++ replay the corpus only,
# in make test.
fuzz: deps
	@sh scripts/deps.sh $(FUZZ_PACKAGES)
	@cmake -S bus -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DWEX_FUZZ=ON -DWEX_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz-targets
	@FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) sh scripts/fuzz.sh

# make install: the bus library, its header, wex.pc and the C++ tools, then
# the OCaml library and wexprobe from a build of their own ($(INSTALL_BUILD)),
# whose archives and programs name the install's library directory (RUNPATH
# and -L) instead of this tree's (see stubs/config/discover.ml).  The OCaml
# library goes to findlib's own directory when that lies under PREFIX (so
# with /usr/local ocamlfind finds it with no OCAMLPATH, and bytecode finds
# dllwex_stubs.so through OCaml's ld.conf), else to PREFIX/lib: the README
# says what users set for each.  Every step must succeed.
INSTALL_BUILD = _build-install
OCAML_LIBDIR ?= $(shell d=$$(ocamlfind printconf destdir 2>/dev/null); \
                  case "$$d" in ("$(PREFIX)"/lib/*) echo "$$d" ;; (*) echo "$(PREFIX)/lib" ;; esac)

install: bus
	@cmake --install $(BUILD) --prefix $(PREFIX)
	@case "$(PREFIX)" in (/usr|/usr/local) ldconfig ;; esac
	@libdir=$$(pkg-config --variable=libdir $(BUILD)/wex.pc) && \
	  BUILD=$(BUILD) WEX_INSTALL_LIBDIR=$$libdir LIBRARY_PATH=$(CURDIR)/$(BUILD)/lib \
	  WEX_CXX_WERROR=$(if $(filter ON,$(WERROR)),-Werror,-Wno-error) \
	  dune build --root . --build-dir $(INSTALL_BUILD) --profile release @install
	@dune install --root . --build-dir $(INSTALL_BUILD) --prefix $(PREFIX) --libdir $(OCAML_LIBDIR) wex

format:
	@sh scripts/check-format.sh --fix

check-format:
	@sh scripts/deps.sh clang-format
	@sh scripts/check-format.sh

clean:
	rm -rf $(BUILD) _build $(INSTALL_BUILD) $(FUZZ_BUILD)
