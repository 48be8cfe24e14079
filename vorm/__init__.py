"""vorm: discrete-event process simulation.

The native core lives in vorm.ext: request objects, the queues that hold
them, and the normal and Student-t distribution functions.
"""

# The one place of the version: setup.py and tools/wheelbuild.py read it.
__version__ = "0.1.0"
