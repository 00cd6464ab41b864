#!/usr/bin/env python3
"""The real program against broken installations and machines: each fault must end in a
clear message and a non-zero status within a few seconds, or in play going on.

Run inside xvfb-run: faults_test.py PALOMIR XCLOSE"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, stacks, stopped



def install(folder, palomir):
    """The program and its sounds, copied into a folder of its own."""
    shutil.copy(palomir, folder)
    shutil.copytree(os.path.join(os.path.dirname(palomir), "sounds"), os.path.join(folder, "sounds"))
    return os.path.join(folder, "palomir")


API_NAMES = ("DirectSound", "SetCooperativeLevel", "DXCallback", "step ", "Timer:", "ALSA lib")


def run(program, env=None, seconds=20):
    env = {**os.environ, "SDL_AUDIODRIVER": "dummy", **(env or {})}
    start = time.monotonic()
    try:
        p = subprocess.run([program], env=env, capture_output=True, text=True, timeout=seconds)
        return p.returncode, p.stderr, time.monotonic() - start
    except subprocess.TimeoutExpired as e:
        return None, (e.stderr or b"").decode() if isinstance(e.stderr, bytes) else (e.stderr or ""), seconds


def cannot_start(name, change, expect, env=None):
    with tempfile.TemporaryDirectory() as folder:
        program = install(folder, sys.argv[1])
        change(os.path.join(folder, "sounds"))
        code, err, took = run(program, env)
        lines = err.strip().splitlines()
        # What a player reads: a few lines in their words, whole paths, no library noise.
        jargon = [l for l in lines if any(w in l for w in API_NAMES) or not l.startswith("palomir: ")]
        check(code == 1 and expect in err and took < 10 and len(lines) <= 3 and not jargon,
              "%s: status %s after %.1f s, saying %r" % (name, code, took, lines))


def main():
    def remove(f):
        return lambda d: os.unlink(os.path.join(d, f))

    def truncate(f, keep):
        def cut(d):
            path = os.path.join(d, f)
            data = open(path, "rb").read()
            open(path, "wb").write(data[:keep] if keep >= 0 else data[:len(data) + keep])
        return cut

    def rename(a, b):
        return lambda d: os.rename(os.path.join(d, a), os.path.join(d, b))

    cannot_start("sounds folder missing", lambda d: shutil.rmtree(d), "/sounds/buzz.wav is missing")
    cannot_start("one sound missing", remove("rebound.wav"), "/sounds/rebound.wav is missing")
    cannot_start("a sound cut short", truncate("puck.wav", -1001), "puck.wav")
    cannot_start("an empty sound", truncate("paddle.wav", 0), "paddle.wav")
    cannot_start("not a WAV file", lambda d: open(os.path.join(d, "goal.wav"), "w").write("not a sound"), "goal.wav")
    cannot_start("a name in the wrong case", rename("SideBounce.wav", "sidebounce.wav"), "SideBounce.wav")
    cannot_start("no audio device", lambda d: None, "no sound output could be opened", {"SDL_AUDIODRIVER": "no-such-driver"})
    cannot_start("no sound card at all", lambda d: None, "no sound output could be opened",
                 {"SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": "/nonexistent"})

    # The command line, with no window system at all.
    bare = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    for args, want, stream, text in ((["--help"], 0, "stdout", "--speech"), (["--version"], 0, "stdout", "palomir "),
                                     (["--bogus"], 2, "stderr", "Usage:"), (["--speech"], 2, "stderr", "needs a value"),
                                     (["--speech=loud"], 2, "stderr", "embedded or system"),
                                     ([], 1, "stderr", "no window system (DISPLAY is not set)")):
        p = subprocess.run([sys.argv[1], *args], env=bare, capture_output=True, text=True, timeout=20)
        out = p.stdout if stream == "stdout" else p.stderr
        check(p.returncode == want and text in out,
              "palomir %s with no display: status %s, %s says %r" % (" ".join(args), p.returncode, stream, out[:80]))

    # A recording that cannot be written, a trace on a full disk: one warning each, and
    # the game is played all the same.
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")
    p = subprocess.Popen([sys.argv[1], "--record=/nonexistent/folder/game.rec", "--trace=/dev/full"], env=env,
                         stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(3)
        alive = p.poll() is None
    finally:
        code = stopped(p)
    err = p.stderr.read().strip().splitlines()
    check(alive and code == 0 and len(err) == 2 and "/nonexistent/folder/game.rec could not be written" in err[0]
          and "/dev/full could not be written (No space left on device)" in err[1],
          "files that cannot be written: one warning each, the game plays on (%s, %r)" % (code, err))

    # A missing background sound is only a warning: the game plays, and closing ends it.
    with tempfile.TemporaryDirectory() as folder:
        program = install(folder, sys.argv[1])
        os.unlink(os.path.join(folder, "sounds", "background.wav"))
        env = dict(os.environ, SDL_AUDIODRIVER="dummy")
        p = subprocess.Popen([program], env=env, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(3)
            alive = p.poll() is None
        finally:
            code = stopped(p)  # a termination signal ends it as closing the window does
        err = p.stderr.read()
        check(alive and code == 0 and "background.wav" in err,
              "background missing: played on, then ended with status %s (%r)" % (code, err.strip()))

    # Closed during the welcome.
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")
    p = subprocess.Popen([sys.argv[1]], env=env, stderr=subprocess.PIPE, text=True)
    code = "still running"
    try:
        window = find_window(p.pid)
        check(window != "", "the window appears")
        if window:
            time.sleep(0.8)
            subprocess.run([sys.argv[2], window], check=True)
            try:
                code = p.wait(timeout=8)
            except subprocess.TimeoutExpired:
                print("NOTE the close box was not acted on within 8 s; the program's threads:")
                print(stacks(p.pid))
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    check(code == 0, "closed during the welcome by the close box: status %s" % code)

    return finish()


if __name__ == "__main__":
    sys.exit(main())
