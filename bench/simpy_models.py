"""The models of examples/ written for SimPy 3, the peer that bench/peers.py
races them against.

Each function takes the parameters of its vorm counterpart, draws the same
random values in the same order (every value of a customer at its arrival,
in the source) and computes each time the same way (now + delay; a
preempted service's time left as its end minus now), so it returns the
same numbers for the same seed. The statistics are vorm's own pure-Python
Tally and Level, updated exactly where the vorm facility updates its own,
so that even the rounding of the averages agrees.

Where two actors draw random values (the buffer's producer and consumer,
the shop's machines and their breakdowns), each draws from a stream of its
own, seeded from the model's seed in the same order on both sides, so that
the order in which simultaneous events run, where vorm and SimPy differ,
cannot change a draw. Each twin's docstring says where SimPy's rules differ
from vorm's and how the twin makes up for it.

Priorities: vorm's RequestBinaryHeap serves the larger priority first,
SimPy's PriorityResource the smaller; here class k (0 the most urgent)
requests with priority k.
"""
from __future__ import division

import bisect
import random

import simpy

from vorm.monitor import Level, Tally


class Monitors(object):
    """What a vorm Facility keeps by itself: the waits, the line length and
    the busy servers. A Level set where vorm does not set it would split
    one of its time segments in two and round the average differently."""

    def __init__(self, env, resource):
        self.resource = resource
        self.wait = Tally("wait", env)
        self.length = Level(env, "line")
        self.busy = Level(env, "busy")

    def requested(self, request):
        """Right after the request is made: granted at once or queued."""
        if request.triggered:
            self.wait.add(0.0)
            self.busy.set(self.resource.count)
        else:
            self.length.set(len(self.resource.queue))

    def granted(self, waited):
        """When a request that was queued has been granted."""
        self.wait.add(waited)
        self.length.set(len(self.resource.queue))

    def released(self):
        # With someone in line the server passes straight on, and vorm
        # leaves the busy level alone.
        if not self.resource.queue:
            self.busy.set(self.resource.count)

    def left_line(self):
        self.length.set(len(self.resource.queue))

    def reset(self):
        self.wait.reset()
        self.length.reset()
        self.busy.reset()


def run_through(env, until):
    """env.run(until) as vorm's sim.run(until): vorm also runs the events due
    at `until` itself, SimPy stops before them. Models whose events fall on
    round times (a check every 15 minutes) need the difference made up.
    SimPy refuses to run until now; vorm runs what is due then."""
    if until > env.now:
        env.run(until=until)
    while env.peek() == until:
        env.step()


def visit(env, resource, monitors, service_time, priority=None, granted=None):
    """One customer's visit to resource: its request, noted in monitors
    where a vorm Facility notes its seize, then service_time holding it.
    granted(wait) runs once the resource is had."""
    joined = env.now
    with (resource.request() if priority is None else resource.request(priority=priority)) as request:
        queued = not request.triggered
        monitors.requested(request)
        yield request
        if queued:
            monitors.granted(env.now - joined)
        if granted is not None:
            granted(env.now - joined)
        yield env.timeout(service_time)
    monitors.released()


def mm1(seed, arrival=0.7, service=1.0, customers=20000, warmup=2000):
    rng = random.Random(seed)
    env = simpy.Environment()
    server = simpy.Resource(env, 1)
    monitors = Monitors(env, server)

    def customer(service_time):
        yield from visit(env, server, monitors, service_time)

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                monitors.reset()
            yield env.timeout(rng.expovariate(arrival))
            env.process(customer(rng.expovariate(service)))

    env.process(source())
    env.run()
    return {"wait": monitors.wait.mean(), "length": monitors.length.mean(), "busy": monitors.busy.mean()}


def mmc(seed, arrival=2.4, service=1.0, servers=3, customers=20000, warmup=2000):
    rng = random.Random(seed)
    env = simpy.Environment()
    counter = simpy.Resource(env, servers)
    monitors = Monitors(env, counter)
    delayed = [0]

    def count_delayed(waited):
        if waited > 0:
            delayed[0] += 1

    def customer(service_time):
        yield from visit(env, counter, monitors, service_time, granted=count_delayed)

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                monitors.reset()
                delayed[0] = 0
            yield env.timeout(rng.expovariate(arrival))
            env.process(customer(rng.expovariate(service)))

    env.process(source())
    env.run()
    return {"wait": monitors.wait.mean(), "delayed": delayed[0] / monitors.wait.count,
            "length": monitors.length.mean(), "busy": monitors.busy.mean()}


