#!/usr/bin/env python3
"""The processor a match takes against a game against the computer: the same rally played on
the real program, once alone and once as the host of a match on loopback (the joiner in an X
server of its own), the host's share of a core measured as program_bench.py measures it.
Run inside xvfb-run: match_bench.py PALOMIR [SECONDS]"""
import os
import subprocess
import sys
import tempfile
import time

from program_bench import rally


def share(palomir, seconds, args, joiner=None):
    out = tempfile.mktemp(suffix=".raw")
    env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out)
    proc = subprocess.Popen([palomir, *args], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    friend = xvfb = None
    try:
        if joiner:
            xvfb = subprocess.Popen(["Xvfb", ":%d" % joiner, "-screen", "0", "640x480x24"],
                                    stderr=subprocess.DEVNULL)
            time.sleep(1.0)
            friend_out = tempfile.mktemp(suffix=".raw")
            friend = subprocess.Popen(
                [palomir, "--join=127.0.0.1:%s" % args[0].split("=")[1]],
                env=dict(env, DISPLAY=":%d" % joiner, SDL_DISKAUDIOFILE=friend_out),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(4.0)
        c, _, took = rally(proc, seconds)
        return c
    finally:
        for p in (friend, proc):
            if p:
                p.terminate()
                p.wait(timeout=10)
        if xvfb:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        for f in (out, locals().get("friend_out")):
            if f and os.path.exists(f):
                os.unlink(f)


def main():
    palomir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20.0
    alone = share(palomir, seconds, [])
    port = 20000 + os.getpid() % 20000
    match = share(palomir, seconds, ["--host=%d" % port], joiner=50 + os.getpid() % 40)
    print("a match's host against a game alone: %.2f%% against %.2f%% of one core (%.2fx)"
          % (match, alone, match / alone if alone else 0))


if __name__ == "__main__":
    main()
