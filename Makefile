# make build [PYTHON=/path/to/python]   build vorm/ext and vorm/_kernel for one or every CPython
# make test                             build and run the suite under each
# make demo [PYTHON=...]                run the examples
# make bench                            time vorm.ext against the standard library, then peers and scale
# make peers                            the example models on vorm against SimPy 3, same numbers
# make scale                            replications serially, on 2 local workers and on a 2-worker dask cluster
# make sanitize                         the suite under ASan and UBSan (2.7 and python3)
# make fuzz [FUZZ_SECONDS=1200]         the re-entrancy fuzzers (core, layer) alone under ASan and UBSan, each per interpreter
#   [FUZZERS=tools/layerfuzz.py]        one of them only
# make refleak                          reference-leak hunt on Debian's python3.11-dbg
# make install-check                    pip install . and the sdist into fresh venvs, offline, and run them
# make accuracy                         the distribution functions against mpmath: a Markdown table
PYTHONS = $(shell tools/find-pythons)
JOBS ?= 2

.PHONY: build test demo clean bench peers install-check

build:
ifdef PYTHON
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(PYTHON)
else
	@set -e; for python in $(PYTHONS); do \
		$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$$python; \
	done
endif

test:
	@tools/run-tests $(PYTHONS)

# The demo draws its plot with matplotlib, which Debian packages for the
# system's /usr/bin/python3 (python3-matplotlib): it runs on the first of
# DEMO_PYTHONS that can import matplotlib, else on python3, unless PYTHON
# names one.
DEMO_PYTHONS = /usr/bin/python3 python3
DEMO_PYTHON = $(or $(PYTHON),$$(for p in $(DEMO_PYTHONS); do "$$p" -c 'import matplotlib' 2>/dev/null && { echo "$$p"; exit; }; done; echo python3))

# A few seconds: small runs of some examples; the plot and the CSV files go
# to build/demo. 20 replications: their intervals miss theory about as often
# as 95 % says, narrow enough to show it.
DEMO_RUN = --customers 5000 --warmup 500 --replications 20
DEMO_BANK = --minutes 2000 --warmup 200 --replications 20

demo:
	@set -e; python="$(DEMO_PYTHON)"; \
	$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON="$$python" >/dev/null; \
	mkdir -p build/demo; \
	echo "make demo: the examples on $$python"; echo; \
	PYTHONPATH=. "$$python" examples/chain.py; echo; \
	PYTHONPATH=. "$$python" examples/mm1.py $(DEMO_RUN) --csv build/demo/mm1-replications.csv; echo; \
	PYTHONPATH=. "$$python" examples/mmc.py $(DEMO_RUN); echo; \
	PYTHONPATH=. "$$python" examples/bank.py $(DEMO_BANK); echo; \
	PYTHONPATH=. "$$python" examples/plot.py --out build/demo/mm1

# Python 2.7, the default python3 and the newest 3.13, one table each; the
# size series go to bench/scaling-<version>.dat and, when gnuplot is
# installed, bench/scaling.png.
PYENV_VERSIONS = $(or $(PYENV_ROOT),$(HOME)/.pyenv)/versions
BENCH_PYTHONS ?= $(PYENV_VERSIONS)/2.7.18/bin/python python3 $(lastword $(wildcard $(PYENV_VERSIONS)/3.13*/bin/python))

bench:
	@set -e; for python in $(BENCH_PYTHONS); do \
		$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$$python >/dev/null; \
	done
	@set -e; data=; for python in $(BENCH_PYTHONS); do \
		version=$$($$python -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		PYTHONPATH=. $$python bench/run.py --data bench/scaling-$$version.dat; \
		data="$$data bench/scaling-$$version.dat"; \
	done; \
	if command -v gnuplot >/dev/null 2>&1; then python3 bench/plot.py bench/scaling.png $$data; \
	else echo "gnuplot not installed: no bench/scaling.png"; fi
	@$(MAKE) --no-print-directory peers
	@$(MAKE) --no-print-directory scale

# The peer is Debian's SimPy 3, so the race runs on Debian's python3.
PEERS_PYTHON ?= /usr/bin/python3

peers:
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(PEERS_PYTHON) >/dev/null
	@if ! $(PEERS_PYTHON) -c 'import simpy' 2>/dev/null; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y python3-simpy3; \
	fi
	@PYTHONPATH=. $(PEERS_PYTHON) bench/peers.py

# dask.distributed comes from Debian, so the system python3 runs the cluster.
SCALE_PYTHON ?= /usr/bin/python3

.PHONY: scale
scale:
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(SCALE_PYTHON) >/dev/null
	@PYTHONPATH=. $(SCALE_PYTHON) bench/scale.py

# make sanitize   the suite under Python 2.7 and python3 with ASan and UBSan
# make refleak    regrtest -R style reference-leak hunt on a debug python3
.PHONY: sanitize fuzz refleak

SANITIZE_PYTHONS ?= $(PYENV_VERSIONS)/2.7.18/bin/python python3
FUZZ_SECONDS ?= 1200

sanitize:
	@tools/sanitize $(SANITIZE_PYTHONS)

fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZERS="$(FUZZERS)" tools/sanitize $(SANITIZE_PYTHONS)

# Debian's debug interpreter: it keeps sys.gettotalrefcount, and its "d" ABI
# gets a build of its own in build/refleak.
DEBUG_PYTHON ?= /usr/bin/python3.11-dbg
REFLEAK_SOAK ?= 20000

refleak:
	@if [ ! -x $(DEBUG_PYTHON) ] || [ ! -e /usr/include/python3.11d/Python.h ]; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y python3.11-dbg python3.11-dev; \
	fi
	@mkdir -p build/refleak/vorm && cp vorm/*.py build/refleak/vorm/
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(DEBUG_PYTHON) OUTDIR=build/refleak/vorm \
		OBJROOT=build/refleak/obj >build/refleak/build.log 2>&1 || { cat build/refleak/build.log; exit 1; }
	@PYTHONPATH="$(CURDIR)/build/refleak:$(CURDIR)" VORM_SOAK_OPERATIONS=$(REFLEAK_SOAK) VORM_FUZZ_SECONDS=1 \
		$(DEBUG_PYTHON) tools/refleak.py

install-check:
	@tools/install-check

# mpmath comes from Debian (python3-mpmath), for the system python3; the
# suite does not need it.
ACCURACY_PYTHON ?= /usr/bin/python3

.PHONY: accuracy
accuracy:
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(ACCURACY_PYTHON) >/dev/null
	@if ! $(ACCURACY_PYTHON) -c 'import mpmath' 2>/dev/null; then \
		apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y python3-mpmath; \
	fi
	@PYTHONPATH=. $(ACCURACY_PYTHON) tools/accuracy.py

clean:
	rm -rf build vorm/ext*.so vorm/_kernel*.so
