"""Stack checks of the sanitizer run across greenlet switches (the stack
guard, tools/sanitizer_stack_guard.py): no false report, and real stack
overflows still reported (in a child process, whose report goes to its own
stderr)."""

import os
import subprocess
import sys
import textwrap

import pytest

import memcheck
from wisp import _rt_probe

SCRIPT = textwrap.dedent("""
    import greenlet
    from wisp import _rt_probe as probe

    main = greenlet.getcurrent()

    def child():
        # A frame of ours with a redzoned buffer stays live across each switch.
        for i in range(3):
            probe.stack_poke(i, then=main.switch)
        probe.stack_poke({index})

    def nested(depth, then):
        # Frames of ours, each with a redzoned buffer, around then().
        inner = then if depth == 0 else (lambda: nested(depth - 1, then))
        return probe.stack_poke(depth % 16, then=inner)

    g = greenlet.greenlet(child)
    g.switch()
    # The main greenlet switches back from deeper than the child runs, so its
    # redzones lie where the child enters new frames after the switch.
    for i in range(3):
        nested(20, g.switch)
    assert g.dead
    assert (greenlet.gettrace() is not None) is {guard}
    print("done")
""")


def run_child(code, guard=True):
    env = dict(os.environ, WISP_STACK_GUARD="1" if guard else "0")
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        # Reports to the child's stderr, not to the run's report folder.
        options = [o for o in env.get(name, "").split(":") if o and not o.startswith("log_path=")]
        env[name] = ":".join(options)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=300)


sanitized = pytest.mark.skipif(not memcheck.SANITIZED, reason="needs the sanitizer run")


@sanitized
@pytest.mark.parametrize("code", [
    "from wisp import _rt_probe; _rt_probe.stack_poke(16)",
    "from wisp import _rt_probe; _rt_probe.stack_poke(-1)",
    SCRIPT.format(guard=True, index=16),
])
def test_stack_overflow_is_reported(code):
    pytest.importorskip("greenlet")
    done = run_child(code)
    assert done.returncode != 0, done.stdout + done.stderr
    assert "AddressSanitizer: stack-buffer-" in done.stderr, done.stderr
    assert "stack_poke" in done.stderr, done.stderr
    assert "done" not in done.stdout


@sanitized
@pytest.mark.parametrize("guard", [True, False])
def test_greenlet_switches_leave_no_false_report(guard):
    # Without the guard, the redzones the main greenlet left behind are
    # reported in the child's new frames: what the test run would see.
    pytest.importorskip("greenlet")
    done = run_child(SCRIPT.format(guard=guard, index=15), guard)
    if guard:
        assert done.returncode == 0, done.stderr
        assert "AddressSanitizer" not in done.stderr
        assert done.stdout.strip() == "done"
    else:
        assert done.returncode != 0
        assert "AddressSanitizer: stack-buffer-" in done.stderr, done.stderr


@pytest.mark.skipif(memcheck.SANITIZED, reason="the sanitizer run lets the probe overflow")
@pytest.mark.parametrize("index", [16, -1])
def test_probe_refuses_an_overflow_without_the_sanitizer(index):
    with pytest.raises(IndexError, match="outside the 16-byte buffer"):
        _rt_probe.stack_poke(index)
    assert _rt_probe.stack_poke(15) == 15
