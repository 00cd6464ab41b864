#!/usr/bin/env python3
"""Two real games play a match over the network, each in a network namespace of its own and
an X server of its own, driven with xdotool and heard through SDL's disk audio.

The network: the host's and the joiner's namespaces each reach a third, the wire, through a
veth pair. The wire delays each datagram 40 ms (+-5 ms) each way and loses 1 %: with the
kernel's netem when it has it; otherwise (this machine's kernel has no sch_netem) with a
relay of the test's own in the wire's namespace, seeded, that forwards only between the two
games (the joiner calls the relay, which passes everything on to the host). Which one was
used is printed.

The play: the host hits the first puck with the grid (5 held, the mouse moved a little so
that the input handler runs), the joiner lets it in; the joiner serves (the left button,
then the mouse pushed forward) and the host lets it in; the host slides its paddle a few
times and hits the resting puck with 5, the joiner lets it in. Meanwhile a stranger in the
wire's namespace sends the host's port garbage and ENet connections of its own. Then both
windows are closed: both games end with status 0, both recordings replay on the scenario
runner to the same events up to where the shorter ends, with a hit and a goal by each end,
and the host says nothing of the stranger.

The latency, from the disk audio: each file's blocks are stamped with the clock as they
appear (the driver writes 10 ms blocks in real time), which ties its frames to the moment of
an input event (sent through XTest directly, so that its moment is known). The host's own
slides and hit on the puck resting in front of it are heard as soon as the same slides and hit
in a game against the computer, a tick and a block later at most (beyond the spread seen
there); the joiner's serve is heard at the host at most the wire's one way, two ticks and a
block after the joiner hears it. The figures are printed.

    match_test.py PALOMIR XCLOSE SCENARIO        (root: it makes network namespaces)"""
import array
import ctypes
import heapq
import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOST_IP, HOST_WIRE = "10.77.1.2", "10.77.1.1"
JOIN_IP, JOIN_WIRE = "10.77.2.2", "10.77.2.1"
PORT = 4510
DELAY, JITTER, LOSS = 0.040, 0.005, 0.01
SEED = 4510
RELAY_LIFETIME, RELAY_MOST = 150.0, 200000  # seconds, datagrams: the relay ends by itself
RATE = 48000
LOOP = 0.8  # the puck loop's length, seconds
BLOCK = 0.010  # the disk driver's period
TICK = 0.010
LINK_TAG = 0x50414C4D  # what the game's ENet connection carries
SELF = os.path.abspath(__file__)  # run again in the wire's namespace as the relay and the stranger


def relay():
    """The wire without netem: each datagram between the joiner (any port of JOIN_IP, the
    first that calls) and the host's port, delayed and now and then lost; nothing else."""
    rng = random.Random(SEED)
    to_join = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to_join.bind((JOIN_WIRE, PORT))
    to_host = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to_host.bind((HOST_WIRE, 0))
    joiner, queue, taken, sent, lost = None, [], 0, 0, 0

    def stop(*_):
        raise SystemExit

    signal.signal(signal.SIGTERM, stop)
    end = time.monotonic() + RELAY_LIFETIME
    try:
        while time.monotonic() < end and taken < RELAY_MOST:
            wait = max(0.0, queue[0][0] - time.monotonic()) if queue else 0.05
            for s in select.select([to_join, to_host], [], [], wait)[0]:
                data, source = s.recvfrom(65536)
                if s is to_join and source[0] == JOIN_IP and joiner in (None, source):
                    joiner, out, to = source, to_host, (HOST_IP, PORT)
                elif s is to_host and source == (HOST_IP, PORT) and joiner:
                    out, to = to_join, joiner
                else:
                    continue
                taken += 1
                if rng.random() < LOSS:
                    lost += 1
                else:
                    due = time.monotonic() + rng.uniform(DELAY - JITTER, DELAY + JITTER)
                    heapq.heappush(queue, (due, taken, out, data, to))
            while queue and queue[0][0] <= time.monotonic():
                _, _, out, data, to = heapq.heappop(queue)
                out.sendto(data, to)
                sent += 1
    finally:
        print("relay: %d datagrams forwarded, %d lost" % (sent, lost), flush=True)


