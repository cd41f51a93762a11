# Front door: every target takes PYTHON=<interpreter> (default: Debian's).
PYTHON ?= /usr/bin/python3
WERROR ?= OFF
ROOT := $(CURDIR)
PYDEPS := $(ROOT)/build/pydeps
# Debian unstable (the root of `make newest`) links its own requests stack,
# of other versions, beside the host's: the checkout is built in both.
ifneq ($(findstring sid,$(shell cat /etc/debian_version 2>/dev/null)),)
PYDEPS := $(ROOT)/build/pydeps-sid
endif

BUILD_PACKAGES := cmake ninja-build g++ python3-dev python3-requests
TEST_PACKAGES := python3-pytest python3-hypothesis
CHECK_PACKAGES := python3-dbg libasan8 libubsan1
BENCH_PACKAGES := cython3 valgrind
# Options of bench/peer_benchmark.py, e.g. BENCH_ARGS="--rounds 9 --only secret,token".
BENCH_ARGS ?=
DIST_PACKAGES := python3-build python3-venv python3-pip python3-setuptools python3-wheel
STUBTEST_PACKAGES := python3-mypy python3-typeshed
# What the wheelhouse needs of the unstable root: auditwheel (with patchelf,
# which its repair runs) for the manylinux tag, twine for the metadata.
WHEELHOUSE_PACKAGES := python3-auditwheel patchelf twine
# What the Debian unstable root of `make newest` gets: the newest
# interpreters, and all that the targets run inside it need. A name ending
# in "?" is installed where the archive has it. Each interpreter's venv
# package is named: python3-venv brings only the default one's, and the
# wheels are tested in venvs of both.
NEWEST_PACKAGES := make python3.14-dev python3.14-dbg python3.14-venv \
                   python3.15-dev python3.15-dbg? python3.15-venv \
                   $(BUILD_PACKAGES) $(TEST_PACKAGES) $(DIST_PACKAGES) $(STUBTEST_PACKAGES) \
                   $(BENCH_PACKAGES) $(WHEELHOUSE_PACKAGES)
# Every host package a target installs on its own, for CI to install first
# in one go (apt serves one install at a time).
HOST_PACKAGES := $(BUILD_PACKAGES) $(TEST_PACKAGES) $(CHECK_PACKAGES) $(DIST_PACKAGES) \
                 $(STUBTEST_PACKAGES) debootstrap
NATIVE_MODULES := vesk.tracking.lite_extensions.urls vesk.tracking.lite_extensions.vandrel

PYTHON_PATH = $(shell command -v $(PYTHON))
# One build folder per interpreter (cache tag plus a digest of its path).
BUILD_DIR = $(ROOT)/build/$(shell $(PYTHON) -c 'import sys, hashlib; print(sys.implementation.cache_tag + "-" + ("d" if hasattr(sys, "gettotalrefcount") else "") + hashlib.md5(sys.executable.encode()).hexdigest()[:8])')
ASAN_TREE := $(ROOT)/build/asan/tree

.PHONY: all build test demo bench matrix check check-debug check-asan deps clean \
        dist test-installed stubtest newest newest-packages free-threaded-python \
        free-threaded-python-tsan test-free-threaded check-tsan wheelhouse test-wheelhouse \
        test-old-system host-packages reproduce

all: build

host-packages:
	@tools/ensure-deps.sh $(HOST_PACKAGES)

deps:
	@tools/ensure-deps.sh $(BUILD_PACKAGES) $(TEST_PACKAGES) $(DIST_PACKAGES)
	@tools/pydeps.sh $(PYDEPS)

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON_PATH) -DVESK_WERROR=$(WERROR) >/dev/null
	cmake --build $(BUILD_DIR)

test: build
	@tools/run-tests.sh $(PYTHON) $(ROOT) $(PYDEPS)

demo: build
	PYTHONPATH=$(ROOT):$(PYDEPS) $(PYTHON) tools/demo.py

# The native module against its Python twin, the twin compiled by Cython and
# functools.partial: times and callgrind instruction counts.
bench: build
	@tools/ensure-deps.sh $(BENCH_PACKAGES)
	PYTHONPATH=$(ROOT):$(PYDEPS) $(PYTHON) bench/peer_benchmark.py $(BENCH_ARGS)

# The sdist, then the wheel built from it, into dist/ (needs the build and
# wheel packages: Debian's python3).
dist: deps
	CMAKE_ARGS="-DVESK_WERROR=$(WERROR)" $(PYTHON) -m build --no-isolation --outdir $(ROOT)/dist $(ROOT)

# Builds the commit twice, from clones at two paths under two umasks, one
# after the other, and compares every file: `make dist`'s sdist and wheel,
# or with WHEELHOUSE=yes the whole wheelhouse. Exit status 1: a file differs.
WHEELHOUSE ?= no
reproduce:
	@PYTHON=$(PYTHON) tools/reproduce.sh $(if $(filter yes,$(WHEELHOUSE)),--wheelhouse)

