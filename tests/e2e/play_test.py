#!/usr/bin/env python3
"""Plays the real program as a person would, in an X server, and listens to what it made.

Run inside xvfb-run: play_test.py PALOMIR XCLOSE. The program writes its mixed output to a
file through SDL's disk audio driver (interleaved float stereo at 48 kHz, no header); the
test drives it with xdotool and analyses the recording: energy per window, left against
right. First the player's guide: the sound tour, the voice made louder and kept in a settings
folder of the test's own, and a settings file gone bad.
"""
import array
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, loudest_moment

RATE = 48000
LOOP = 0.8  # the puck loop's length, seconds


def xdo(*args):
    subprocess.run(["xdotool", *args], check=True)


class Recording:
    def __init__(self, path):
        data = open(path, "rb").read()
        self.s = array.array("f")
        self.s.frombytes(data[: len(data) // 8 * 8])
        self.frames = len(self.s) // 2

    def rms(self, start, end, channel=None):
        a, b = int(start * RATE), min(int(end * RATE), self.frames)
        if b <= a:
            return 0.0
        if channel is None:
            seg = self.s[2 * a : 2 * b]
        else:
            seg = self.s[2 * a + channel : 2 * b : 2]
        return math.sqrt(sum(x * x for x in seg) / len(seg))

    def residual(self, start, end, period):
        """What is left of the sound after taking away the same span one period earlier:
        nothing for a loop on its own, anything else that sounds on top of it."""
        a, b, p = int(start * RATE), min(int(end * RATE), self.frames), int(period * RATE)
        if b <= a or a < p:
            return 0.0
        d = [self.s[i] - self.s[i - 2 * p] for i in range(2 * a, 2 * b)]
        return math.sqrt(sum(x * x for x in d) / len(d))

    def side(self, start, end):
        """Right minus left energy: positive when the sound leans right."""
        return self.rms(start, end, 1) - self.rms(start, end, 0)




def played(palomir, xclose, args, config, steps, env=None):
    """Plays the game with `args` and the settings folder `config`, doing `steps` (seconds
    from the start, name, xdotool arguments; the last closes the window). Returns the
    recording, a function giving a step's time in it, and what the game printed."""
    out = tempfile.NamedTemporaryFile(suffix=".raw", delete=False).name
    env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out, XDG_CONFIG_HOME=config,
               **(env or {}))
    env.pop("SDL_VIDEODRIVER", None)
    start = time.monotonic()
    proc = subprocess.Popen([palomir, *args], env=env, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    marks = {}
    try:
        window = find_window(proc.pid)
        for t, name, *action in steps:
            while time.monotonic() - start < t:
                time.sleep(0.005)
            marks[name] = time.monotonic() - start
            if action:
                xdo(*action)
        subprocess.run([xclose, window], check=True)
        code = proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    err = [l for l in proc.stderr.read().splitlines() if "disk" not in l and "Writing to file" not in l]
    check(code == 0, "%s: the game ran and closed with status 0 (%s)" % (" ".join(args) or "plain", code))
    rec = Recording(out)
    os.unlink(out)
    last = max(marks.values())
    return rec, (lambda name: marks[name] - last + rec.frames / RATE), err


def db(x):
    return 20 * math.log10(max(x, 1e-9))


def guide(palomir, xclose):
    """The sound tour, the voice's volume kept in the settings file, and a file gone bad."""
    with tempfile.TemporaryDirectory() as config:
        settings = os.path.join(config, "palomir", "settings")
        # F2: the ten sounds, each named and played, while the game holds still.
        trace = os.path.join(config, "tour.trace")
        rec, at, err = played(palomir, xclose, ["--speech-rate=450", "--trace", trace], config,
                              [(3.0, "tour", "key", "F2"), (33.5, "close")])
        lines = open(trace).read().splitlines()
        tour = lines[max(i for i, l in enumerate(lines) if "The sounds of the game" in l):]
        names = [l for l in tour if l.startswith("say ")]
        files = ["puck.wav", "paddle.wav", "OpponentHit.wav", "SideBounce.wav", "rebound.wav",
                 "buzz.wav", "goal.wav", "paddleslide.wav", "opponentpaddleslide.wav",
                 "background.wav"]
        played_files = [f for f in files if any(l.startswith("call %s Play" % f) for l in tour)]
        check(len(names) == 11 and played_files == files,
              "F2 names the ten sounds and plays each (%d lines said, %d of 10 played)"
              % (len(names) - 1, len(played_files)))
        t0, t1 = at("tour"), at("close")
        windows = [rec.rms(t, t + 0.5) for t in [t0 + 0.5 * i for i in range(int((t1 - t0) / 0.5))]]
        heard = sum(1 for w in windows if w > 0.005)
        check(heard >= 0.6 * len(windows), "the tour is heard throughout, %d of %d half seconds"
              % (heard, len(windows)))
        lean = [rec.side(t, t + 0.15) for t in [t0 + 0.15 * i for i in range(int((t1 - t0) / 0.15))]]
        left = next((i for i, x in enumerate(lean) if x < -0.01), None)
        right = left is not None and any(x > 0.01 for x in lean[left : left + 20])
        check(right, "the puck is heard going from left to right")
        check(not os.path.exists(settings) and not err, "with no key changed nothing is written %s" % err)

        # F8 twice: the next line is louder by two steps of 3 dB; the sounds are off here
        # (for this run only), so the voice is measured alone, from well below the limiter.
        quiet = ["--sound-volume=off", "--background-volume=off"]
        rec, at, err = played(palomir, xclose, quiet + ["--speech-volume=-12"], config,
                              [(3.0, "before", "key", "F3"), (5.0, "louder", "key", "F8"),
                               (6.5, "louder again", "key", "F8"), (8.5, "after", "key", "F3"),
                               (10.0, "close")])
        before, after = rec.rms(at("before"), at("before") + 1.4), rec.rms(at("after"), at("after") + 1.4)
        gain = db(after) - db(before)
        check(4.5 < gain < 7.5, "F8 twice makes the score 6 dB louder: %.1f dB (%.4f then %.4f)"
              % (gain, before, after))
        text = open(settings).read() if os.path.exists(settings) else ""
        check("speech-volume = -6" in text and "sound-volume = 0" in text and not err,
              "the settings file keeps the voice's volume and not the options %s" % err)

        # Started again, the voice is still that loud.
        rec, at, err = played(palomir, xclose, quiet, config, [(3.0, "again", "key", "F3"), (5.0, "close")])
        again = rec.rms(at("again"), at("again") + 1.4)
        check(abs(db(again) - db(after)) < 1.5, "after a restart the voice is as loud: %.1f dB against %.1f"
              % (db(again), db(after)))

        # Ten F4 presses in 1.5 s, forty numbers: the voice keeps up with play, what is
        # still heard after the last press is about three seconds of speech, not all forty.
        presses = [(3.0 + 0.15 * i, "F4 %d" % i, "key", "F4") for i in range(10)]
        rec, at, err = played(palomir, xclose, quiet, config, presses + [(14.0, "close")])
        last = at("F4 9")
        heard = [t / 20 for t in range(int(last * 20), int(at("close") * 20)) if rec.rms(t / 20, t / 20 + 0.05) > 0.003]
        behind = (heard[-1] + 0.05 - last) if heard else 0.0
        print("speech heard for %.2f s after the last of ten F4 presses" % behind)
        check(heard and behind < 4.5 and not err,
              "ten F4 presses in 1.5 s: speech ends %.2f s after the last, the voice keeps up %s" % (behind, err))

        # A settings file gone bad: one line, a game that plays, and the file kept aside; both
        # lines in the language the file names, from the first.
        bad = "language = de\nspeech-volume = loud\n\x00\x7f garbage\n"
        open(settings, "w").write(bad)
        # (F9 well after the start: a busy machine may take a few seconds to show the window.)
        rec, at, err = played(palomir, xclose, [], config, [(5.0, "change", "key", "F9"), (6.5, "close")])
        said = [l for l in err if settings in l]
        check(len(said) == 2 and "fehlerhaft" in said[0] and "settings.bad" in said[1] and "aufbewahrt" in said[1],
              "a bad settings file is said in one line, and said again once kept aside, in its language %s" % err)
        check(rec.rms(2.2, 4.0) > 0.001, "and the game plays (the puck at %.4f)" % rec.rms(2.2, 4.0))
        check(open(settings + ".bad").read() == bad and "sound-volume = -3" in open(settings).read(),
              "the bad file is kept as settings.bad and a new one written")


def languages(palomir, xclose):
    """The game in the desktop's language (LANGUAGE, as a desktop sets it) and in one named
    on the command line: the welcome, a level, the score and F1's first line in that language,
    spoken by an espeak-ng voice of that language; the play-again question in it too, through
    the same catalogs on the scenario runner. A language the game does not have, or one its
    voice does not speak (espeak-ng's data without its German voice) or says nothing in
    (without its Russian dictionary), is English, said in one line (the name as given, its control characters written out)."""
    listed = subprocess.run(["espeak-ng", "--voices"], capture_output=True, text=True).stdout
    voices = {f[3].replace("_", " "): f[1] for f in (l.split() for l in listed.splitlines()[1:]) if len(f) > 3}
    scenario = os.path.join(os.path.dirname(palomir), "scenario")
    mute = tempfile.TemporaryDirectory()
    data = subprocess.run(["espeak-ng", "--version"], capture_output=True, text=True).stdout.split("Data at: ")[1].strip()
    shutil.copytree(data, os.path.join(mute.name, "espeak-ng-data"))
    os.unlink(os.path.join(mute.name, "espeak-ng-data", "lang", "gmw", "de"))
    # Russian with its voice but not its dictionary: a voice that would say nothing at all.
    os.unlink(os.path.join(mute.name, "espeak-ng-data", "ru_dict"))
    # A name with an escape in it (one that clears the screen) is shown, not obeyed.
    no_language = "palomir: the game has no xx\\x1b[2J (it speaks en de es fr pt_BR ru); playing in English"
    no_voice = "palomir: the voice does not speak German, so the game speaks and writes English"
    no_words = ("palomir: the voice for Russian has no words (its dictionary is missing or empty), so the game "
                "speaks and writes English")
    for env, args, code, welcome, help_line, question, said_once in (
            ({"LANGUAGE": "de", "LANG": "C.UTF-8"}, [], "de", "Willkommen bei Palomir, einem Spiel von Vossk",
             "Hilfe. Noch einmal F1 oder Esc beendet sie.", "willst du noch mal verlieren?", None),
            ({"LANGUAGE": "de"}, ["--language=ru"], "ru", "Добро пожаловать в Паломир, игру от Восск",
             "Справка. Снова F1 или Esc её остановит.", "хочешь снова проиграть?", None),
            ({"LANGUAGE": "fr"}, ["--language=xx\x1b[2J"], "", "Welcome to Palomir: a Vossk game",
             "Help. F1 again or Escape stops it.", "wanna get beat again?", no_language),
            ({"LANGUAGE": "de", "ESPEAK_DATA_PATH": mute.name}, [], "", "Welcome to Palomir: a Vossk game",
             "Help. F1 again or Escape stops it.", "wanna get beat again?", no_voice),
            ({"LANGUAGE": "ru", "ESPEAK_DATA_PATH": mute.name}, [], "", "Welcome to Palomir: a Vossk game",
             "Help. F1 again or Escape stops it.", "wanna get beat again?", no_words)):
        name = " ".join(["LANGUAGE=" + env["LANGUAGE"], *args] + (["without its voice"] if "ESPEAK_DATA_PATH" in env else [])).replace("\x1b", "\\x1b")
        with tempfile.TemporaryDirectory() as config:
            trace = os.path.join(config, "game.trace")
            rec, at, err = played(palomir, xclose, ["--trace", trace, *args], config,
                                  [(3.0, "up", "key", "Up"), (3.8, "score", "click", "2"),
                                   (4.6, "help", "key", "F1"), (7.0, "close")], env)
            header, *lines = open(trace).read().splitlines() or [""]
        said = [l[7:-1] for l in lines if l.startswith("say ")]
        first = lines[0].split(" voice ") if lines[0].startswith("language ") else ["", ""]
        spoken_in = voices.get(first[1], "none") if code else ""
        check(header.startswith("# palomir ") and " trace" in header
              and first[0] == ("language " + code if code else "") and spoken_in == code.lower().replace("_", "-"),
              "%s: the trace's header, then its language and voice, %r, an espeak-ng voice for %r"
              % (name, [header, lines[0]], spoken_in))
        up, score = said.index("11") if "11" in said else -1, said[-3:-1] if len(said) > 3 else []
        check(said[:1] == [welcome] and up > 0 and help_line in said[up:],
              "%s: the welcome, the level after Up and F1's first line in that language %s" % (name, said))
        middle = [l for l in lines if l.startswith('say 1 "') and l[7:-1].isdigit()]
        check(len(middle) >= 3 and rec.rms(0.1, 1.5) > 0.02,
              "%s: the level and the score are bare numbers the voice reads (%s), and the welcome is heard (rms %.3f)"
              % (name, [l[7:-1] for l in middle], rec.rms(0.1, 1.5)))
        # (espeak-ng itself says that it cannot read a dictionary.)
        err = [l for l in err if not l.startswith("Can't read dictionary file")]
        check(err == ([said_once] if said_once else []), "%s: the game prints %s" % (name, err or "nothing"))
        end = subprocess.run([scenario], input="language %s\nload\nset ComputerScore 49\nvolume SoundPuck -100\n"
                             "tick ToTimer\n" % (code or "en"),
                             capture_output=True, text=True, timeout=60).stdout
        check(('say 0 "%s"' % question) in end, "%s: the play-again question is in that language" % name)
    mute.cleanup()


def main():
    palomir, xclose = sys.argv[1], sys.argv[2]
    languages(palomir, xclose)
    guide(palomir, xclose)
    out = tempfile.NamedTemporaryFile(suffix=".raw", delete=False).name
    env = dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out)
    env.pop("SDL_VIDEODRIVER", None)
    start = time.monotonic()
    proc = subprocess.Popen([palomir], env=env, stderr=subprocess.PIPE, text=True, start_new_session=True)
    marks = {}

    def at(t, name, *action):
        while time.monotonic() - start < t:
            time.sleep(0.005)
        marks[name] = time.monotonic() - start
        if action:
            xdo(*action)

    try:
        window = find_window(proc.pid)
        check(window != "", "the program shows a window captioned Palomir")

        at(6.5, "middle click", "click", "2")        # the score, spoken
        at(7.5, "paddle right", "mousemove_relative", "--", "200", "0")
        at(9.0, "up", "key", "Up")                    # the speed level, spoken
        at(10.5, "serve", "key", "5")                 # key 5 sends the resting puck away
        at(11.5, "close")
        subprocess.run([xclose, window], check=True)
        code = proc.wait(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
    err = proc.stderr.read()
    err = "\n".join(l for l in err.splitlines() if "disk" not in l and "Writing to file" not in l)
    check(code == 0 and not err, "closing the window ends the program with status 0 (%s) %s" % (code, err))
    time.sleep(0.2)
    # Only what this test started counts: the program ran in a session of its own.
    sessions = subprocess.run(["ps", "-eo", "sid="], capture_output=True, text=True).stdout.split()
    check(str(proc.pid) not in sessions, "no stray process is left")

    rec = Recording(out)
    os.unlink(out)
    print("recorded %.2f s" % (rec.frames / RATE))
    # The disk driver starts writing when the sound device opens, a moment after the
    # process starts; times below are in the recording.
    welcome = rec.rms(0.1, 1.5)
    check(welcome > 0.02, "the welcome is spoken at the start (rms %.3f)" % welcome)
    quiet = rec.rms(1.9, 2.0)
    # The puck loop starts about two seconds in, at -6000, and grows as it approaches.
    early, late = rec.rms(2.15, 2.3), rec.rms(2.45, 2.6)
    check(early > 0.0004 and late > 2 * early, "the puck grows louder as it approaches (%.4f then %.4f)" % (early, late))
    # Straight down the middle into the goal mouth: the buzzer.
    peak = max(rec.rms(t / 20, t / 20 + 0.05) for t in range(50, 70))
    check(peak > 0.15, "the buzzer sounds when the puck reaches the goal (peak rms %.3f)" % peak)
    def after(name, length, delay=0.0):
        """A span of the recording, from `delay` seconds after a mark."""
        t = marks[name] - marks["close"] + rec.frames / RATE + delay
        return t, t + length

    # Then it rests in front of the player: loud, centred, and the same loop after loop.
    b0, b1 = after("middle click", LOOP, -1.0)
    base = rec.rms(b0, b1)
    steady = rec.residual(b0, b1, LOOP)
    check(base > 0.03 and steady < 0.001,
          "the loop is steady in front of the player (rms %.3f, change %.5f)" % (base, steady))
    check(abs(rec.side(b0, b1)) < 1e-4, "and centred")

    spoken = rec.residual(*after("middle click", LOOP), LOOP)
    check(spoken > 0.02, "a middle click adds speech (rms %.3f over the loop)" % spoken)
    lean = rec.side(*after("paddle right", 0.3))
    check(lean > 0.005, "moving the mouse right slides the paddle to the right (R-L %.4f)" % lean)
    spoken = rec.residual(*after("up", LOOP), LOOP)
    check(spoken > 0.02, "Up makes the voice speak (rms %.3f over the loop)" % spoken)
    # Speech clear over the game: the spoken level (what is left once the loop is taken
    # away) at least 3 LU above the puck resting in front of the player.
    u0, u1 = after("up", 1.2)
    p = int(LOOP * RATE)
    a, b = int(u0 * RATE), min(int(u1 * RATE), rec.frames)
    voice = [[rec.s[2 * i + c] - rec.s[2 * (i - p) + c] for i in range(a, b)] for c in (0, 1)]
    puck = [[rec.s[2 * i + c] for i in range(int(b0 * RATE), int(b1 * RATE))] for c in (0, 1)]
    lv, lp = loudest_moment(*voice), loudest_moment(*puck)
    check(lv >= lp + 3, "the voice is clear over the resting puck (%.1f LUFS against %.1f)" % (lv, lp))
    # Served at full depth speed, the puck is well away before the opponent can return it.
    away = [rec.rms(*after("serve", 0.03, 0.03 + 0.04 * i)) for i in range(4)]
    check(away[1] < away[0] and away[2] < away[1] and away[3] < 0.7 * away[0],
          "pressing 5 serves and the loop grows quieter as the puck goes away %s" % ["%.3f" % a for a in away])
    return finish()


if __name__ == "__main__":
    sys.exit(main())