def stranger():
    """Garbage and ENet connections of its own to the host's port, from the wire; prints what
    came back."""
    rng = random.Random(SEED + 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((HOST_WIRE, 0))
    for i in range(40):
        s.sendto(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200))), (HOST_IP, PORT))
    for i in range(4):
        # ENet's connect: the header (no peer yet, a sent time), then the command, asking
        # for two channels with this game's tag.
        header = struct.pack("!HH", 0x8FFF, 1000 + i)
        connect = struct.pack("!BBHHBBIIIIIIIIII", 0x82, 0xFF, 1, 0, 0xFF, 0xFF, 1392, 65536, 2, 0, 0,
                              5000, 2, 2, rng.getrandbits(32), LINK_TAG)
        s.sendto(header + connect, (HOST_IP, PORT))
    answers, end = 0, time.monotonic() + 1.0
    while time.monotonic() < end:
        if select.select([s], [], [], 0.1)[0]:
            s.recv(65536)
            answers += 1
    print("stranger: 40 datagrams of garbage and 4 ENet connections sent, %d answers" % answers)


if len(sys.argv) > 1 and sys.argv[1] in ("--relay", "--stranger"):
    (relay if sys.argv[1] == "--relay" else stranger)()
    sys.exit(0)

from harness import check, ends_with_test, find_window, finish, ip, namespaces, skipped, stopped  # noqa: E402

TAG = "pm%d" % os.getpid()
HOST_NS, JOIN_NS, WIRE_NS = TAG + "h", TAG + "j", TAG + "w"
X11, XTST = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
X11.XOpenDisplay.restype = ctypes.c_void_p
X11.XOpenDisplay.argtypes = [ctypes.c_char_p]
X11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
X11.XCloseDisplay.argtypes = [ctypes.c_void_p]
X11.XStringToKeysym.restype = ctypes.c_ulong
X11.XStringToKeysym.argtypes = [ctypes.c_char_p]
X11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
XTST.XTestFakeRelativeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
XTST.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]


def make_network():
    """The three namespaces; True when the wire is netem's, False when it needs the relay."""
    namespaces(HOST_NS, JOIN_NS, WIRE_NS)
    for ns, wire, address, gateway in ((HOST_NS, "h0", HOST_IP, HOST_WIRE), (JOIN_NS, "j0", JOIN_IP, JOIN_WIRE)):
        ip("-n", WIRE_NS, "link", "add", wire, "type", "veth", "peer", "name", "eth0", "netns", ns)
        ip("-n", WIRE_NS, "addr", "add", gateway + "/24", "dev", wire)
        ip("-n", ns, "addr", "add", address + "/24", "dev", "eth0")
        ip("-n", WIRE_NS, "link", "set", wire, "up")
        ip("-n", ns, "link", "set", "eth0", "up")
        ip("-n", ns, "route", "add", "default", "via", gateway)
    netem = ["netem", "delay", "%dms" % (DELAY * 1000), "%dms" % (JITTER * 1000), "loss", "%g%%" % (LOSS * 100)]
    added = [subprocess.run(["ip", "netns", "exec", WIRE_NS, "tc", "qdisc", "add", "dev", wire, "root", *netem],
                            capture_output=True).returncode == 0 for wire in ("h0", "j0")]
    if not all(added):
        for wire in ("h0", "j0"):
            subprocess.run(["ip", "netns", "exec", WIRE_NS, "tc", "qdisc", "del", "dev", wire, "root"],
                           capture_output=True)
        return False
    # The wire passes packets on between the two namespaces itself.
    subprocess.run(["ip", "netns", "exec", WIRE_NS, sys.executable, "-c",
                    "open('/proc/sys/net/ipv4/ip_forward', 'w').write('1')"], check=True)
    return True


def drop_network():
    """The three namespaces deleted."""
    for ns in (HOST_NS, JOIN_NS, WIRE_NS):
        subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def start_wire(netem):
    """The relay in the wire's namespace where there is no netem (None where there is), and
    the address and port the joiner calls."""
    print("the wire: %s, %d ms +-%d ms each way, %g %% lost" % ("netem" if netem else "the test's relay",
                                                               DELAY * 1000, JITTER * 1000, LOSS * 100))
    if netem:
        return None, "%s:%d" % (HOST_IP, PORT)
    relay_proc = subprocess.Popen(["ip", "netns", "exec", WIRE_NS, sys.executable, SELF, "--relay"],
                                  stdout=subprocess.PIPE, text=True, preexec_fn=ends_with_test)
    time.sleep(0.3)
    return relay_proc, "%s:%d" % (JOIN_WIRE, PORT)


def stop_wire(relay_proc):
    """The relay, if any, stopped: what it forwarded printed."""
    if relay_proc:
        stopped(relay_proc)
        print(relay_proc.stdout.read().strip())


