#!/usr/bin/env python3
"""A real game recorded and replayed: the program under Xvfb, played with xdotool for over
ten seconds (mouse, grid keys, buttons, arrows, a serve, goals) with --record and --trace;
the scenario runner replays the recording and must print the very same calls, spoken lines
and errors, in the same order; a game in Spanish too. Then, with two busy loops running, forty taps of Up: forty
successive speed levels spoken, not one tap lost, and that game replays exactly too.

Run inside xvfb-run: record_test.py PALOMIR SCENARIO"""
import os
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, replayed, stopped


def xdo(*args):
    subprocess.run(["xdotool", *args], check=True)


def play(palomir, folder, name, actions, busy=0, args=()):
    """Plays the real game with `actions`, recording and tracing; returns both paths."""
    record, trace = os.path.join(folder, name + ".rec"), os.path.join(folder, name + ".trace")
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", XDG_CONFIG_HOME=folder)
    env.pop("SDL_VIDEODRIVER", None)
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
    p = subprocess.Popen([palomir, "--record", record, "--trace", trace, *args], env=env, stderr=subprocess.PIPE,
                         text=True, start_new_session=True)
    try:
        window = find_window(p.pid)
        check(window != "", "%s: the game shows its window" % name)
        time.sleep(2.5)  # the welcome
        actions()
        time.sleep(0.5)
    finally:
        code = stopped(p, timeout=15)
        for l in loops:
            l.kill()
            l.wait()
    check(code == 0, "%s: the game ended cleanly (status %s) %s" % (name, code, p.stderr.read().strip()))
    return record, trace


def main():
    palomir, scenario = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as folder:
        def rally():
            t0 = time.monotonic()
            k = 0
            while time.monotonic() - t0 < 10.5:
                k += 1
                xdo("mousemove_relative", "--", str(40 - 10 * (k % 9)), str(-25 if k % 2 else 15))
                if k % 3 == 0:
                    xdo("key", "5")  # the puck rests in front of the player: a serve
                if k % 4 == 0:
                    xdo("key", ["t", "g", "b", "r", "f"][k % 5])
                if k % 5 == 0:
                    xdo("key", "Up" if k % 10 else "Down")
                if k % 7 == 0:
                    xdo("click", str(1 + k % 3))
                time.sleep(0.15)

        record, trace = play(palomir, folder, "rally", rally)
        lines = replayed(scenario, record, trace, "rally")
        check(any('"Welcome' in l for l in lines) and any("buzz.wav Play" in l for l in lines)
              and any("paddleslide.wav SetPan" in l for l in lines),
              "rally: the trace holds the welcome, a goal's buzzer and the paddle moving")

        def taps():
            for _ in range(40):
                xdo("key", "Up")
                time.sleep(0.05)

        record, trace = play(palomir, folder, "taps", taps, busy=2)
        lines = replayed(scenario, record, trace, "taps")
        levels = [l[len('say 1 "'):-1] for l in lines if l.startswith('say 1 "') and l[7:-1].isdigit()]
        check(levels == [str(n) for n in range(11, 51)],
              "taps: forty taps of Up on a busy machine speak forty levels in turn (%s)" % " ".join(levels))

        def guided():
            # The help (each line heard before the next), a rule's key during it (not acted
            # on), the tour cut short, and the level keys.
            for keys, pause in [("F1", 3.0), ("Up", 1.0), ("Escape", 0.3), ("F2", 3.5),
                                ("Escape", 0.3), ("F5", 0.3), ("F8", 0.3), ("shift+F9", 0.3),
                                ("F3", 0.3), ("F4", 0.3), ("F2", 1.0), ("F1", 2.0)]:
                xdo("key", keys)
                time.sleep(pause)

        record, trace = play(palomir, folder, "guided", guided)
        lines = replayed(scenario, record, trace, "guided")
        said = [l for l in lines if l.startswith("say ")]
        check(any("Help." in l for l in said) and any("The puck, from left" in l for l in said)
              and any("Background minus 3 decibels" in l for l in said)
              and open(record).read().count("\nguide\n") >= 6,
              "guided: the help, the tour and the level keys are in the trace, their steps in the "
              "recording (%d steps)" % open(record).read().count("\nguide\n"))

        # A game in Spanish replays in Spanish, from the language and voice its recording notes
        # (the settings file the guided game wrote says the background is 3 dB down already).
        record, trace = play(palomir, folder, "spanish", guided, args=["--language=es"])
        lines = replayed(scenario, record, trace, "spanish")
        check(lines[0] == "language es voice Spanish (Spain)" and "language es Spanish (Spain)" in open(record).read()
              and 'say 1 "Bienvenido a Palomir, un juego de Vossk"' in lines
              and any("Ayuda. F1 otra vez" in l for l in lines) and any("Fondo menos 6 decibelios" in l for l in lines),
              "spanish: the recording and the trace note the language and its voice, and the lines are Spanish")
        english = open(os.path.join(folder, "rally.rec")).read()
        check("\nlanguage " not in english, "an English recording has no language line, as before")

    return finish()


if __name__ == "__main__":
    sys.exit(main())