def priority(seed, rates=(0.2, 0.3, 0.3), service=1.0, customers=20000, warmup=2000):
    rng = random.Random(seed)
    env = simpy.Environment()
    server = simpy.PriorityResource(env, 1)
    monitors = Monitors(env, server)
    classes = len(rates)
    waits = [Tally("class %d wait" % (k + 1), env) for k in range(classes)]
    total = sum(rates)
    bounds = [sum(rates[:k + 1]) / total for k in range(classes - 1)]

    def customer(k, service_time):
        yield from visit(env, server, monitors, service_time, priority=k, granted=waits[k].add)

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                monitors.reset()
                for tally in waits:
                    tally.reset()
            yield env.timeout(rng.expovariate(total))
            k = bisect.bisect(bounds, rng.random())
            env.process(customer(k, rng.expovariate(service)))

    env.process(source())
    env.run()
    outputs = {"wait": monitors.wait.mean()}
    for k, tally in enumerate(waits):
        outputs["wait_%d" % (k + 1)] = tally.mean()
    outputs["length"] = monitors.length.mean()
    outputs["busy"] = monitors.busy.mean()
    return outputs


def preempt(seed, rates=(0.3, 0.3, 0.2), service=1.0, customers=20000, warmup=2000):
    rng = random.Random(seed)
    env = simpy.Environment()
    server = simpy.PreemptiveResource(env, 1)
    busy = Level(env, "busy")
    classes = len(rates)
    times = [Tally("class %d time" % (k + 1), env) for k in range(classes)]
    preempted = [0]
    total = sum(rates)
    bounds = [sum(rates[:k + 1]) / total for k in range(classes - 1)]

    def customer(k, service_time):
        arrived = env.now
        left = service_time
        while left is not None:
            # vorm sets its busy level when a seize finds the server idle,
            # not when it preempts.
            idle = server.count == 0
            with server.request(priority=k) as request:
                if idle:
                    busy.set(server.count)
                yield request
                end = env.now + left
                try:
                    yield env.timeout(left)
                    left = None
                except simpy.Interrupt:
                    # Preempted: wait again for the service still owed.
                    preempted[0] += 1
                    left = end - env.now
        if not server.queue:
            busy.set(server.count)
        times[k].add(env.now - arrived)

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                busy.reset()
                preempted[0] = 0
                for tally in times:
                    tally.reset()
            yield env.timeout(rng.expovariate(total))
            k = bisect.bisect(bounds, rng.random())
            env.process(customer(k, rng.expovariate(service)))

    env.process(source())
    env.run()
    outputs = {}
    for k, tally in enumerate(times):
        outputs["time_%d" % (k + 1)] = tally.mean()
    outputs["preemptions"] = preempted[0] / customers
    outputs["busy"] = busy.mean()
    return outputs


def bank(seed, arrival=3.0, service=1.1, tellers=3, limit=8, patience=5.0, minutes=6000.0, warmup=600.0):
    rng = random.Random(seed)
    env = simpy.Environment()
    counter = simpy.Resource(env, tellers)
    monitors = Monitors(env, counter)
    counts = {"arrivals": 0, "balked": 0, "reneged": 0}
    impatient = patience < float("inf")

    def customer(service_time, patience_time):
        if limit is not None and counter.count == tellers and len(counter.queue) >= limit:
            counts["balked"] += 1
            return
        arrived = env.now
        with counter.request() as request:
            queued = not request.triggered
            monitors.requested(request)
            if queued and patience_time is not None:
                yield request | env.timeout(patience_time)
            else:
                yield request
            if request.triggered:
                if queued:
                    monitors.granted(env.now - arrived)
                yield env.timeout(service_time)
        if request.triggered:
            monitors.released()
        else:
            counts["reneged"] += 1
            monitors.left_line()

    def source():
        while True:
            yield env.timeout(rng.expovariate(arrival))
            counts["arrivals"] += 1
            service_time = rng.expovariate(service)
            env.process(customer(service_time, rng.expovariate(1.0 / patience) if impatient else None))

    env.process(source())
    env.run(until=warmup)
    monitors.reset()
    counts.update(arrivals=0, balked=0, reneged=0)
    env.run(until=warmup + minutes)
    return {"balked": counts["balked"] / counts["arrivals"], "reneged": counts["reneged"] / counts["arrivals"],
            "wait": monitors.wait.mean(), "length": monitors.length.mean(), "busy": monitors.busy.mean()}


