#!/usr/bin/env python3
"""Dropouts through a real sound server under load: PipeWire started as the end-to-end test
starts it, two busy loops running, the game played through its own PipeWire stream four
times for 8 s, each recording searched for gaps (runs of 64 frames or more of exact
silence once the puck loop plays); then the callback's slowest call under the same load.
Then, as root, the same as a player plays it: an ordinary user's PipeWire and game, with
rtkit and polkit on a system bus of the bench's own granting the user real time (as the
end-to-end test does), 10 runs of 8 s, recording both the game's own stream (its node
in PipeWire) and the sink, so that a gap the game makes is told from one the server makes;
through the game's own stream, then through SDL's pipewire driver.
Run inside xvfb-run: server_bench.py BUILD_DIR"""
import array
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import find_window, stop_group, stopped  # noqa: E402
from realtime_test import PlayerDesktop  # noqa: E402
from server_test import DRIVERS, RATE, SoundServer, game_env, play, tone, wav_data, zero_runs  # noqa: E402


def gaps(s):
    """Gaps from the buzzer (found by its 110 Hz drone: the loop plays from then on without a
    break) to the game's end."""
    n = len(s) // 2
    start = next((i for i in range(0, n - RATE // 10, RATE // 100)
                  if tone(s, i / RATE, i / RATE + 0.1, 110) > 0.05), None)
    if start is None:
        return None  # not heard: nothing to count
    end = next((i for i in range(n - 1, 0, -1) if s[2 * i] != 0.0), 0) + 1
    return len(zero_runs(s[: 2 * end], start + RATE // 10))


def record(server, target, out, user, sink=False):
    """pw-record of a node: the sink's sound (what it plays) or a stream's output."""
    extra = ["-P", "stream.capture.sink=true"] if sink else []
    return subprocess.Popen(["pw-record", "--target", str(target), *extra,
                             "--format", "f32", "--rate", str(RATE), "--channels", "2", out],
                            env=server.env, stderr=subprocess.DEVNULL, start_new_session=True,
                            user=user.pw_uid, group=user.pw_gid, extra_groups=[])


def game_node(server, pid, user):
    """The serial of the game's playback stream in PipeWire, once there (the only game)."""
    end = time.monotonic() + 5
    while time.monotonic() < end:
        out = subprocess.run(["pw-dump"], env=server.env, capture_output=True, text=True,
                             user=user.pw_uid, group=user.pw_gid, extra_groups=[]).stdout
        for o in json.loads(out or "[]"):
            props = (o.get("info") or {}).get("props") or {}
            # The stream's node is named after the game, not its process.
            if o.get("type", "").endswith(":Node") and props.get("application.name") == "Palomir" and \
                    props.get("media.class", "").startswith("Stream/Output"):
                return props.get("object.serial", o["id"])
        time.sleep(0.05)
    return None


def play_as(server, user, palomir, folder, env, driver, seconds=8.0, busy=2):
    """One game as `user` under `busy` busy loops: the gaps in the game's stream and at the sink."""
    outs = [os.path.join(folder, n) for n in ("stream.wav", "sink.wav")]
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
    sink = record(server, "nullsink", outs[1], user, sink=True)
    time.sleep(0.5)
    run = game_env(dict(server.env, **env), driver)
    game = subprocess.Popen(["dbus-run-session", "--", palomir], env=run, stderr=subprocess.DEVNULL,
                            start_new_session=True, user=user.pw_uid, group=user.pw_gid, extra_groups=[])
    stream = None
    try:
        end = time.monotonic() + 10
        pid = None
        while pid is None and time.monotonic() < end:
            kids = subprocess.run(["pgrep", "-s", str(game.pid), "-x", "palomir"], capture_output=True,
                                  text=True).stdout.split()
            pid = int(kids[0]) if kids else None
            time.sleep(0.02)
        node = game_node(server, pid, user) if pid else None
        if node is not None:
            stream = record(server, node, outs[0], user)
        find_window(pid or game.pid)
        time.sleep(seconds)
    finally:
        if pid:
            os.kill(pid, signal.SIGTERM)
        stopped(game, sig=None)
        time.sleep(0.3)
        for r in (stream, sink):
            if r:
                stopped(r, sig=signal.SIGINT)
        for l in loops:
            l.kill()
            l.wait()
    result = []
    for out in outs:
        s = array.array("f")
        data = wav_data(out) if os.path.exists(out) else b""
        s.frombytes(data[: len(data) // 8 * 8])
        result.append(gaps(s) if len(s) > RATE else None)
        if os.path.exists(out):
            os.unlink(out)
    return result


def as_player(build, count=10):
    """The dropout row as an ordinary user with rtkit."""
    with PlayerDesktop(os.path.join(build, "palomir")) as desk:
        for driver, name in (("own", "own PipeWire"), ("pipewire", "SDL pipewire")):
            runs = [play_as(desk.server, desk.user, desk.palomir, desk.home, desk.env, driver) for _ in range(count)]
            print("dropouts as a player, %s (ordinary user, rtkit), 2 busy loops: game's stream %s gaps, sink %s "
                  "gaps in %d runs of 8 s (stream/sink: %s)"
                  % (name, sum(r[0] or 0 for r in runs), sum(r[1] or 0 for r in runs), count,
                     " ".join("%s/%s" % tuple(r) for r in runs)))
        reference_rows(desk.server, desk.palomir, user=desk.user, env=desk.env, folder=desk.folder,
                       what=" as a player")


def mixing_thread(pid):
    """The thread of process `pid` that pulls the game's mixer: PipeWire's data thread named
    palomir-mix (the game's own stream) or SDL's audio thread (SDLAudioP), the one the game
    raised where there are several."""
    found = []
    for tid in os.listdir("/proc/%d/task" % pid) if os.path.isdir("/proc/%d" % pid) else []:
        try:
            if open("/proc/%d/task/%s/comm" % (pid, tid)).read().startswith(("palomir-mix", "SDLAudioP")):
                found.append((os.sched_getparam(int(tid)).sched_priority, -os.getpriority(os.PRIO_PROCESS, int(tid)),
                              int(tid)))
        except OSError:
            continue
    return max(found)[2] if found else None


def same_priority(game_tid, pid):
    """Every thread of process `pid` scheduled as the game's mixing thread is: what it is."""
    policy, prio = os.sched_getscheduler(game_tid), os.sched_getparam(game_tid).sched_priority
    nice = os.getpriority(os.PRIO_PROCESS, game_tid)
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            os.sched_setscheduler(int(tid), policy & ~0x40000000, os.sched_param(prio))
            if prio == 0:
                os.setpriority(os.PRIO_PROCESS, int(tid), nice)
        except OSError:
            pass
    policy &= ~0x40000000  # without SCHED_RESET_ON_FORK
    return "FIFO %d" % prio if policy == os.SCHED_FIFO else "RR %d" % prio if policy == os.SCHED_RR else \
        "nice %d" % nice


def missed_by_node(profile, names, edge=5):
    """From PipeWire's profile, how many cycles each client node (by name) missed: those it
    had not finished when the cycle ended (signalled and not woken, or woken and still
    running), which pw-top counts as ERR. A node's first and last cycles are left out."""
    out = {}
    for node, states in profiled(profile).items():
        out[names.get(node, node)] = sum(1 for c in states[edge:-edge] if c[5] != 3)
    return out


def profiled(profile):
    """PipeWire's profile by client node: for each cycle it took part in, when it was
    signalled, woke and finished (µs after the driver's signal), how long it waited to wake
    and how long it ran (µs), and its state when the cycle ended (3: finished)."""
    out = {}
    for line in open(profile) if os.path.exists(profile) else []:
        # Four columns of the driver's, then eight of each client's, blank where it took no part.
        f = line.rstrip("\n").split("\t")
        for k in range(4, len(f) - 7, 8):
            if f[k].strip():
                out.setdefault(f[k], []).append([int(v) for v in f[k + 1:k + 7]])
    return out


def beside_reference(server, palomir, driver, folder, seconds=4.0, busy=2, user=None, env=None):
    """One game through `driver` and a reference client (pw-play of silence, its threads at
    the game's mixing thread's priority) on the same sink, under `busy` busy loops, profiled
    for `seconds` of play: (the game's missed cycles, the reference's, the priority). With
    `user`, both run as that user, the game in a session bus of its own, as a player's do."""
    silence = os.path.join(folder, "silence.wav")
    with wave.open(silence, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(4 * RATE * 20))
    os.chmod(silence, 0o644)
    prof = os.path.join(folder, "profile")
    as_user = dict(user=user.pw_uid, group=user.pw_gid, extra_groups=[]) if user else {}
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
    ref = subprocess.Popen(["pw-play", "-P", "node.name=palomir-reference", silence], env=server.env,
                           stderr=subprocess.DEVNULL, start_new_session=True, **as_user)
    game = subprocess.Popen((["dbus-run-session", "--"] if user else []) + [palomir],
                            env=game_env(dict(server.env, **(env or {})), driver), stderr=subprocess.DEVNULL,
                            start_new_session=True, **as_user)
    profiler, priority, pid = None, "?", game.pid
    try:
        end = time.monotonic() + 10
        while user and time.monotonic() < end:  # the game under dbus-run-session
            kids = subprocess.run(["pgrep", "-s", str(game.pid), "-x", "palomir"], capture_output=True,
                                  text=True).stdout.split()
            if kids:
                pid = int(kids[0])
                break
            time.sleep(0.02)
        find_window(pid)
        time.sleep(1.0)  # past the welcome's first cycles
        end, tid = time.monotonic() + 3, None
        while time.monotonic() < end:  # until the game has raised it, where it may
            tid = mixing_thread(pid)
            if tid and os.sched_getparam(tid).sched_priority > 0:
                break
            time.sleep(0.1)
        if tid:
            priority = same_priority(tid, ref.pid)
        profiler = subprocess.Popen(["pw-profiler", "-o", prof], cwd=folder, env=server.env,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                    start_new_session=True, **as_user)
        time.sleep(seconds)
    finally:
        if profiler:
            stopped(profiler, sig=signal.SIGINT)
        if pid != game.pid:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            stopped(game, sig=None)
        stopped(game)
        stop_group(game)
        stop_group(ref)
        for l in loops:
            l.kill()
            l.wait()
    names = dict(re.findall(r'follower (\d+) \("([^"]*)"\)', profiler.stdout.read() if profiler else ""))
    missed = missed_by_node(prof, names)
    for f in (prof, silence):
        if os.path.exists(f):
            os.unlink(f)
    reference = missed.pop("palomir-reference", None)
    # The one other client on the sink is the game's stream (named by each way differently).
    game_missed = sum(missed.values()) if missed else None
    return game_missed, reference, priority


def reference_rows(server, palomir, count=3, user=None, env=None, folder=None, what=""):
    """PipeWire's own count of missed cycles, the game's stream beside a reference client at
    the same priority, `count` runs each way: one row a way."""
    with tempfile.TemporaryDirectory(dir=folder) as work:
        if user:
            os.chown(work, user.pw_uid, user.pw_gid)
        for driver, name in zip(DRIVERS, ("own PipeWire", "SDL pipewire", "SDL pulseaudio")):
            runs = [beside_reference(server, palomir, driver, work, user=user, env=env) for _ in range(count)]
            print("missed cycles%s, %s: game %s, pw-play beside it %s (%d runs of 4 s, 2 busy loops, "
                  "game/pw-play each run %s; both at %s)"
                  % (what, name, sum(r[0] or 0 for r in runs), sum(r[1] or 0 for r in runs), count,
                     " ".join("%s/%s" % r[:2] for r in runs), runs[-1][2]))


def main():
    build = sys.argv[1]
    server = SoundServer()
    try:
        runs, missed = [], {"game": 0, "stream": 0, "recorder": 0}
        for _ in range(4):
            s, _, _, _, _, late = play(server, os.path.join(build, "palomir"), "own", 8.0, busy=2)
            runs.append(gaps(s))
            missed = {k: missed[k] + late[k] for k in missed}
        print("dropouts through own PipeWire, 2 busy loops: %d gaps in 4 runs of 8 s %s; cycles missed: %s"
              % (sum(r or 0 for r in runs), runs, missed))
        loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        try:
            out = subprocess.run([os.path.join(build, "bench", "callback_bench"), "8"], capture_output=True, text=True,
                                 env=dict(server.env, SDL_AUDIODRIVER="pipewire"), timeout=60).stdout.strip()
        finally:
            for l in loops:
                l.kill()
                l.wait()
        print("audio callback under load (PipeWire): %s" % out)
        reference_rows(server, os.path.join(build, "palomir"))
    finally:
        server.stop()
    if os.geteuid() == 0:
        as_player(build)


if __name__ == "__main__":
    main()