class Display:
    """An X server of the test's own (or the one named `name`, already there), and a connection
    to it for the timed events."""

    def __init__(self, name=None):
        self.proc = None
        if name:
            self.name, self.dpy = name, X11.XOpenDisplay(name.encode())
            if not self.dpy:
                raise RuntimeError("no X server at " + name)
            return
        r, w = os.pipe()
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                                     pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        os.close(w)
        number = b""
        while select.select([r], [], [], 10)[0]:
            b = os.read(r, 16)
            if not b or b.endswith(b"\n"):
                number += b
                break
            number += b
        os.close(r)
        self.name = ":" + number.decode().strip()
        self.dpy = X11.XOpenDisplay(self.name.encode()) if number.strip() else None
        if not self.dpy:
            stopped(self.proc)
            raise RuntimeError("Xvfb did not start")

    def xdo(self, *args):
        subprocess.run(["xdotool", *args], check=True, env=dict(os.environ, DISPLAY=self.name))

    def move(self, dx, dy=0):
        """The mouse moved; the moment it was sent."""
        t = time.monotonic()
        XTST.XTestFakeRelativeMotionEvent(self.dpy, dx, dy, 0)
        X11.XSync(self.dpy, 0)
        return t

    def key(self, name):
        """A key tapped; the moment it went down."""
        code = X11.XKeysymToKeycode(self.dpy, X11.XStringToKeysym(name.encode()))
        t = time.monotonic()
        XTST.XTestFakeKeyEvent(self.dpy, code, 1, 0)
        X11.XSync(self.dpy, 0)
        time.sleep(0.03)
        XTST.XTestFakeKeyEvent(self.dpy, code, 0, 0)
        X11.XSync(self.dpy, 0)
        return t

    def stop(self):
        X11.XCloseDisplay(self.dpy)
        if self.proc:
            stopped(self.proc)


