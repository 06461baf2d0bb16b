"""The sanitizer run's guard of AddressSanitizer's stack checks across
greenlet switches, in every interpreter of that run (the suite's own and the
child processes it starts). tools/run-sanitized.sh installs this file into
the run's environment with a .pth line that imports it at start-up.

greenlet runs several Python call stacks on one C stack by copying the part
a switch hands over to the heap and back; the shadow of that region still
holds the redzones of the frames that ran there before. After every switch
the probe module's trace function (stack_guard in tests/probe/stack.cpp)
marks the thread's stack addressable again, before any instrumented code
runs: frames live across the switch lose their redzones until they return,
frames entered afterwards are checked as usual.

The trace function is set when greenlet is first imported, in the importing
thread, and fetched from the probe module at the first switch (the stack is
still clean then, and wisp may not be importable yet while greenlet is).
WISP_STACK_GUARD=0 leaves it out.
"""

import ctypes
import os
import sys


def _sanitized():
    try:
        ctypes.CDLL(None).__asan_unpoison_memory_region
    except (AttributeError, OSError):
        return False
    return os.environ.get("WISP_STACK_GUARD", "1") != "0"


def _first_switch(event, args):
    import greenlet
    from wisp import _rt_probe

    clear = _rt_probe.stack_guard()
    greenlet.settrace(clear)
    clear(event, args)


class _GreenletWatch:
    """Sets the trace function once greenlet has been imported."""

    def find_spec(self, name, path=None, target=None):
        if name != "greenlet":
            return None
        sys.meta_path.remove(self)
        from importlib.util import find_spec

        spec = find_spec(name)
        if spec is not None and spec.loader is not None:
            exec_module = spec.loader.exec_module

            def exec_and_guard(module):
                exec_module(module)
                module.settrace(_first_switch)

            spec.loader.exec_module = exec_and_guard
        return spec


if _sanitized() and "greenlet" not in sys.modules:
    sys.meta_path.insert(0, _GreenletWatch())
