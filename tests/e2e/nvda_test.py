"""NVDA spoken to directly: the real Windows game under Wine with --speech=system, and a
stand-in for NVDA (nvda_standin.exe) serving NVDA's controller interface on NVDA's endpoint,
writing down each call it takes.
  nvda_test.py PALOMIR_EXE NVDA_STANDIN
Checked: a start that cannot play says why as SSML, synchronously, and goes on only once the
stand-in has said it (holding it three seconds); the welcome, the level after Up and the score
(middle button) reach the stand-in as SSML, escaped, none through the game's own voice;
Escape in the help is a cancelSpeech that ends the line being said; NVDA
closed mid-game is said once; an NVDA older than 2024.1, with no speakSsml, is given the
lines through speakText."""
import html
import os
import subprocess
import sys
import tempfile
import time

from harness import check, finish
from server_test import SoundServer
from windows_test import drop_prefix, logged, named_window, wine_env, wine_prefix


def ssml(text):
    return "ssml 100 <speak>%s</speak>" % html.escape(text, quote=True).replace("&#x27;", "&apos;")


def standin(env, log, hold, *flags):
    """The stand-in, holding each synchronous line `hold` ms, once it listens."""
    if os.path.exists(log):
        os.remove(log)
    proc = subprocess.Popen(["wine", r"C:\palomir\nvda_standin.exe", r"C:\nvda.log", str(hold), *flags],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.monotonic() + 30
    while "listening" not in logged(log) and time.monotonic() < end:
        time.sleep(0.1)
    return proc


def stop(running):
    for p in running:
        if p.poll() is None:
            p.kill()
            p.wait()


def game(env, work, *options):
    err = open(os.path.join(work, "game.err"), "w+")
    return subprocess.Popen(["wine", r"C:\palomir\palomir.exe", "--speech=system", r"--trace=C:\game.trace",
                             *options], env=env, stdout=subprocess.DEVNULL, stderr=err), err


def said(drive):
    trace = os.path.join(drive, "game.trace")
    lines = open(trace, encoding="utf-8").read().splitlines() if os.path.exists(trace) else []
    return lines, [l.split(" ", 2)[2][1:-1] for l in lines if l.startswith("say ")]


def wait_for(what, seconds=20):
    end = time.monotonic() + seconds
    while not what() and time.monotonic() < end:
        time.sleep(0.1)
    return what()


def main():
    exe, nvda = sys.argv[1:3]
    work = tempfile.mkdtemp(prefix="palomir-nvda-")
    server = SoundServer()
    env = wine_env(server.env, os.path.join(work, "wine"))
    running = []
    try:
        drive = wine_prefix(env, exe, nvda)

        # A start that cannot play: its reason is said and waited for, the game holding until
        # the stand-in has said it.
        log = os.path.join(drive, "nvda.log")
        running[:] = [standin(env, log, 3000)]
        proc, err = game(env, work, r"--sounds=C:\nowhere")
        running.append(proc)
        held = wait_for(lambda: any(l.startswith("ssml ") for l in logged(log)))
        says_held = said(drive)[1]
        wait_for(lambda: "spoken" in logged(log))
        box = named_window("Palomir", proc)
        subprocess.run(["xdotool", "key", "--window", box, "Return"], capture_output=True, timeout=10)
        proc.wait(20)
        trace, lines = said(drive)
        reason = next((l for l in lines if "cannot start" in l), "")
        check(held and reason and logged(log)[-2:] == [ssml(reason), "spoken"],
              "a start that cannot play says why as SSML, synchronously: %r" % logged(log)[-3:])
        check(reason not in says_held and trace[-1] != 'say 0 "%s"' % reason,
              "the game goes on only once the stand-in has said the line: %r" % trace[-2:])
        stop(running)

        # A game played: each line as SSML, Escape in the help a cancel.
        running[:] = [standin(env, log, 2000)]
        proc, err = game(env, work, "--language=fr")  # its help: "l'arrête", to be escaped
        running.append(proc)
        window = named_window("Palomir", proc)
        subprocess.run(["xdotool", "windowactivate", "--sync", window], capture_output=True, timeout=10)
        time.sleep(4)  # the welcome, then the puck comes down the table
        # Each key once the line before it has been said.
        for step, then in ((["key", "Up"], "<speak>11<"), (["click", "2"], "<speak>0<"), (["key", "F1"], "Aide"),
                           (["key", "Escape"], "cut")):
            wait_for(lambda: "spoken" in logged(log))
            subprocess.run(["xdotool", *step])
            wait_for(lambda: any(then in l for l in logged(log)))
        got = logged(log)
        lines = said(drive)[1]
        check(got[:2] == ["listening", "test"] and len(lines) >= 3 and
              all(ssml(l) in got for l in lines[:3]) and lines[1] == "11",
              "the welcome, the level and the score reach NVDA as SSML: %r against %r" % (got[:8], lines[:3]))
        check(sorted(got[-2:]) == ["cancel", "cut"] and got[-3] == ssml(lines[-1]) and "&apos;" in got[-3],
              "Escape in the help cancels the line being said, escaped: %r" % got[-3:])
        err.seek(0)
        told = [l for l in err.read().splitlines() if l.startswith("palomir:")]
        check(told == [], "nothing falls back to the game's own voice: %r" % told)
        # NVDA closed mid-game: said once at the next pump, as the game's own voice takes over.
        stop(running[:1])
        subprocess.run(["xdotool", "key", "Up"])
        told = wait_for(lambda: [l for l in open(err.name).read().splitlines() if "NVDA" in l])
        check(len(told) == 1 and "lancé" in told[0], "NVDA closed mid-game is said once, in French: %r" % told)
        stop(running)

        # An NVDA older than 2024.1: speakSsml unknown, the lines go through speakText.
        running[:] = [standin(env, log, 0, "--old")]
        proc, err = game(env, work)
        running.append(proc)
        got = wait_for(lambda: [l for l in logged(log) if l.startswith("text ")])
        lines = wait_for(lambda: said(drive)[1])
        check(got and lines and got[0] == "text " + lines[0] and logged(log).count("unknown") == 1,
              "an older NVDA is tried once with SSML, then given the lines as text: %r" % logged(log)[:5])
    finally:
        stop(running)
        drop_prefix(env, server, work)


if __name__ == "__main__":
    main()
    sys.exit(finish())