# Installs vesk into a fresh venv of PYTHON and runs the suite against the
# installed copy, from outside the checkout.
test-installed: deps
	CMAKE_ARGS="-DVESK_WERROR=$(WERROR)" tools/test-installed.sh $(PYTHON_PATH) $(ROOT) $(PYDEPS) $(BUILD_DIR)/dist

# The sdist and one manylinux wheel per CPython of the machine (pyenv's 3.6
# to 3.13, the free-threaded 3.13, the unstable root's 3.14 and 3.15), each
# built by its own interpreter, into dist/wheelhouse; auditwheel gives the
# tag, twine checks the metadata (both in the unstable root). Exit status 69:
# the root or the free-threaded interpreter cannot be made.
wheelhouse: deps
	@tools/wheelhouse.sh

# Each wheel of dist/wheelhouse installed offline into a fresh venv of its
# interpreter and the suite run on it, one line per wheel.
test-wheelhouse: deps
	@tools/test-wheelhouse.sh

# The type stubs checked against the built modules (mypy from Debian's python3).
stubtest: build
	@tools/ensure-deps.sh $(STUBTEST_PACKAGES)
	PYTHONPATH=$(ROOT):$(PYDEPS) $(PYTHON) -m mypy.stubtest $(NATIVE_MODULES)

# Build and test on every CPython on the machine: Debian's and pyenv's 3.6 to 3.13.
matrix: deps
	@tools/matrix.sh

# The newest CPython releases (3.14, its debug build, 3.15) in a Debian
# unstable root kept in ${VESK_CACHE:-~/.cache/vesk}: the suite on each, then
# build, test, demo, dist, test-installed and stubtest inside it. Exit status
# 69 of tools/newest.sh: the root cannot be made (no network, a package gone).
newest:
	@WERROR=$(WERROR) tools/newest.sh

newest-packages:
	@echo $(NEWEST_PACKAGES)

# The cp39 wheel of dist/wheelhouse/ installed offline in a Debian 11 root
# (glibc 2.31, python3 3.9, no compiler) kept beside the unstable one, and
# the installed suite run there. Exit status 69: the root cannot be made.
test-old-system:
	@tools/test-old-system.sh

# Free-threaded CPython 3.13 (--disable-gil), built once from Debian's source
# package into ${VESK_CACHE:-~/.cache/vesk}/python3.13t and reused; the tsan
# one adds ThreadSanitizer (python3.13t-tsan). Each prints its interpreter.
free-threaded-python:
	@tools/free-threaded-python.sh plain

free-threaded-python-tsan:
	@tools/free-threaded-python.sh tsan

# The threaded tests under ThreadSanitizer: the free-threaded interpreter
# built with it and the modules built with clang's -fsanitize=thread, in a
# copy of the tree. Fails on any report that names our modules.
check-tsan: deps
	@python=$$(tools/free-threaded-python.sh tsan | tail -n 1) && \
	WERROR=$(WERROR) tools/check-tsan.sh "$$python" $(ROOT) $(PYDEPS)

# The suite on the free-threaded interpreter, built first where it is missing.
test-free-threaded:
	@python=$$(tools/free-threaded-python.sh plain) && \
	$(MAKE) --no-print-directory test PYTHON="$$python" WERROR=$(WERROR)

check: check-debug check-asan

# The suite, reference-leak test included, under Debian's debug interpreter.
check-debug:
	@tools/ensure-deps.sh $(CHECK_PACKAGES)
	$(MAKE) --no-print-directory test PYTHON=/usr/bin/python3-dbg WERROR=$(WERROR)

# The suite with the modules built with AddressSanitizer and UBSan, in a copy
# of the tree so that the in-place modules stay as they are.
check-asan: deps
	@tools/ensure-deps.sh $(CHECK_PACKAGES)
	rm -rf $(ASAN_TREE) && mkdir -p $(ASAN_TREE)
	tar --exclude=__pycache__ --exclude='*.so' -cf - CMakeLists.txt vesk tests tools | tar -xf - -C $(ASAN_TREE)
	cmake -S $(ASAN_TREE) -B $(ROOT)/build/asan/obj -G Ninja -DPython_EXECUTABLE=$(PYTHON_PATH) \
	    -DVESK_WERROR=$(WERROR) -DVESK_SANITIZE=address,undefined >/dev/null
	cmake --build $(ROOT)/build/asan/obj
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc tools/run-tests.sh $(PYTHON) $(ASAN_TREE) $(PYDEPS)

clean:
	rm -rf build dist vesk.egg-info .mypy_cache
	find vesk -name '*.so' -delete
