"""The M/M/1 of examples/mm1.py as the plainest event loop one can write in
Python: generators for the customers and the source, a heap of (time,
order, generator) tuples for the events, a deque for the line, and the
statistics kept inline with the very arithmetic of vorm's Tally and Level,
so that it reports the same numbers for the same seed. It is the floor for
any design whose processes are Python generators; bench/peers.py races the
vorm model against it.
"""
from __future__ import division

import heapq
import itertools
import random
from collections import deque


def mm1(seed, arrival=0.7, service=1.0, customers=20000, warmup=2000):
    rng = random.Random(seed)
    events = []
    order = itertools.count()
    push, pop = heapq.heappush, heapq.heappop
    line = deque()
    # now, busy server, and the monitors: the wait tally (count, mean), the
    # line-length and busy levels (value, area, since, start).
    now = 0.0
    busy = False
    wait_count, wait_mean = 0, 0.0
    length, length_area, length_since, length_start = 0, 0.0, 0.0, 0.0
    busy_value, busy_area, busy_since, busy_start = 0, 0.0, 0.0, 0.0

    def customer(service_time):
        nonlocal busy, wait_count, wait_mean, length, length_area, length_since, busy_value, busy_area, busy_since
        if not busy:
            busy = True
            wait_count += 1
            wait_mean += (0.0 - wait_mean) / wait_count
            busy_area += busy_value * (now - busy_since)
            busy_since, busy_value = now, 1
        else:
            line.append((now, me[0]))
            length_area += length * (now - length_since)
            length_since, length = now, len(line)
            yield None  # woken by the release that hands it the server
        yield service_time
        if line:
            arrived, successor = line.popleft()
            length_area += length * (now - length_since)
            length_since, length = now, len(line)
            wait_count += 1
            wait_mean += (now - arrived - wait_mean) / wait_count
            push(events, (now, next(order), successor))
        else:
            busy = False
            busy_area += busy_value * (now - busy_since)
            busy_since, busy_value = now, 0

    me = [None]

    def source():
        nonlocal wait_count, wait_mean, length_area, length_since, length_start, busy_area, busy_since, busy_start
        for number in range(warmup + customers):
            if number == warmup:
                wait_count, wait_mean = 0, 0.0
                length_area, length_since, length_start = 0.0, now, now
                busy_area, busy_since, busy_start = 0.0, now, now
            yield rng.expovariate(arrival)
            process = customer(rng.expovariate(service))
            push(events, (now, next(order), process))

    push(events, (0.0, next(order), source()))
    while events:
        now, _, process = pop(events)
        me[0] = process
        try:
            delay = next(process)
        except StopIteration:
            continue
        if delay is not None:
            push(events, (now + delay, next(order), process))
    length_mean = (length_area + length * (now - length_since)) / (now - length_start)
    busy_mean = (busy_area + busy_value * (now - busy_since)) / (now - busy_start)
    return {"wait": wait_mean, "length": length_mean, "busy": busy_mean}
