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
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, stop_group, stopped

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
    if "ASAN_OPTIONS" in env:
        # What libspeechd keeps is made inside the C library, whose frames the fast unwinder
        # cannot walk: the full one reaches libspeechd's own, which the suppression names,
        # whether or not the C library's symbols are installed.
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    return subprocess.Popen([program, *args], env=env, stderr=subprocess.PIPE, text=True, start_new_session=True)


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        sd = SpeechDispatcher(folder)
        try:
            check(os.path.exists(sd.socket), "speech-dispatcher runs on a socket of its own")

            # Play: the welcome, then the score and a new speed level, in that order.
            p = game(program, sd.env)
            try:
                window = find_window(p.pid)
                time.sleep(3.5)
                for action in (["click", "2"], ["key", "Up"], ["key", "Up"]):
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
            want = ["Welcome to Palomir: a Vossk game", "0", "1", "0", "1", "11", "12"]
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
