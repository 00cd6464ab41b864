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

from harness import check, find_window, finish, stacks



def install(folder, palomir):
    """The program and its sounds, copied into a folder of its own."""
    shutil.copy(palomir, folder)
    shutil.copytree(os.path.join(os.path.dirname(palomir), "sounds"), os.path.join(folder, "sounds"))
    return os.path.join(folder, "palomir")


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
        check(code == 1 and expect in err and took < 10,
              "%s: status %s after %.1f s, saying %r" % (name, code, took, err.strip().splitlines()[-1:]))


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

    cannot_start("sounds folder missing", lambda d: shutil.rmtree(d), "buzz.wav")
    cannot_start("one sound missing", remove("rebound.wav"), "rebound.wav")
    cannot_start("a sound cut short", truncate("puck.wav", -1001), "puck.wav")
    cannot_start("an empty sound", truncate("paddle.wav", 0), "paddle.wav")
    cannot_start("not a WAV file", lambda d: open(os.path.join(d, "goal.wav"), "w").write("not a sound"), "goal.wav")
    cannot_start("a name in the wrong case", rename("SideBounce.wav", "sidebounce.wav"), "SideBounce.wav")
    cannot_start("no audio device", lambda d: None, "no audio", {"SDL_AUDIODRIVER": "no-such-driver"})

    # A missing background sound is only a warning: the game plays, and closing ends it.
    with tempfile.TemporaryDirectory() as folder:
        program = install(folder, sys.argv[1])
        os.unlink(os.path.join(folder, "sounds", "background.wav"))
        env = dict(os.environ, SDL_AUDIODRIVER="dummy")
        p = subprocess.Popen([program], env=env, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(3)
            alive = p.poll() is None
            p.terminate()  # a termination signal ends it as closing the window does
            code = p.wait(timeout=10)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
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
