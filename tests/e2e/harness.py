"""What the end-to-end tests share: finding the program's window in the X server, and
checks printed one per line with a closing count."""
import subprocess
import time


def find_window(pid, timeout=10.0):
    """The id of the window captioned MainForm that process `pid` shows, or "".

    The window is looked up by process and its caption checked, since SDL may make other
    windows of its own first, and xdotool cannot match SDL's caption by name."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ids = subprocess.run(["xdotool", "search", "--pid", str(pid)], capture_output=True, text=True).stdout.split()
        for w in ids:
            name = subprocess.run(["xdotool", "getwindowname", w], capture_output=True, text=True).stdout.strip()
            if name == "MainForm":
                return w
        time.sleep(0.02)
    return ""


failures = []


def check(ok, what):
    """One thing a listener would notice, printed as it is checked."""
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def finish():
    """The closing line and the exit status."""
    if failures:
        print("%d failed" % len(failures))
        return 1
    print("1 passed, 0 failed")
    return 0


def stacks(pid):
    """Where a program that should have ended is stuck: every thread's stack, when gdb is there."""
    try:
        out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt 16"],
                             capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return "(no stacks: gdb is not available)"
    return "\n".join(l for l in out.splitlines() if l.startswith(("#", "Thread")))
