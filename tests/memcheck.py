"""Memory-flatness checks shared by the leak tests.

A leak grows memory in every stretch of a long loop. A one-off event (the
interpreter resizing its table of interned strings, a cache reaching its
next size) grows it in one stretch only. So the loop runs in several equal
windows, and the check takes the smallest growth among them.
"""

import ctypes
import gc
import os
import tracemalloc

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def _asan_counter():
    """AddressSanitizer's count of live heap bytes, when its runtime is loaded."""
    try:
        f = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except (AttributeError, OSError):
        return None
    f.restype = ctypes.c_size_t
    f.argtypes = []
    return f


# Under AddressSanitizer freed memory sits in a quarantine before it is
# reused, so resident size grows by design and says nothing about leaks; the
# reference-leak loop measures that build instead.
asan_allocated_bytes = _asan_counter()
SANITIZED = asan_allocated_bytes is not None


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_SIZE


def growth_per_window(work, windows, traced):
    """Runs `work()` once per window; returns the growth of each window."""
    gc.collect()
    out = []
    if traced:
        tracemalloc.start()
    try:
        for _ in range(windows):
            before = tracemalloc.get_traced_memory()[0] if traced else rss()
            work()
            gc.collect()
            after = tracemalloc.get_traced_memory()[0] if traced else rss()
            out.append(after - before)
    finally:
        if traced:
            tracemalloc.stop()
    return out


def assert_flat(work, traced_limit=64 * 1024, rss_limit=4 * 1024 * 1024, windows=3, what="the loop"):
    """`work()` is one window of the loop, already warmed up by the caller."""
    if SANITIZED:
        # The sanitizer run looks for memory errors, which one window shows as
        # well as three; leaks in that build are the reference-leak loop's.
        work()
        return
    if traced_limit is not None:
        traced = growth_per_window(work, windows, traced=True)
        assert min(traced) < traced_limit, f"traced memory grew in every window of {what}: {traced}"
    if rss_limit is not None:
        resident = growth_per_window(work, windows, traced=False)
        assert min(resident) < rss_limit, f"RSS grew in every window of {what}: {resident}"
