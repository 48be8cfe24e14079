"""Facilities: c identical servers and the line that waits for them.

A process that seizes a facility files an entry: a request of the line's
element type whose `val` is the process, whose `firedTime` is when it joined,
whose `priority` is the seize's and whose `target` is the facility. The
entry waits in the line (any request container: the line decides the order
of service) and moves to the facility's `users` list while the process holds
a server. Entries join the process's chain under the facility's name, so
`process.time(name)` tells when it last joined this line.

Facility and its Seize command are native types of vorm._kernel.
"""
from vorm._kernel import Facility, Seize

__all__ = ["Facility", "Seize"]
