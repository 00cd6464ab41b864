#!/usr/bin/env python3
"""Speech after a burst of keys: the real program with SDL's disk audio driver and its sounds
off, so that what is heard is the voice alone; each of several keys pressed 200 times in a row
(xdotool, 5 ms apart), one key after the other; then how long the voice goes on after the last
press, from the recording's 50-ms windows (RMS above 0.003). F3, F4, F5, F6 from the voice's
rates 75, 175 and 450 (the last burst ends at 450), and F3, F4, F7, F8 at each of those rates
(the volume keys leave the rate as it is).
Run inside xvfb-run: burst_bench.py PALOMIR"""
import array
import math
import os
import subprocess
import sys
import tempfile
import time

RATE = 48000


def behind(palomir, rate, keys, home):
    """Seconds of speech heard after the last of the keys."""
    out = os.path.join(home, "burst.raw")
    env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out, HOME=home,
               XDG_CONFIG_HOME=os.path.join(home, ".config"))
    env.pop("SDL_VIDEODRIVER", None)
    proc = subprocess.Popen([palomir, "--speech-rate=%d" % rate, "--sound-volume=off",
                             "--background-volume=off"], env=env, stderr=subprocess.DEVNULL)
    try:
        opened = None
        for _ in range(1000):
            if os.path.exists(out):
                opened = time.monotonic()
                break
            time.sleep(0.005)
        time.sleep(5.0)  # the welcome said
        for key in keys:
            subprocess.run(["xdotool", "key", "--delay", "5", *([key] * 200)])
        last = time.monotonic() - opened
        time.sleep(12.0)
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    data = open(out, "rb").read()
    os.unlink(out)
    s = array.array("f")
    s.frombytes(data[: len(data) // 8 * 8])
    window = RATE // 20
    end = last
    for w in range(int(last * 20), len(s) // 2 // window):
        part = s[2 * w * window: 2 * (w + 1) * window]
        if math.sqrt(sum(x * x for x in part) / len(part)) > 0.003:
            end = (w + 1) / 20
    return end - last


def main():
    palomir = sys.argv[1]
    with tempfile.TemporaryDirectory() as home:
        for rate in (75, 175, 450):
            print("speech after F3, F4, F5, F6 bursts from rate %d: %.2f s"
                  % (rate, behind(palomir, rate, ["F3", "F4", "F5", "F6"], home)))
        for rate in (75, 175, 450):
            print("speech after F3, F4, F7, F8 bursts at rate %d: %.2f s"
                  % (rate, behind(palomir, rate, ["F3", "F4", "F7", "F8"], home)))


if __name__ == "__main__":
    main()
