# make build [PYTHON=/path/to/python]   build vorm/ext for one or every CPython
# make test                             build and run the suite under each
# make demo                             run the example
PYTHONS = $(shell tools/find-pythons)
JOBS ?= 2

.PHONY: build test demo clean

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

DEMO_PYTHON = $(or $(PYTHON),python3)

demo:
	@$(MAKE) --no-print-directory -j$(JOBS) -f tools/ext.mk PYTHON=$(DEMO_PYTHON) >/dev/null
	@PYTHONPATH=. $(DEMO_PYTHON) examples/chain.py
	@echo
	@PYTHONPATH=. $(DEMO_PYTHON) examples/mm1.py

clean:
	rm -rf build vorm/ext*.so
