"""vorm: discrete-event process simulation.

The native core lives in vorm.ext: request objects, the queues that hold
them, and the normal and Student-t distribution functions.
"""
