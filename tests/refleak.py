"""The reference-leak loop: a body of calls repeated until the interpreter's
counters must stand still. The counters are total references (debug
interpreters), allocated blocks (while pymalloc serves objects) and live heap
bytes as AddressSanitizer counts them (when its runtime is loaded).

After warm-up (caches fill, lazy imports load; it goes on while the body still
grows), each measured round compares `repeat` repetitions with twice as many:
a leaking call grows a counter by at least `repeat` units more in the longer
run, every round, while one-off growth shows in one round only.
"""

import gc
import sys
import warnings

import memcheck

# The smallest object that can leak, per counter: one reference, one block,
# and 16 bytes (an empty std::string or a pointer pair; Python objects are
# larger).
UNIT = {"references": 1, "blocks": 1, "heap bytes": 16}


def counters():
    """The counters this interpreter offers, by name."""
    out = {}
    if hasattr(sys, "gettotalrefcount"):
        out["references"] = sys.gettotalrefcount
    if sys.getallocatedblocks() > 0:
        out["blocks"] = sys.getallocatedblocks
    if memcheck.asan_allocated_bytes is not None:
        out["heap bytes"] = memcheck.asan_allocated_bytes
    return out


def foreign(call):
    """Marks a call that runs code compiled for the release interpreter
    (pydantic's core): its reference counting bypasses the debug
    interpreter's total, so that counter is not watched for it."""
    call.unwatched = ("references",)
    return call


def run_calls(calls, repeat):
    for call in calls:
        for _ in range(repeat):
            call()


# The interpreter's method cache keeps a reference to the name of each
# lookup it caches, in a slot chosen by the name's address; a name made
# afresh per lookup fills slot after slot. CPython's own -R run clears it too.
clear_caches = getattr(sys, "_clear_internal_caches", None) or getattr(sys, "_clear_type_cache")


def settle():
    clear_caches()
    gc.collect()


def one_round(read, body):
    # A frame gets its frame object only when something asks for it, and a
    # frame that returns while its frame object is still referenced (by a
    # traceback in garbage the collector has not reached yet) makes one for
    # its caller, to link them. Garbage from the body's last calls would so
    # give this frame an object, read as growth by the second reading but
    # not by the first, in the rounds where the collector happens not to
    # run before the body returns. Made here, it is there for both readings.
    sys._getframe()
    settle()
    before = {name: f() for name, f in read.items()}
    body()
    settle()
    return {name: f() - before[name] for name, f in read.items()}


def deltas(calls, repeat, warmup, rounds, max_warmup, unwatched=()):
    """Growth of each counter per `repeat` repetitions, in each measured round
    (twice `repeat` minus once, so per-round noise cancels out). Warm-up goes on
    past `warmup` rounds, up to `max_warmup`, while a round still grows like a
    leak: some structures (the XML parser's) settle only after hundreds of calls."""
    read = {name: f for name, f in counters().items() if name not in unwatched}

    def measured():
        once = one_round(read, lambda: run_calls(calls, repeat))
        twice = one_round(read, lambda: run_calls(calls, 2 * repeat))
        return {name: twice[name] - once[name] for name in read}

    with warnings.catch_warnings():
        # a recorded warning is an object kept per call
        warnings.simplefilter("ignore")
        for _ in range(warmup):
            one_round(read, lambda: run_calls(calls, repeat))
        for _ in range(max_warmup - warmup):
            if not too_much(measured(), repeat):
                break
        growth = {name: [] for name in read}
        for _ in range(rounds):
            for name, grew in measured().items():
                growth[name].append(grew)
    return growth


def too_much(grew, repeat):
    """The counters that grew by half a leaking call's share or more."""
    return {name: g for name, g in grew.items() if g >= repeat * UNIT[name] / 2}


def leaking(calls, repeat, warmup, rounds, max_warmup):
    """The counters that grew in every measured round, with their growth;
    calls marked `foreign` are measured apart."""
    groups = {}
    for call in calls:
        groups.setdefault(getattr(call, "unwatched", ()), []).append(call)
    out = {}
    for unwatched, group in groups.items():
        growth = deltas(group, repeat, warmup, rounds, max_warmup, unwatched)
        out.update({name: grew for name, grew in growth.items()
                    if all(too_much({name: g}, repeat) for g in grew)})
    return out


def check(calls, names, repeat=10, warmup=3, rounds=3, max_warmup=10):
    """Fails naming each leaking call when the whole body leaks.

    `calls` and `names` are parallel lists. The whole body is measured first,
    since that is quick; only when it leaks is each call measured on its own.
    """
    if not counters():
        return
    found = leaking(calls, repeat, warmup, rounds, max_warmup)
    if not found:
        return
    culprits = []
    for call, name in zip(calls, names):
        alone = leaking([call], repeat, warmup, rounds, max_warmup)
        if alone:
            culprits.append(f"{name}: {alone}")
    raise AssertionError(
        f"counters grew in every round of {repeat} repetitions: {found}; "
        "leaking on their own: " + ("; ".join(culprits) or "none (only together)"))
