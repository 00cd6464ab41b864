#!/usr/bin/env python3
"""The player's own voice: the real program with --speech system against a real
speech-dispatcher started here (its own configuration in a temporary folder, its espeak-ng
module, audio to libao's null output, a log that shows every text it receives). The lines
arrive in the order the game says them; a waiting line holds the game until
speech-dispatcher has finished it; with no speech-dispatcher to reach, the game says so
once and plays with its own voice.

Run inside xvfb-run: speechd_test.py PALOMIR"""
import datetime
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
AudioOutputMethod "libao"
AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"
DefaultModule espeak-ng
DefaultLanguage "en"
"""


class SpeechDispatcher:
    def __init__(self, folder):
        self.folder = folder
        for d in ("conf/modules", "log", "home"):
            os.makedirs(os.path.join(folder, d))
        open(os.path.join(folder, "conf", "speechd.conf"), "w").write(CONFIG)
        shutil.copy("/etc/speech-dispatcher/modules/espeak-ng.conf", os.path.join(folder, "conf", "modules"))
        open(os.path.join(folder, "home", ".libao"), "w").write("default_driver=null\n")
        self.socket = os.path.join(folder, "speechd.sock")
        self.env = dict(os.environ, HOME=os.path.join(folder, "home"), SPEECHD_ADDRESS="unix_socket:" + self.socket)
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
            elif self.how == "garbage":
                c.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
                self.kept.append(c)
            else:
                self.kept.append(c)

    def stop(self):
        self.server.close()
        for c in self.kept:
            c.close()


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
        time.sleep(3)
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
                for action in (["click", "2"], ["key", "Up"], ["key", "Up"], ["key", "F6"], ["key", "F7"]):
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
            check(texts == want, "the lines arrived in the game's order: %r" % texts)

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
