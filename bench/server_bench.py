#!/usr/bin/env python3
"""Dropouts through a real sound server under load: PipeWire started as the end-to-end test
starts it, two busy loops running, the game played through SDL's pipewire driver four
times for 8 s, each recording searched for gaps (runs of 64 frames or more of exact
silence once the puck loop plays); then the callback's slowest call under the same load.
Run inside xvfb-run: server_bench.py BUILD_DIR"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from server_test import RATE, SoundServer, play, tone, zero_runs  # noqa: E402


def main():
    build = sys.argv[1]
    server = SoundServer()
    try:
        runs, missed = [], {"game": 0, "stream": 0, "recorder": 0}
        for _ in range(4):
            s, _, _, _, _, late = play(server, os.path.join(build, "palomir"), "pipewire", 8.0, busy=2)
            # From the buzzer (found by its 110 Hz drone: the loop plays from then on without
            # a break) to the game's end.
            n = len(s) // 2
            start = next((i for i in range(0, n - RATE // 10, RATE // 100)
                          if tone(s, i / RATE, i / RATE + 0.1, 110) > 0.05), n) + RATE // 10
            end = next((i for i in range(n - 1, 0, -1) if s[2 * i] != 0.0), 0) + 1
            runs.append(len(zero_runs(s[: 2 * end], start)))
            missed = {k: missed[k] + late[k] for k in missed}
        print("dropouts through PipeWire, 2 busy loops: %d gaps in 4 runs of 8 s %s; cycles missed: %s"
              % (sum(runs), runs, missed))
        loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
        try:
            out = subprocess.run([os.path.join(build, "bench", "callback_bench"), "8"], capture_output=True, text=True,
                                 env=dict(server.env, SDL_AUDIODRIVER="pipewire"), timeout=60).stdout.strip()
        finally:
            for l in loops:
                l.kill()
                l.wait()
        print("audio callback under load (PipeWire): %s" % out)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
