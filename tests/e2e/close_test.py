#!/usr/bin/env python3
"""The close box, tried many times on a busy machine: the program is started with two busy
loops running, and closed at a random moment 0-3 s after its window appears. Every try
must end within 2 s, with status 0 during play and status 1 while the cannot-start line is
read out.

Run inside xvfb-run: close_test.py PALOMIR XCLOSE [TRIES]"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, stacks


def busy_loops(n=2):
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(n)]


def one_try(program, env, delay):
    """Status of the program closed `delay` s after its window appears, or None."""
    p = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         text=True)
    try:
        window = find_window(p.pid)
        if not window:
            p.wait(timeout=10)
            return "no window (status %s: %s)" % (p.returncode, p.stderr.read().strip())
        time.sleep(delay)
        subprocess.run([sys.argv[2], window], check=True)
        try:
            return p.wait(timeout=2)
        except subprocess.TimeoutExpired:
            print("NOTE not closed within 2 s; the program's threads:")
            print(stacks(p.pid))
            return "still running"
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def main():
    program = sys.argv[1]
    tries = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")
    env.pop("SDL_VIDEODRIVER", None)
    rng = random.Random(int(os.environ.get("CLOSE_SEED", time.time())))
    loops = busy_loops()
    try:
        with tempfile.TemporaryDirectory() as broken:
            # An installation whose buzzer is missing: the reason is read out, about 4 s.
            shutil.copy(program, broken)
            shutil.copytree(os.path.join(os.path.dirname(program), "sounds"), os.path.join(broken, "sounds"))
            os.unlink(os.path.join(broken, "sounds", "buzz.wav"))
            for what, prog, want in (("during play", program, 0),
                                     ("during the cannot-start line", os.path.join(broken, "palomir"), 1)):
                results = []
                for _ in range(tries):
                    delay = rng.uniform(0, 3) if want == 0 else rng.uniform(0.3, 2.5)
                    results.append((round(delay, 2), one_try(prog, env, delay)))
                bad = [r for r in results if r[1] != want]
                check(not bad, "closed %s %d times: status %d every time%s" %
                      (what, tries, want, "" if not bad else ", but %r" % bad))
    finally:
        for l in loops:
            l.kill()
            l.wait()
    return finish()


if __name__ == "__main__":
    sys.exit(main())