def network(seed, arrival=0.5, rework=0.2, lathe=1.0, mill=0.5, mills=2, inspection=1.0, jobs=20000, warmup=2000):
    rng = random.Random(seed)
    env = simpy.Environment()
    lathes, millers, inspector = simpy.Resource(env, 1), simpy.Resource(env, mills), simpy.Resource(env, 1)
    stations = dict((resource, Monitors(env, resource)) for resource in (lathes, millers, inspector))
    times = Tally("time in shop", env)

    def job(lathe_time, visits):
        arrived = env.now
        route = [(lathes, lathe_time)]
        for mill_time, inspection_time in visits:
            route += [(millers, mill_time), (inspector, inspection_time)]
        for resource, service_time in route:
            yield from visit(env, resource, stations[resource], service_time)
        times.add(env.now - arrived)

    def source():
        for number in range(warmup + jobs):
            if number == warmup:
                for monitored in list(stations.values()) + [times]:
                    monitored.reset()
            yield env.timeout(rng.expovariate(arrival))
            lathe_time = rng.expovariate(lathe)
            visits = []
            while True:
                visits.append((rng.expovariate(mill), rng.expovariate(inspection)))
                if rng.random() >= rework:
                    break
            env.process(job(lathe_time, visits))

    env.process(source())
    env.run()
    return {"wait_lathe": stations[lathes].wait.mean(), "wait_mill": stations[millers].wait.mean(),
            "wait_inspection": stations[inspector].wait.mean(), "time": times.mean()}


def buffer(seed, production=1.0, consumption=1.25, capacity=5, minutes=20000.0, warmup=1000.0):
    """SimPy's Store serves one producer and one consumer as vorm's does: a
    put waits while the store is full, a get while it is empty. Where SimPy
    passes a put or get that completes at once through its event list, vorm
    goes on at once; the only difference is then the order of simultaneous
    resumptions, which changes nothing here: each side draws from a stream
    of its own, and the contents level, set by both, ends each instant on
    the same count (a level set twice at one time splits no segment)."""
    rng = random.Random(seed)
    making, using = random.Random(rng.getrandbits(64)), random.Random(rng.getrandbits(64))
    env = simpy.Environment()
    store = simpy.Store(env, capacity)
    contents = Level(env, "buffer contents", 0)
    put_wait, get_wait = Tally("buffer put wait", env), Tally("buffer get wait", env)
    held, blocked = [0], [0]

    def producer():
        number = 0
        while True:
            yield env.timeout(making.expovariate(production))
            finished = env.now
            yield store.put(number)
            put_wait.add(env.now - finished)
            held[0] += 1
            contents.set(held[0])
            if env.now > finished:
                blocked[0] += 1
            number += 1

    def consumer():
        while True:
            asked = env.now
            yield store.get()
            get_wait.add(env.now - asked)
            held[0] -= 1
            contents.set(held[0])
            yield env.timeout(using.expovariate(consumption))

    env.process(producer())
    env.process(consumer())
    run_through(env, warmup)
    for monitor in (contents, put_wait, get_wait):
        monitor.reset()
    blocked[0] = 0
    run_through(env, warmup + minutes)
    return {"throughput": get_wait.count / minutes, "content": contents.mean(), "blocked": blocked[0] / put_wait.count,
            "put_wait": put_wait.mean(), "get_wait": get_wait.mean()}


def gasstation(seed, arrival=0.5, pumps=3, least=5.0, most=45.0, rate=10.0, size=2000.0, threshold=800.0,
               load=1000.0, check=15.0, travel=45.0, minutes=40000.0, warmup=2000.0):
    """SimPy 3's Container serves its waiting gets as a vorm Tank does:
    strictly first come, first served (a get that would fit waits behind
    one that does not), and all that fit when the truck's load arrives, at
    that moment, in their order. Each car reads the level after it got its
    fuel, and the truck after its put: the last of them at an instant reads
    what the vorm tank's contents level ends that instant on. The manager
    looks every 15 minutes, so the truck may come at the very end of the
    run: run_through lets it, as vorm does."""
    rng = random.Random(seed)
    env = simpy.Environment()
    station = simpy.Resource(env, pumps)
    monitors = Monitors(env, station)
    tank = simpy.Container(env, size, size)
    fuel = Level(env, "tank contents", float(size))
    fuel_wait = Tally("tank get wait", env)
    counts = {"dry": 0, "trucks": 0}

    def car(litres):
        joined = env.now
        with station.request() as request:
            queued = not request.triggered
            monitors.requested(request)
            yield request
            if queued:
                monitors.granted(env.now - joined)
            asked = env.now
            yield tank.get(litres)
            fuel_wait.add(env.now - asked)
            fuel.set(tank.level)
            if env.now > asked:
                counts["dry"] += 1
            yield env.timeout(litres / rate)
        monitors.released()

    def source():
        while True:
            yield env.timeout(rng.expovariate(arrival))
            env.process(car(rng.uniform(least, most)))

    def manager():
        while True:
            yield env.timeout(check)
            if tank.level < threshold:
                yield env.timeout(travel)
                yield tank.put(load)
                fuel.set(tank.level)
                counts["trucks"] += 1

    env.process(source())
    env.process(manager())
    run_through(env, warmup)
    for monitor in (monitors, fuel, fuel_wait):
        monitor.reset()
    counts.update(dry=0, trucks=0)
    run_through(env, warmup + minutes)
    return {"pump_wait": monitors.wait.mean(), "busy": monitors.busy.mean(), "fuel": fuel.mean(),
            "dry": counts["dry"] / fuel_wait.count, "fuel_wait": fuel_wait.mean(),
            "trucks": 1000.0 * counts["trucks"] / minutes}


