#!/usr/bin/env python3
"""Key to sink: how long from an input event to its sound at the sound server's sink. PipeWire
started as the end-to-end test starts it (quantum 256 at 48 kHz, a null sink), the game played
through each of SDL's pipewire and pulseaudio drivers; with the puck resting in front of the
player, the mouse moved sideways (an XTest event at a known time) every 1.3 s, which starts the
paddle's slide. The sink is recorded through PipeWire's own real-time client; each block is
stamped as it arrives, which ties the recording to the clock (the earliest arrival of each
block bounds when the sink began it). The slide's onset is where the recording departs from the
steady loop of one loop earlier. Then the game's processor use over those seconds.

The recorder hears the sink late (its own cycle, its pipe): a reference client
(sink_reference), which writes a click into the very cycle after it is asked, is timed the
same way first. Its clicks truly reach the sink between 0 and one quantum after they are
asked, half a quantum on the median; what its median shows beyond that is the recorder's
delay, taken off every figure of the game's.

Three ways out: the game's own PipeWire stream (what it plays through when SDL_AUDIODRIVER is
unset and a PipeWire server runs), and SDL's pipewire and pulseaudio drivers.
Run inside xvfb-run: latency_bench.py BUILD_DIR [EVENTS]"""
import array
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import find_window, stopped  # noqa: E402
from server_test import RATE, LOOP, SoundServer, game_env  # noqa: E402

FRAME = 8  # float stereo


