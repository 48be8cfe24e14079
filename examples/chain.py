"""Request chains: a process records what it waited for, and later looks
the steps up by name.

    PYTHONPATH=. python examples/chain.py
"""
from __future__ import print_function

import argparse

from vorm.ext import LinkedRequest, Request, RequestListFIFO


def main(argv=None):
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0]).parse_args(argv)
    # Each step of a customer's visit is a request; prev links it to the step before.
    arrive = Request(name="arrive", val="door 3", firedTime=0.0)
    queued = Request(name="queued", val=4, prev=arrive, firedTime=0.5)
    served = Request(name="served", val="clerk 2", prev=queued, firedTime=7.25)

    print("chain of names:      ", served.names())
    print("names and times:     ", served.namesAndTimes())
    print("when was it queued?  ", served.time("queued"))
    print("who served it?       ", served["served"])
    print("did it arrive?       ", "arrive" in served)
    print("position of 'arrive':", served.index(arrive.name))
    print("walking the chain:   ", [step.name for step in served])

    # Linked requests can wait in a container; queue tells which one holds them.
    line = RequestListFIFO()
    for name in ("ann", "bob", "cy"):
        line.push(LinkedRequest(name=name))
    first = line.pop()
    print("served first:        ", first.name, "- still waiting:", [r.name for r in line])
    print("its queue now:       ", first.queue)


if __name__ == "__main__":
    main()