class Heard:
    """A game's disk audio: the file's growth stamped with the clock as it appears, then its
    frames (float stereo at 48 kHz)."""

    def __init__(self, path):
        self.path, self.stamps, self.done = path, [], False
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.thread.start()

    def watch(self):
        size = 0
        while not self.done:
            try:
                now_size = os.stat(self.path).st_size
            except FileNotFoundError:
                now_size = 0
            if now_size > size:
                self.stamps.append((size // 8, time.monotonic()))
                size = now_size
            time.sleep(0.001)

    def close(self):
        self.done = True
        self.thread.join()
        data = open(self.path, "rb").read() if os.path.exists(self.path) else b""
        self.s = array.array("f")
        self.s.frombytes(data[: len(data) // 8 * 8])

    def moment(self, t):
        """The clock's time of frame 0 near moment `t`: a block is made and written at once,
        and seen here later, so the earliest of the blocks around `t` is the closest. None when
        the file did not grow then."""
        return min((at - n / RATE for n, at in self.stamps if abs(at - t) < 0.15), default=None)

    def onset(self, t):
        """When (on the clock) a sound begins on top of the steady loop near moment `t`: the
        first frame that departs from one loop earlier. None when something already sounds."""
        zero, p = self.moment(t), int(LOOP * RATE)
        if zero is None:
            return None
        after = max(int((t - zero - 0.03) * RATE), p)
        for i in range(after, min(int((t - zero + 0.25) * RATE), len(self.s) // 2)):
            if abs(self.s[2 * i] - self.s[2 * (i - p)]) > 0.01 or abs(self.s[2 * i + 1] - self.s[2 * (i - p) + 1]) > 0.01:
                return zero + i / RATE if i > after else None
        return None


class Game:
    """The Linux game `palomir` in namespace `ns` on `display`, its printed lines stamped as
    they come; `xclose` closes its window."""

    def __init__(self, folder, name, palomir, xclose, ns, display, *args):
        self.name, self.display, self.xclose = name, display, xclose
        self.record = os.path.join(folder, name + ".rec")
        self.heard = Heard(os.path.join(folder, name + ".raw"))
        config = os.path.join(folder, name + "-config")
        os.mkdir(config)
        env = dict(os.environ, DISPLAY=display.name, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=self.heard.path,
                   XDG_CONFIG_HOME=config, LANGUAGE="en")
        env.pop("SDL_VIDEODRIVER", None)
        self.proc = subprocess.Popen(["ip", "netns", "exec", ns, palomir, "--speech-rate=450", "--record=" + self.record,
                                      *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     start_new_session=True, preexec_fn=ends_with_test)
        self.lines, self.err = [], []
        self.readers = [threading.Thread(target=self.read, args=(f, to), daemon=True)
                        for f, to in ((self.proc.stdout, self.lines), (self.proc.stderr, self.err))]
        for r in self.readers:
            r.start()
        self.window = find_window(self.proc.pid, display=display.name)

    def read(self, f, to):
        for line in f:
            to.append((time.monotonic(), line.rstrip("\n")))

    def said(self, words, timeout):
        """The moment the game printed a line with `words`, or None."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            for t, line in self.lines:
                if words in line:
                    return t
            time.sleep(0.01)
        return None

    def close(self):
        if self.window:
            subprocess.run([self.xclose, self.window], env=dict(os.environ, DISPLAY=self.display.name))

    def end(self, sig=None):
        """The game's status once it has ended by itself (or on `sig`)."""
        code = stopped(self.proc, timeout=15, sig=sig)
        for r in self.readers:
            r.join(timeout=5)
        self.heard.close()
        self.err = [l for t, l in self.err if "disk" not in l and "Writing to file" not in l]
        return code


def at(t0, t):
    while time.monotonic() < t0 + t:
        time.sleep(0.002)


def slides(display, t0, first, n=5, every=1.2):
    """`n` slides of the paddle, alternately right and left, from `first` s after `t0`."""
    moments = []
    for k in range(n):
        at(t0, first + every * k)
        moments.append(display.move(10 if k % 2 == 0 else -10))
    return moments


def latencies(heard, moments):
    """Milliseconds from each moment to its sound; None where none was found."""
    return [None if o is None else (o - t) * 1000 for o, t in ((heard.onset(t), t) for t in moments)]


def replay(scenario, record):
    """The recording's events as the scenario runner prints them, its end tick, its score."""
    r = subprocess.run([scenario, record], capture_output=True, text=True, timeout=60)
    lines = r.stdout.splitlines()
    end = next((int(l.split()[1]) for l in open(record).read().splitlines() if l.startswith("end ")), -1)
    return r.returncode, [l.split() for l in lines if not l.startswith("score ")], end, lines[-1:]


def grid_hit(display):
    """The puck in front hit with the grid: 5 held while the mouse moves a hair at a time (so
    that the input handler runs), until it is gone."""
    wiggle = ["keydown", "5"] + ["sleep", "0.02", "mousemove_relative", "--", "1", "0", "sleep", "0.02",
                                 "mousemove_relative", "--", "-1", "0"] * 15 + ["keyup", "5"]
    display.xdo(*wiggle)


def serve(display, t0, first):
    """A serve `first` s after `t0`: the paddle to the puck (the left button), pushed forward,
    then still. The moment of the push."""
    at(t0, first)
    display.xdo("click", "1")
    at(t0, first + 0.3)
    pushed = display.move(0, -20)
    at(t0, first + 1.0)
    display.xdo("mousemove_relative", "--", "0", "1")
    return pushed


def agree(scenario, host_record, join_record):
    """Both ends' recordings replay on the scenario runner to the same events up to where the
    shorter ends, with a hit by each end and a goal each way."""
    (hc, h_events, h_end, h_score), (jc, j_events, j_end, j_score) = (replay(scenario, host_record),
                                                                      replay(scenario, join_record))
    common = min(h_end, j_end)
    hs = [e for e in h_events if int(e[0]) < common]
    js = [e for e in j_events if int(e[0]) < common]
    check(hc == 0 and jc == 0 and hs == js and len(hs) > 5,
          "both recordings replay to the same %d events up to tick %d (ends at %d and %d; %s %s)"
          % (len(hs), common, h_end, j_end, h_score, j_score))
    kinds = {(e[1], e[2]) for e in hs}
    check({("hit", "0"), ("hit", "1"), ("goal", "0"), ("goal", "1")} <= kinds,
          "a hit by each end and a goal each way: %s" % sorted(k for k in kinds if k[0] in ("hit", "goal")))


def match(folder, netem, displays, palomir, xclose, scenario):
    relay_proc, call = start_wire(netem)
    host_d, join_d = displays
    games = []
    try:
        host = Game(folder, "host", palomir, xclose, HOST_NS, host_d, "--host=%d" % PORT)
        games.append(host)
        check(host.window != "" and host.said("Waiting for a friend", 10) is not None,
              "the host shows its window and waits for a friend: %s" % [l for _, l in host.lines])
        joiner = Game(folder, "joiner", palomir, xclose, JOIN_NS, join_d, "--join=" + call)
        games.append(joiner)
        t0 = host.said("Your friend joined", 15)
        check(joiner.window != "" and t0 is not None, "the joiner calls %s and the host says it joined" % call)
        if t0 is None:
            return None
        # The first puck, hit by the host.
        at(t0, 2.05)
        grid_hit(host_d)
        at(t0, 3.5)
        strange = subprocess.run(["ip", "netns", "exec", WIRE_NS, sys.executable, SELF,
                                  "--stranger"], capture_output=True, text=True, timeout=30)
        print(strange.stdout.strip())
        check(strange.stdout.strip().endswith(", 0 answers"), "the stranger's packets are not answered")
        # The joiner serves.
        pushed = serve(join_d, t0, 5.0)
        moments = slides(host_d, t0, 7.8)
        at(t0, 13.8)
        moments.append(host_d.key("5"))
        at(t0, 15.0)
        host.close()
        joiner.close()
        codes = [g.end() for g in games]
        check(codes == [0, 0], "closing both windows ends both games with status 0: %s" % codes)
    finally:
        for g in games:
            if g.proc.poll() is None:
                g.end(signal.SIGTERM)
        stop_wire(relay_proc)

    agree(scenario, host.record, joiner.record)
    out = [l for _, l in host.lines]
    check(sum("joined" in l for l in out) == 1 and not any("version" in l for l in out)
          and not any("not understood" in l for l in host.err),
          "the host says nothing of the stranger: %s %s" % (out, host.err))
    check(not joiner.err, "the joiner prints no error %s" % joiner.err)

    local = latencies(host.heard, moments)
    return local, (pushed, joiner.heard.onset(pushed), host.heard.onset(pushed))


def against_computer(folder, display, palomir, xclose):
    game = Game(folder, "computer", palomir, xclose, HOST_NS, display)
    try:
        t0 = time.monotonic()
        check(game.window != "", "a game against the computer shows its window")
        moments = slides(display, t0, 5.5)
        at(t0, 11.5)
        moments.append(display.key("5"))
        at(t0, 12.5)
        game.close()
    finally:
        code = game.end()
    check(code == 0, "the game against the computer ends with status 0: %s" % code)
    return latencies(game.heard, moments)


def median(ms):
    return sorted(ms)[len(ms) // 2]


def figures(ms):
    """The slides' figures, then the hit's (the last)."""
    found = [m for m in ms[:-1] if m is not None]
    hit = "%.1f ms" % ms[-1] if ms[-1] is not None else "not found"
    return ("slides median %.1f ms, %.1f-%.1f (%d of %d), the hit %s" % (median(found), min(found), max(found),
            len(found), len(ms) - 1, hit) if found else "no slide found, the hit %s" % hit)


def main():
    palomir, xclose, scenario = sys.argv[1:4]
    if os.geteuid() != 0:
        return skipped("network namespaces need root")
    missing = [p for p in ("Xvfb", "xdotool", "ip") if not shutil.which(p)]
    if missing:
        return skipped("%s missing" % " and ".join(missing))
    displays = []
    netem = False
    with tempfile.TemporaryDirectory(prefix="palomir-match-") as folder:
        try:
            netem = make_network()
            displays = [Display(), Display()]
            played = match(folder, netem, displays, palomir, xclose, scenario)
            computer = against_computer(folder, displays[0], palomir, xclose)
        finally:
            for d in displays:
                d.stop()
            drop_network()
    if played is None:
        return finish()
    local, (pushed, at_joiner, at_host) = played
    print("key or mouse to sound at the host: in the match %s; against the computer %s"
          % (figures(local), figures(computer)))
    local, computer = [m for m in local if m is not None], [m for m in computer if m is not None]
    check(len(local) >= 4 and len(computer) >= 4, "the host's own sounds are found over the loop (%d and %d of 6)"
          % (len(local), len(computer)))
    if len(local) >= 4 and len(computer) >= 4:
        spread = max(computer) - min(computer)
        later = median(local) - median(computer)
        check(later <= (TICK + BLOCK) * 1000 + spread,
              "the match's own sounds come %.1f ms later than against the computer: a tick and a block at "
              "most, beyond the spread of %.1f ms" % (later, spread))
    check(at_joiner is not None and at_host is not None,
          "the joiner's serve is heard at both ends (at the joiner: %s, at the host: %s)"
          % (at_joiner is not None, at_host is not None))
    if at_joiner is not None and at_host is not None:
        behind = (at_host - at_joiner) * 1000
        print("the joiner's serve: heard at the joiner %.1f ms after the push, at the host %.1f ms after that"
              % ((at_joiner - pushed) * 1000, behind))
        # (40 ms more for a datagram lost, whose input comes with the next tick's, and a busy machine.)
        check(0 < behind <= (DELAY + JITTER + 2 * TICK + BLOCK) * 1000 + 40,
              "the friend's serve comes within the wire's one way, two ticks and a block: %.1f ms" % behind)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
