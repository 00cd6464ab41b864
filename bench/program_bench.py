#!/usr/bin/env python3
"""The real program in an X server with SDL's disk audio driver: how soon the welcome is
heard, how much memory it takes at most, and how much processor a rally costs.
Run inside xvfb-run: program_bench.py PALOMIR [SECONDS [PROGRAM OPTIONS...]]; with options
only the processor line is printed, named after them."""
import os
import subprocess
import sys
import tempfile
import time


def first_sound(path):
    """Index of the first frame that is not silent, or None."""
    data = open(path, "rb").read()
    import array
    a = array.array("f")
    a.frombytes(data[: len(data) // 8 * 8])
    for i, x in enumerate(a):
        if abs(x) > 1e-4:
            return i // 2
    return None


def main():
    palomir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
    out = tempfile.mktemp(suffix=".raw")
    env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out)
    t0 = time.monotonic()
    extra = sys.argv[3:]
    proc = subprocess.Popen([palomir, *extra], env=env, stderr=subprocess.DEVNULL)
    opened = shown = None
    while opened is None or shown is None:
        now = time.monotonic()
        if opened is None and os.path.exists(out):
            opened = now
        if shown is None:
            r = subprocess.run(["xdotool", "search", "--pid", str(proc.pid)],
                               capture_output=True, text=True)
            if r.stdout.strip():
                shown = time.monotonic()
        if now - t0 > 10:
            break
        time.sleep(0.001)
    time.sleep(3.0)
    k = first_sound(out)
    welcome = opened + k / 48000.0 if opened is not None and k is not None else None

    # A rally: the puck served with the grid every few seconds, the mouse moved now and then.
    def cpu():
        f = open("/proc/%d/stat" % proc.pid).read().split(")")[1].split()
        return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")

    c0, w0 = cpu(), time.monotonic()
    n = 0
    while time.monotonic() - w0 < seconds:
        subprocess.run(["xdotool", "key", "5" if n % 2 else "g"])
        subprocess.run(["xdotool", "mousemove_relative", "--", str(10 - 20 * (n % 2)), "-3"])
        n += 1
        time.sleep(1.5)
    c1, w1 = cpu(), time.monotonic()
    peak = 0
    for line in open("/proc/%d/status" % proc.pid):
        if line.startswith("VmHWM:"):
            peak = int(line.split()[1]) / 1024.0
    proc.terminate()
    proc.wait(timeout=10)
    os.unlink(out)
    if extra:
        print("processor with %s: %.2f%% of one core" % (" ".join(a.split("=")[0] for a in extra),
                                                         100.0 * (c1 - c0) / (w1 - w0)))
        return
    if shown is None or welcome is None:
        print("start-up: not measured (window %s, sound device %s, first sound %s)" % (shown, opened, k))
    else:
        print("start-up: window shown %.0f ms after start, welcome heard %.0f ms after start, %.0f ms after the window"
              % ((shown - t0) * 1000, (welcome - t0) * 1000, (welcome - shown) * 1000))
    print("peak resident memory: %.1f MB" % peak)
    print("processor during %.0f s of play: %.2f%% of one core" % (w1 - w0, 100.0 * (c1 - c0) / (w1 - w0)))


if __name__ == "__main__":
    main()
