#!/usr/bin/env python3
"""The real program in an X server with SDL's disk audio driver: how soon the welcome is
heard, how much memory it takes at most, and how much processor a rally costs, the game
thread's share and how often it wakes.
Run inside xvfb-run: program_bench.py PALOMIR [SECONDS [PROGRAM OPTIONS...]]; with options
only the processor line is printed, named after them. With PALOMIR_BEFORE naming another
build's program, the rally is played on both, taking turns, and both are printed."""
import os
import subprocess
import sys
import tempfile
import time
import wave


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


def threads(pid):
    """Each thread's processor seconds, its wake-ups so far and its name, by thread id."""
    got = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            stat = open("/proc/%d/task/%s/stat" % (pid, tid)).read()
            f = stat.split(")")[1].split()
            woke = sum(int(line.split()[1]) for line in open("/proc/%d/task/%s/status" % (pid, tid))
                       if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
        except OSError:
            continue  # ended meanwhile
        got[int(tid)] = ((int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK"), woke,
                         stat.split("(")[1].split(")")[0])
    return got


def rally(proc, seconds):
    """A rally: the puck served with the grid every few seconds, the mouse moved now and then.
    The whole program's share of a core, what its game thread (the first) took and how often
    it woke, and the other thread that took most, and the rally's length."""
    t0, w0 = threads(proc.pid), time.monotonic()
    n = 0
    while time.monotonic() - w0 < seconds:
        subprocess.run(["xdotool", "key", "5" if n % 2 else "g"])
        subprocess.run(["xdotool", "mousemove_relative", "--", str(10 - 20 * (n % 2)), "-3"])
        n += 1
        time.sleep(1.5)
    t1, took = threads(proc.pid), time.monotonic() - w0
    total = sum(t1[t][0] - t0.get(t, (0, 0))[0] for t in t1)
    game = [t1[proc.pid][i] - t0[proc.pid][i] for i in (0, 1)]
    other = max((t1[t][0] - t0.get(t, (0, 0))[0], t1[t][2]) for t in t1 if t != proc.pid)
    return (100.0 * total / took,
            "the game thread %.2f%%, waking %.0f times a second; then %s %.2f%%"
            % (100.0 * game[0] / took, game[1] / took, other[1], 100.0 * other[0] / took),
            took)


def played(palomir, seconds, env=None):
    """A rally on `palomir`, after its welcome: (its processor share, the game thread's).
    Played into SDL's disk driver, or with `env` where that says."""
    out = tempfile.mktemp(suffix=".raw")
    env = env or dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out)
    proc = subprocess.Popen([palomir], env=env, stderr=subprocess.DEVNULL)
    try:
        time.sleep(4.0)
        c, wakes, _ = rally(proc, seconds)
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        if os.path.exists(out):
            os.unlink(out)
    return c, wakes


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

    c, wakes, took = rally(proc, seconds)
    peak = 0
    for line in open("/proc/%d/status" % proc.pid):
        if line.startswith("VmHWM:"):
            peak = int(line.split()[1]) / 1024.0
    proc.terminate()
    proc.wait(timeout=10)
    os.unlink(out)
    if extra:
        print("processor with %s: %.2f%% of one core" % (" ".join(a.split("=")[0] for a in extra), c))
        return
    if shown is None or welcome is None:
        print("start-up: not measured (window %s, sound device %s, first sound %s)" % (shown, opened, k))
    else:
        print("start-up: window shown %.0f ms after start, welcome heard %.0f ms after start, %.0f ms after the window"
              % ((shown - t0) * 1000, (welcome - t0) * 1000, (welcome - shown) * 1000))
    print("peak resident memory: %.1f MB" % peak)
    print("processor during %.0f s of play: %.2f%% of one core, %s" % (took, c, wakes))
    # SDL's disk driver above is the bench's own: its thread wakes every 10 ms to write a
    # file, as no player's sound does. As a player on Linux hears the game: through a
    # PipeWire server (started as the end-to-end tests start it), on the game's own stream.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
    from server_test import SoundServer, game_env
    server = SoundServer()
    try:
        c, wakes = played(palomir, seconds, game_env(server.env, "own"))
        # What any client pays PipeWire at the game's 256-frame cycle: pw-play, playing a
        # file as long, on the same server.
        reference = tempfile.mktemp(suffix=".wav")
        with wave.open(reference, "wb") as w:
            w.setnchannels(2), w.setsampwidth(2), w.setframerate(48000)
            w.writeframes(b"\x10\x00\xf0\xff" * int(48000 * (seconds + 10)))
        player = subprocess.Popen(["pw-play", "--latency=256", reference], env=server.env)
        try:
            time.sleep(3.0)
            t0, w0 = threads(player.pid), time.monotonic()
            time.sleep(seconds)
            t1, took = threads(player.pid), time.monotonic() - w0
            paid = 100.0 * sum(t1[t][0] - t0.get(t, (0, 0, ""))[0] for t in t1) / took
        finally:
            player.kill()
            player.wait()
            os.unlink(reference)
    finally:
        server.stop()
    print("processor through PipeWire: %.2f%% of one core (the game's own stream), %s; pw-play at the "
          "same 256-frame cycle %.2f%%" % (c, wakes, paid))
    before = os.environ.get("PALOMIR_BEFORE")
    if before:
        # Both builds in turns, so that what else the machine does falls on both alike.
        figures = {palomir: [], before: []}
        for _ in range(3):
            for program in figures:
                figures[program].append(played(program, seconds))
        for name, program in (("this build", palomir), ("the build before", before)):
            runs = sorted(figures[program])
            print("processor, %s (3 rallies): %s; median %.2f%% of one core, %s"
                  % (name, ", ".join("%.2f%%" % r[0] for r in figures[program]), runs[1][0], runs[1][1]))


if __name__ == "__main__":
    main()
