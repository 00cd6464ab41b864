#!/usr/bin/env python3
"""The player's own voice: the real program with --speech system against a real
speech-dispatcher started here (its own configuration in a temporary folder, its espeak-ng
module, audio to libao's null output, a log that shows every text it receives). The lines
arrive in the order the game says them; a waiting line holds the game until
speech-dispatcher has finished it; with no speech-dispatcher to reach, the game says so
once and plays with its own voice.

Run inside xvfb-run: speechd_test.py PALOMIR"""
import array
import datetime
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from harness import check, find_window, finish, stop_group, stopped
from play_test import Recording

CONFIG = """LogLevel 5
AudioOutputMethod "%s"
AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"
DefaultModule espeak-ng
DefaultLanguage "en"
DefaultVolume 100
"""


class SpeechDispatcher:
    """`output` "pulse" with the environment `env` of a sound server: its speech is heard there."""

    def __init__(self, folder, output="libao", env=None):
        self.folder = folder
        for d in ("conf/modules", "log", "home"):
            os.makedirs(os.path.join(folder, d))
        open(os.path.join(folder, "conf", "speechd.conf"), "w").write(CONFIG % output)
        shutil.copy("/etc/speech-dispatcher/modules/espeak-ng.conf", os.path.join(folder, "conf", "modules"))
        open(os.path.join(folder, "home", ".libao"), "w").write("default_driver=null\n")
        self.socket = os.path.join(folder, "speechd.sock")
        self.env = dict(env or os.environ, HOME=os.path.join(folder, "home"),
                        SPEECHD_ADDRESS="unix_socket:" + self.socket)
        self.proc = subprocess.Popen(
            ["speech-dispatcher", "-s", "-t", "0", "-C", os.path.join(folder, "conf"), "-L", os.path.join(folder, "log"),
             "-S", self.socket, "-P", os.path.join(folder, "pid"), "-c", "unix_socket"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        end = time.monotonic() + 15
        while time.monotonic() < end and not os.path.exists(self.socket):
            time.sleep(0.05)

    def log(self):
        try:
            return open(os.path.join(self.folder, "log", "speech-dispatcher.log"), errors="replace").read()
        except OSError:
            return ""

    def received(self):
        """The texts queued, in order, with the time each was queued."""
        return [(stamp(m.group(1)), m.group(2))
                for m in re.finditer(r"^\[(.*?)\] speechd:\s+Queueing message \|(.*?)\| with priority", self.log(), re.M)]

    def ends(self):
        """When speech-dispatcher told its clients that a message had ended."""
        return [stamp(m.group(1)) for m in re.finditer(r"^\[(.*?)\] speechd:\s+\d+:REPLY:\|702-", self.log(), re.M)]

    def stop(self):
        stop_group(self.proc)


def stamp(text):
    """A log line's time: '[Tue Dec  8 01:17:09 2026 : 518649]' without its brackets."""
    when, micro = text.rsplit(" : ", 1)
    return datetime.datetime.strptime(" ".join(when.split()), "%a %b %d %H:%M:%S %Y").timestamp() + int(micro) / 1e6


def game(program, env, args=("--speech", "system")):
    env = dict(env, SDL_AUDIODRIVER="dummy")
    env.pop("SDL_VIDEODRIVER", None)
    return subprocess.Popen([program, *args], env=env, stderr=subprocess.PIPE, text=True, start_new_session=True)


class StandIn:
    """Something else on speech-dispatcher's address: `silent` takes the connection and never
    answers, `hang-up` closes it at once, `garbage` answers what is not speech-dispatcher's."""

    def __init__(self, folder, how):
        self.path = os.path.join(folder, how + ".sock")
        self.how = how
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.path)
        self.server.listen(4)
        self.kept = []
        self.env = dict(os.environ, SPEECHD_ADDRESS="unix_socket:" + self.path)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                c, _ = self.server.accept()
            except OSError:
                return
            if self.how == "hang-up":
                c.close()
            elif self.how == "speaks":
                threading.Thread(target=self.talk, args=(c,), daemon=True).start()
                self.kept.append(c)
            elif self.how == "garbage":
                c.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
                self.kept.append(c)
            else:
                self.kept.append(c)

    def stop(self):
        self.server.close()
        for c in self.kept:
            c.close()


class Speaker(StandIn):
    """A stand-in that speaks: a line begins `begin` seconds after it is taken and ends
    `per_char` seconds a character later (never, for None). It keeps what it was sent."""

    def __init__(self, folder, per_char, begin=0.0):
        self.per_char, self.begin, self.texts, self.commands = per_char, begin, [], []
        StandIn.__init__(self, folder, "speaks")

    def talk(self, c):
        f, lock, state = c.makefile("rb"), threading.Lock(), {}

        def send(text, n=0):
            with lock:
                c.sendall((text.replace("N", str(n)) if n else text).encode())

        def speak(n, length):
            time.sleep(self.begin)
            if state[n] == "queued":
                state[n] = "speaking"
                send("701-N\r\n701-1\r\n701 BEGIN\r\n", n)
                if self.per_char is not None:
                    time.sleep(max(0.2, length * self.per_char))
                    if state[n] == "speaking":
                        state[n] = "done"
                        send("702-N\r\n702-1\r\n702 END\r\n", n)

        for line in f:
            command = line.decode(errors="replace").strip()
            self.commands.append(command)
            if command == "SPEAK":
                send("230 OK RECEIVING DATA\r\n")
                body = []
                for l in f:
                    if l.rstrip(b"\r\n") == b".":
                        break
                    body.append(l.decode(errors="replace").rstrip("\r\n"))
                self.texts.append("\n".join(body))
                state[len(self.texts)] = "queued"
                send("225-N\r\n225 OK MESSAGE QUEUED\r\n", len(self.texts))
                threading.Thread(target=speak, args=(len(self.texts), len(self.texts[-1])), daemon=True).start()
            elif command.startswith("CANCEL"):
                for n in [n for n, st in state.items() if st in ("queued", "speaking")]:
                    state[n] = "cancelled"
                    send("703-N\r\n703-1\r\n703 CANCELED\r\n", n)
                send("210 OK CANCELED\r\n")
            else:
                send("208 OK\r\n")


def slow_servers(program, folder):
    """speech-dispatcher slow but well: every help line is said, a line that takes 4 seconds is
    not taken for a failure; a line it begins and never finishes is cancelled there before the
    game's own voice says it."""
    rows = [  # what, speaker, keys, at most seconds, done when (the texts), printed
        ("90 ms a character: the whole help", dict(per_char=0.09), ["F1"], 75, lambda t: len(t) == 9, ""),
        ("a line that takes 4 seconds", dict(per_char=0.05, begin=3.0), ["F3"], 16, lambda t: len(t) == 3, ""),
        ("a line begun and never finished", dict(per_char=None), [], 12, lambda t: False, "stopped working"),
        # Escape's cancel is answered; the answer is read as the cancel's, and the help
        # asked again is said there from its first line.
        ("F1, Escape, F1", dict(per_char=0.03), ["F1", "Escape", "F1"], 40,
         lambda t: len(t) >= 10 and t.count(t[1]) == 2, ""),
    ]
    for what, how, keys, most, done, complaint in rows:
        speaker = Speaker(tempfile.mkdtemp(dir=folder), **how)
        p = game(program, dict(speaker.env, XDG_CONFIG_HOME=folder))
        try:
            window = find_window(p.pid)
            time.sleep(3.5 + how.get("begin", 0))  # the welcome
            for k in keys:
                subprocess.run(["xdotool", "key", k], check=True)
                time.sleep(0.5)
            end = time.monotonic() + most
            while time.monotonic() < end and not done(speaker.texts):
                time.sleep(0.1)
        finally:
            code = stopped(p, timeout=15)
            speaker.stop()
        said, err = speaker.texts, [l for l in p.stderr.read().splitlines() if l.strip()]
        if complaint:
            cancels = [c for c in speaker.commands if c.startswith("CANCEL")]
            check(window != "" and code == 0 and len(err) == 1 and complaint in err[0] and cancels,
                  "%s: said once, and cancelled there for the game's own voice %r" % (what, err))
        else:
            check(window != "" and code == 0 and not err and done(said) and len(said) - len(set(said)) == keys.count("Escape"),
                  "%s: every line said there, once, nothing printed: %r %r" % (what, said, err))


def loudness(program, folder):
    """The voice's loudness through a real speech-dispatcher, measured where it is heard: a
    null sink of a sound server of the test's own. -30 dB is about 30 dB below 0 dB."""
    from server_test import SoundServer
    server = SoundServer()
    levels = {}
    try:
        for db in (0, -15, -30):
            sd = SpeechDispatcher(os.path.join(folder, "loud%d" % -db), output="pulse", env=server.env)
            raw = os.path.join(folder, "loud%d.raw" % -db)
            rec = subprocess.Popen(["parec", "--device=nullsink.monitor", "--format=float32le", "--channels=1",
                                    "--rate=48000", "--raw", raw], env=server.env, start_new_session=True)
            p = game(program, dict(sd.env, XDG_CONFIG_HOME=os.path.join(folder, "loud%d" % -db)),
                     args=("--speech", "system", "--speech-volume=%d" % db))
            try:
                find_window(p.pid)
                time.sleep(4.5)
                subprocess.run(["xdotool", "key", "F4"], check=True)
                time.sleep(3.0)
            finally:
                stopped(p, timeout=15)
                stop_group(rec)
                sd.stop()
            data = array.array("f")
            data.frombytes(open(raw, "rb").read()[: os.path.getsize(raw) // 4 * 4])
            # The voice's level: the mean power of the 50-ms windows it is heard in (within
            # 20 dB of its loudest), whatever its pauses.
            power = [sum(x * x for x in data[i:i + 2400]) / 2400 for i in range(0, len(data) - 2400, 2400)]
            speech = [x for x in power if x >= max(power + [1e-12]) / 100]
            levels[db] = 10 * math.log10(max(1e-12, sum(speech) / len(speech)))
    finally:
        server.stop()
    print("speech-dispatcher levels at the sink: %s" % {d: "%.1f dB" % v for d, v in levels.items()})
    check(abs((levels[0] - levels[-30]) - 30) <= 2 and abs((levels[0] - levels[-15]) - 15) <= 2,
          "--speech-volume -15 and -30 are heard 15 and 30 dB below 0 (%.1f and %.1f dB)"
          % (levels[0] - levels[-15], levels[0] - levels[-30]))


def plays_on(program, env, what, during=None, late=0.0):
    """A game against a failing speech server: it plays on, its own voice reads the score at
    a middle click (`late` seconds later when the server is only found out by its silence),
    it says once that it left speech-dispatcher, and it ends at SIGTERM with status 0 at once."""
    out = tempfile.NamedTemporaryFile(suffix=".raw", delete=False).name
    env = dict(env, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=out)
    env.pop("SDL_VIDEODRIVER", None)
    p = subprocess.Popen([program, "--speech", "system"], env=env, stderr=subprocess.PIPE, text=True,
                         start_new_session=True)
    try:
        window = find_window(p.pid)
        time.sleep(3.5)
        if during:
            during()
        # The game's own voice first says that speech-dispatcher failed.
        time.sleep(4.5)
        subprocess.run(["xdotool", "click", "2"], check=True)
        clicked = time.monotonic()
        time.sleep(1.5 + late)
        asked = time.monotonic()
        code = stopped(p, timeout=10)
        took = time.monotonic() - asked
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    rec = Recording(out)
    os.unlink(out)
    click = rec.frames / 48000 - (asked + took - clicked) + late  # the recording ends with the game
    before, after = rec.residual(click - 1.0, click - 0.1, 0.8), rec.residual(click + 0.1, click + 1.0, 0.8)
    err = [l for l in p.stderr.read().splitlines() if "disk" not in l and "Writing to file" not in l]
    limit = 1.0 if os.environ.get("PALOMIR_SANITIZED") else 0.3
    check(window != "" and code == 0 and took <= limit,
          "%s: the game plays on and ends at once (status %s in %.3f s)" % (what, code, took))
    check(after > 0.02 and after > 3 * before,
          "%s: its own voice reads the score (%.4f over the loop, %.4f before)" % (what, after, before))
    check(len(err) == 1 and "speech-dispatcher" in err[0] and "own voice" in err[0],
          "%s: said once: %r" % (what, err))


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        slow_servers(program, folder)
        loudness(program, folder)
    with tempfile.TemporaryDirectory() as folder:
        for how in ("silent", "hang-up", "garbage"):
            stand_in = StandIn(folder, how)
            try:
                plays_on(program, stand_in.env, "a server that " + {"silent": "never answers", "hang-up": "hangs up",
                                                                    "garbage": "answers garbage"}[how])
            finally:
                stand_in.stop()
        # Stopped, it is found out when it leaves a line unanswered for 2 seconds.
        for what, sig, late in (("killed", signal.SIGKILL, 0), ("stopped", signal.SIGSTOP, 2.1)):
            sd = SpeechDispatcher(os.path.join(folder, what))
            try:
                plays_on(program, sd.env, "speech-dispatcher %s mid-game" % what,
                         during=lambda: os.killpg(sd.proc.pid, sig), late=late)
            finally:
                if sig == signal.SIGSTOP:
                    os.killpg(sd.proc.pid, signal.SIGCONT)
                sd.stop()

    with tempfile.TemporaryDirectory() as folder:
        sd = SpeechDispatcher(folder)
        try:
            check(os.path.exists(sd.socket), "speech-dispatcher runs on a socket of its own")

            # Play: the welcome, then the score and a new speed level, in that order.
            # F6 and F7 set this game's rate and volume on the server before the next line.
            p = game(program, dict(sd.env, XDG_CONFIG_HOME=folder))
            try:
                window = find_window(p.pid)
                time.sleep(3.5)
                # Then the help cut by Escape, asked again and cut again: both cancels are
                # answered, and the level after it still goes to speech-dispatcher.
                for action in (["click", "2"], ["key", "Up"], ["key", "Up"], ["key", "F6"], ["key", "F7"],
                               ["key", "F1"], ["key", "Escape"], ["key", "F1"], ["key", "Escape"], ["key", "Up"]):
                    subprocess.run(["xdotool", *action], check=True)
                    time.sleep(0.3)
                time.sleep(1.0)
            finally:
                code = stopped(p, timeout=15)
            texts = [t for _, t in sd.received()]
            check(window != "" and code == 0 and not p.stderr.read().strip(), "the game played through "
                  "speech-dispatcher and ended cleanly (status %s)" % code)
            # The middle button reads the score (yours, then the computer's, after its goal)
            # at its press and again at its release.
            want = ["Welcome to Palomir: a Vossk game", "0", "1", "0", "1", "11", "12", "Rate 200",
                    "Speech minus 3 decibels"]
            check(texts[:len(want)] == want and texts[-1] == "13" and len(texts) >= len(want) + 3,
                  "the lines arrived in the game's order: %r" % texts)

            # A waiting line: the reason the game cannot start, read out before it ends.
            with tempfile.TemporaryDirectory() as install:
                shutil.copy(program, install)
                shutil.copytree(os.path.join(os.path.dirname(program), "sounds"), os.path.join(install, "sounds"))
                os.unlink(os.path.join(install, "sounds", "buzz.wav"))
                before = len(sd.ends())
                p = game(os.path.join(install, "palomir"), sd.env)
                code = stopped(p, timeout=15, sig=None)  # it ends by itself once the line is said
                gone = time.time()
            line = "Palomir cannot start: the sound file buzz.wav could not be loaded."
            received = sd.received()
            queued = [t for t, text in received if text == line]
            ends = [t for t in sd.ends()[before:] if queued and t >= queued[-1]]
            check(code == 1 and queued, "the cannot-start line reached speech-dispatcher (status %s)" % code)
            check(bool(ends) and ends[0] <= gone, "and the game waited until it had been spoken "
                  "(spoken by %s, the game ended at %.3f)" % (["%.3f" % e for e in ends[:1]], gone))

            # In French: the connection's language is set before the first line.
            before = len(sd.received())
            p = game(program, dict(sd.env, XDG_CONFIG_HOME=folder), ("--speech", "system", "--language", "fr"))
            try:
                find_window(p.pid)
                time.sleep(2.5)
            finally:
                code = stopped(p, timeout=15)
            texts = [t for _, t in sd.received()[before:]]
            told = re.findall(r"SET SELF LANGUAGE (\S+)", sd.log(), re.I)
            check(code == 0 and texts[:1] == ["Bienvenue dans Palomir, un jeu Vossk"] and told == ["fr"],
                  "in French, speech-dispatcher is told the language (%s) and gets the French welcome %r"
                  % (told, texts[:1]))
        finally:
            sd.stop()

    # Nobody to speak to: one line on stderr, and the game's own voice.
    env = dict(os.environ, SPEECHD_ADDRESS="unix_socket:/nonexistent/palomir-test.sock")
    p = game(program, env)
    try:
        window = find_window(p.pid)
        time.sleep(2)
    finally:
        code = stopped(p, timeout=15)
    err = p.stderr.read().strip().splitlines()
    check(window != "" and code == 0 and len(err) == 1 and "speech-dispatcher could not be reached" in err[0]
          and "own voice" in err[0], "without speech-dispatcher the game says so once and plays on: %r" % err)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