class Recorder:
    """The sink's sound from pw-record, each block stamped with the clock on arrival."""

    def __init__(self, server):
        self.proc = subprocess.Popen(["pw-record", "--target", "nullsink", "-P", "stream.capture.sink=true",
                                      "--latency", "256/48000", "--format", "f32", "--rate", str(RATE),
                                      "--channels", "2", "-"],
                                     env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        self.data = bytearray()
        self.stamps = []  # (the first frame of a block, monotonic time of its arrival)
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        fd = self.proc.stdout.fileno()
        while True:
            b = os.read(fd, 65536)
            now = time.monotonic()
            if not b:
                return
            self.stamps.append((len(self.data) // FRAME, now))
            self.data += b

    def stop(self):
        stopped(self.proc, sig=2)
        self.thread.join(timeout=5)

    def clock(self, around, quantum):
        """The time of frame 0 on the sink's clock: frame n is at offset + n / RATE. A block
        is the sink's quantum, begun when the recorder got it; a late read (blocks run
        together) only makes the time later, so the earliest is taken. pw-record writes
        through a 4 KiB buffer: 512 frames leave at once, with a quantum of 256 the first
        half a quantum after the sink had it. Only blocks within half a second of `around` count:
        the recorder loses frames when the graph changes (another client, a new quantum),
        which moves frame 0."""
        late = sorted(b - a for (a, _), (b, _) in zip(self.stamps, self.stamps[1:]))
        held = max(0, late[len(late) // 2] - quantum) if late else 0
        return min(t - n / RATE for n, t in self.stamps if abs(t - around) < 0.5) - held / RATE

    def samples(self):
        s = array.array("f")
        s.frombytes(bytes(self.data[: len(self.data) // FRAME * FRAME]))
        return s


def onset(s, after, limit):
    """The first frame from `after` on where the left channel departs from one loop earlier."""
    p = int(LOOP * RATE)
    for i in range(after, min(limit, len(s) // 2)):
        if abs(s[2 * i] - s[2 * (i - p)]) > 0.01 or abs(s[2 * i + 1] - s[2 * (i - p) + 1]) > 0.01:
            return i
    return None


def quantum(server):
    """The sink's quantum in frames now, from PipeWire's profiler (its fourth column is the
    quantum's length in microseconds)."""
    folder = tempfile.mkdtemp(prefix="palomir-profile-")  # it leaves plots where it runs
    out = os.path.join(folder, "profile.txt")
    p = subprocess.Popen(["pw-profiler", "-o", out], env=server.env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True, cwd=folder)
    time.sleep(1.0)
    stopped(p, sig=2)
    lengths = sorted(int(l.split("\t")[3]) for l in open(out) if l.count("\t") > 4) if os.path.exists(out) else []
    shutil.rmtree(folder, ignore_errors=True)
    return round(lengths[len(lengths) // 2] * RATE / 1e6) if lengths else 256


def timed(rec, times, q, find):
    """Milliseconds from each of `times` to its sound at the sink, sorted; find(samples, frame)
    gives the frame where the sound begins near `frame`, or None (that time is left out)."""
    s = rec.samples()
    lat = []
    for t in times:
        zero = rec.clock(t, q)
        i = find(s, int((t - zero) * RATE))
        if i is not None:
            lat.append((zero + i / RATE - t) * 1000)
    return sorted(lat)


def reference(server, build, q, events=30):
    """The recorder's own delay in ms, from the reference client's clicks, and the clicks' spread."""
    rec = Recorder(server)
    time.sleep(0.5)
    p = subprocess.Popen([os.path.join(build, "bench", "sink_reference"), str(q)], stdin=subprocess.PIPE,
                         env=server.env, start_new_session=True)
    asked = []
    try:
        time.sleep(1.5)
        for _ in range(events):
            t = time.monotonic()
            p.stdin.write(b"x")
            p.stdin.flush()
            asked.append(t)
            time.sleep(0.3)
    finally:
        stopped(p)
        rec.stop()
    lat = timed(rec, asked, q, lambda s, at: next(
        (i for i in range(max(at - RATE // 20, 1), min(at + RATE // 5, len(s) // 2)) if s[2 * i] > 0.25 >= s[2 * i - 2]),
        None))
    if len(lat) < events // 2:
        return None, lat
    return lat[len(lat) // 2] - 1000.0 * q / RATE / 2, lat


def measure(server, palomir, driver, events):
    x = ctypes.CDLL("libX11.so.6")
    xtst = ctypes.CDLL("libXtst.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    xtst.XTestFakeRelativeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
    dpy = x.XOpenDisplay(None)
    rec = Recorder(server)
    time.sleep(0.5)
    game = subprocess.Popen([palomir], env=game_env(server.env, driver), stderr=subprocess.DEVNULL, start_new_session=True)
    keys = []
    cpu = None
    try:
        find_window(game.pid)
        time.sleep(6.0)  # the welcome, the puck coming in, the buzzer: then the loop alone
        q = quantum(server)

        def used():
            f = open("/proc/%d/stat" % game.pid).read().split(")")[1].split()
            return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")

        c0, w0 = used(), time.monotonic()
        for k in range(events):
            t = time.monotonic()
            xtst.XTestFakeRelativeMotionEvent(dpy, 10 if k % 2 == 0 else -10, 0, 0)
            x.XSync(dpy, 0)
            keys.append(t)
            time.sleep(1.3)
        cpu = 100.0 * (used() - c0) / (time.monotonic() - w0)
    finally:
        stopped(game)
        rec.stop()
    def slide(s, at):
        after = max(at - RATE // 20, int(LOOP * RATE))
        i = onset(s, after, at + RATE // 5)
        # Something else already sounding before the key (the voice, a late buzzer) leaves
        # the event out.
        return i if i is not None and i > after else None

    return timed(rec, keys, q, slide), cpu, q


def main():
    build = sys.argv[1]
    events = int(sys.argv[2]) if len(sys.argv) > 2 else 22
    server = SoundServer()
    names = {"own": "own PipeWire", "pipewire": "SDL pipewire", "pulseaudio": "SDL pulseaudio"}
    try:
        q = quantum(server)
        delay, ref = reference(server, build, q)
        if delay is None:
            print("recorder's delay: the reference client was not heard (%d clicks)" % len(ref))
            delay = 0.0
        else:
            print("recorder's delay: %.1f ms, taken off below (reference median %.1f, %.1f-%.1f ms raw, "
                  "%d clicks, quantum %d)" % (delay, ref[len(ref) // 2], ref[0], ref[-1], len(ref), q))
        for driver in ("own", "pipewire", "pulseaudio"):
            lat, cpu, q = measure(server, os.path.join(build, "palomir"), driver, events)
            lat = [x - delay for x in lat]
            if lat:
                print("key to sink, %s: median %.1f ms, worst %.1f ms, best %.1f ms (%d of %d events, "
                      "quantum %d)" % (names[driver], lat[len(lat) // 2], lat[-1], lat[0], len(lat), events, q))
            else:
                print("key to sink, %s: no onset found" % names[driver])
            print("processor while playing, %s: %.2f%% of one core" % (names[driver], cpu or -1))
    finally:
        server.stop()


if __name__ == "__main__":
    main()
