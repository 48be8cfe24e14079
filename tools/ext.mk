# Builds vorm/ext and vorm/_kernel for one interpreter:
# make -f tools/ext.mk PYTHON=... Objects go to $(OBJROOT)/<tag>, the
# libraries to $(OUTDIR) under the interpreter's own extension file names.
PYTHON ?= python3
OUTDIR ?= vorm
OBJROOT ?= build
EXTRA_CXXFLAGS ?=
EXTRA_LDFLAGS ?=

PYINFO := $(shell $(PYTHON) tools/pyinfo.py)
ifeq ($(words $(PYINFO)),4)
INCLUDE := $(word 1,$(PYINFO))
SUFFIX := $(word 2,$(PYINFO))
INIT := $(word 3,$(PYINFO))
TAG := $(word 4,$(PYINFO))
else
$(error cannot query $(PYTHON))
endif

# The simulation layer's kernel is a module of its own, which reaches the
# core through its C interface; the core is everything else.
KERNEL_SOURCES := $(sort $(wildcard src/kernel/*.cpp))
SOURCES := $(sort $(filter-out $(KERNEL_SOURCES),$(wildcard src/*/*.cpp)))
OBJDIR := $(OBJROOT)/$(TAG)
OBJECTS := $(SOURCES:src/%.cpp=$(OBJDIR)/%.o)
KERNEL_OBJECTS := $(KERNEL_SOURCES:src/%.cpp=$(OBJDIR)/%.o)
TARGET := $(OUTDIR)/ext$(SUFFIX)
KERNEL := $(OUTDIR)/_kernel$(SUFFIX)
EXPORTS := $(OBJDIR)/exports.map
KERNEL_EXPORTS := $(OBJDIR)/kernel-exports.map

CXX ?= g++
# Debian's debug interpreter keeps its own pyconfig.h (Py_DEBUG) in a
# directory of symbolic links to the release headers. GCC canonicalises the
# paths of system headers, so Python.h, found through its link, would pick up
# the release pyconfig.h beside its target and build for the wrong ABI.
NOCANONICAL := $(shell $(CXX) -fno-canonical-system-headers -x c++ -E /dev/null >/dev/null 2>&1 && \
	echo -fno-canonical-system-headers)
CXXFLAGS := -std=c++17 -O2 -fPIC -fvisibility=hidden -ffp-contract=off -Wall -Wextra -Werror=return-type \
	-Wno-register $(NOCANONICAL) -isystem $(INCLUDE) $(EXTRA_CXXFLAGS)
LDFLAGS := -shared -Wl,-O1 $(EXTRA_LDFLAGS)

all: $(TARGET) $(KERNEL)

$(TARGET): $(OBJECTS) $(EXPORTS)
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -o $@ $(OBJECTS) -Wl,--version-script=$(EXPORTS) $(LDFLAGS) -ldl

$(KERNEL): $(KERNEL_OBJECTS) $(KERNEL_EXPORTS)
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -o $@ $(KERNEL_OBJECTS) -Wl,--version-script=$(KERNEL_EXPORTS) $(LDFLAGS)

# Each library exports its module init function and nothing else.
$(EXPORTS): tools/ext.mk
	@mkdir -p $(dir $@)
	@printf '{ global: %s; local: *; };\n' $(INIT) > $@

$(KERNEL_EXPORTS): tools/ext.mk
	@mkdir -p $(dir $@)
	@printf '{ global: %s; local: *; };\n' $(subst ext,_kernel,$(INIT)) > $@

$(OBJDIR)/%.o: src/%.cpp tools/ext.mk
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -MMD -MP -c $< -o $@

.PHONY: all
-include $(OBJECTS:.o=.d) $(KERNEL_OBJECTS:.o=.d)