def race(seed, arrival=1.0, delivery=1.0, deadline=0.5, fixed=None, customers=20000, warmup=0):
    """vorm's first(wait(courier), hold(deadline)) is SimPy's condition
    courier | timeout. vorm withdraws the losing branch; SimPy leaves a lost
    timeout in its event list to fire unheard, which changes no number. A
    cancelled courier computes the trip it had left as its end minus now,
    the same subtraction vorm makes for Interrupt.left."""
    rng = random.Random(seed)
    env = simpy.Environment()
    decided = Tally("decided", env)
    left = Tally("left", env)
    on_time = [0]

    def courier(trip):
        end = env.now + trip
        try:
            yield env.timeout(trip)
        except simpy.Interrupt:
            left.add(end - env.now)

    def order(trip, patience):
        placed = env.now
        sent = env.process(courier(trip))
        outcome = yield sent | env.timeout(patience)
        decided.add(env.now - placed)
        if sent in outcome:
            on_time[0] += 1
        else:
            sent.interrupt("cancelled")

    def source():
        for number in range(warmup + customers):
            if number == warmup:
                for tally in (decided, left):
                    tally.reset()
                on_time[0] = 0
            yield env.timeout(rng.expovariate(arrival))
            trip = rng.expovariate(delivery)
            env.process(order(trip, fixed if fixed is not None else rng.expovariate(deadline)))

    env.process(source())
    env.run()
    return {"on_time": on_time[0] / decided.count, "decided": decided.mean(), "left": left.mean()}


def shop(seed, machines=6, failure=0.125, repair=1.0, job=1.0, hours=10000.0, warmup=500.0):
    """A breakdown is SimPy's process.interrupt(cause), as in vorm; vorm
    hands the interrupted job's time left over in Interrupt.left, SimPy does
    not, so the machine keeps its job's end and subtracts now, as vorm does.
    vorm's passivate and reactivate are an event the breakdown process
    waits for and the mended machine succeeds. The repairman is a FIFO
    Resource watched as a vorm Facility."""
    rng = random.Random(seed)
    streams = [(random.Random(rng.getrandbits(64)), random.Random(rng.getrandbits(64))) for _ in range(machines)]
    env = simpy.Environment()
    repairman = simpy.Resource(env, 1)
    monitors = Monitors(env, repairman)
    working = Level(env, "machines up", machines)
    done = [0]
    mended = [None] * machines

    def machine(number, jobs):
        left = None
        while True:
            work = jobs.expovariate(job) if left is None else left
            end = env.now + work
            try:
                yield env.timeout(work)
                left = None
                done[0] += 1
            except simpy.Interrupt as breakdown:
                left = end - env.now
                working.set(working.value - 1)
                yield from visit(env, repairman, monitors, breakdown.cause)
                working.set(working.value + 1)
                mended[number].succeed()

    def breakdown(number, failures):
        while True:
            yield env.timeout(failures.expovariate(failure))
            mended[number] = env.event()
            machinery[number].interrupt(failures.expovariate(repair))
            yield mended[number]

    machinery = [env.process(machine(number, jobs)) for number, (jobs, _) in enumerate(streams)]
    for number, (_, failures) in enumerate(streams):
        env.process(breakdown(number, failures))
    run_through(env, warmup)
    monitors.reset()
    working.reset()
    done[0] = 0
    run_through(env, warmup + hours)
    return {"up": working.mean(), "busy": monitors.busy.mean(), "wait": monitors.wait.mean(),
            "length": monitors.length.mean(), "jobs": done[0] / hours}
