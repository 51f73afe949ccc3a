# Front door: `make demo` builds everything and runs the example; `make test` runs every test.
BUILD ?= build
JOBS ?= 2

.PHONY: prerequisites build demo test bench clean

prerequisites:
	@scripts/prerequisites

build: prerequisites
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The main job: the installation's console launcher debugs a sample program with a command file.
demo: build
	@$(BUILD)/install/bin/vorn-console debug --commands examples/orders.cmds examples/orders.py --with-unpriced

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@$(BUILD)/bench/bench_zardelhash
	@/usr/bin/python2.7 bench/bench_trace.py
	@/usr/bin/python2.7 bench/bench_walk.py
	@/usr/bin/python2.7 bench/bench_exceptions.py
	@/usr/bin/python2.7 bench/bench_false_stops.py
	@/usr/bin/python2.7 bench/bench_breakpoints.py
	@/usr/bin/python2.7 bench/bench_binding.py
	@/usr/bin/python2.7 bench/bench_serialize.py
	@/usr/bin/python2.7 bench/bench_analysis.py
	@/usr/bin/python2.7 bench/bench_search.py
	@/usr/bin/python2.7 bench/bench_debug_startup.py
	@/usr/bin/python2.7 bench/bench_debug.py
	@/usr/bin/python2.7 bench/bench_lsp.py
	@/usr/bin/python2.7 bench/bench_dap.py

clean:
	rm -rf $(BUILD)
