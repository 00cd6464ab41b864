#!/usr/bin/env python3
"""The thread that carries the game's sound runs at real-time priority when an ordinary user
plays, as far as that user may have it:

- with rtkit on the system bus (started here, with polkit, on a bus of the test's own) and
  polkit granting the user real time (a rule for the test's user standing for the active
  login session a desktop gives a player): through the game's own PipeWire stream
  PipeWire's data thread, which mixes; through SDL's pipewire driver the PipeWire loop
  that pulls the mixer, through its pulseaudio driver SDL's audio thread; the process's
  limit on real-time processor time within rtkit's;
- without rtkit but with a real-time allowance (the rtprio limit an audio group gets from
  /etc/security/limits.d, set here as a login would set it; where this machine will not let
  even root raise that limit, this part is left out with a note);
- with neither, the game plays as before and says nothing about it.

Each time the game plays through a PipeWire of the same user. Needs root (to make the user
and run the system services). Run inside xvfb-run: realtime_test.py PALOMIR"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

from harness import (check, ends_with_test, find_window, finish, ordinary_user, readable_copy, skipped, stop_group,
                     stop_using, stopped)
from server_test import DRIVERS, SoundServer, game_env

RULE = "/etc/polkit-1/rules.d/60-palomir-e2e.rules"
BUS = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
"""


class SystemServices:
    """A system bus of the test's own with polkit and rtkit on it, as a desktop has them."""

    def __init__(self, folder):
        socket = os.path.join(folder, "system_bus_socket")
        conf = os.path.join(folder, "system-bus.conf")
        open(conf, "w").write(BUS % socket)
        self.address = "unix:path=" + socket
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.folder = folder
        self.procs = [subprocess.Popen(["dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                                       preexec_fn=ends_with_test)]
        end = time.monotonic() + 10
        while time.monotonic() < end and not os.path.exists(socket):
            time.sleep(0.05)
        os.chmod(folder, 0o755)
        os.chmod(socket, 0o777)
        # rtkit's log goes through a pipe: it forbids itself to write files.
        for args in (["/usr/lib/polkit-1/polkitd", "--no-debug"], ["/usr/libexec/rtkit-daemon"]):
            self.procs.append(subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                               start_new_session=True, preexec_fn=ends_with_test))
        self.names = self.wait_names(("org.freedesktop.PolicyKit1", "org.freedesktop.RealtimeKit1"))

    def wait_names(self, names):
        end = time.monotonic() + 15
        while time.monotonic() < end:
            out = subprocess.run(["dbus-send", "--bus=" + self.address, "--print-reply", "--dest=org.freedesktop.DBus",
                                  "/org/freedesktop/DBus", "org.freedesktop.DBus.ListNames"], capture_output=True,
                                 text=True).stdout
            if all(n in out for n in names):
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        for p in reversed(self.procs):
            stop_group(p)
        stop_using(self.folder)  # the bus, should it have outlived its group


def policy(pid, tid):
    try:
        return os.sched_getscheduler(tid) & ~0x40000000  # without SCHED_RESET_ON_FORK
    except OSError:
        return None


def threads(pid):
    """{thread name: [thread ids]} of a process."""
    out = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            name = open("/proc/%d/task/%s/comm" % (pid, tid)).read().strip()
        except OSError:
            continue
        out.setdefault(name, []).append(int(tid))
    return out


def rttime(pid):
    """The process's soft and hard limit on real-time processor time (µs), None for unlimited."""
    for line in open("/proc/%d/limits" % pid):
        if line.startswith("Max realtime timeout"):
            soft, hard = line.split()[3:5]
            return tuple(None if v == "unlimited" else int(v) for v in (soft, hard))
    return None


def play(server, user, palomir, driver, what, env=None, rtprio=0):
    """Plays a few seconds as `user`; what the sound threads' scheduling was, the process's
    real-time limits, the exit status and stderr."""
    run = game_env(dict(server.env, **(env or {})), driver)

    # What pam_limits sets at login for a user given an rtprio limit; the game inherits it.
    before = resource.getrlimit(resource.RLIMIT_RTPRIO)
    if rtprio:
        resource.setrlimit(resource.RLIMIT_RTPRIO, (rtprio, rtprio))
    # The game needs its own session bus (dbus-run-session), as a desktop gives each login.
    game = subprocess.Popen(["dbus-run-session", "--", palomir], env=run, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, user=user.pw_uid, group=user.pw_gid, extra_groups=[])
    resource.setrlimit(resource.RLIMIT_RTPRIO, before)
    found, limit, pid = {}, None, None
    try:
        find_window_ok = False
        end = time.monotonic() + 15
        while time.monotonic() < end and pid is None:
            kids = subprocess.run(["pgrep", "-s", str(game.pid), "-x", os.path.basename(palomir)[:15]],
                                  capture_output=True, text=True).stdout.split()
            pid = int(kids[0]) if kids else None
            time.sleep(0.05)
        if pid:
            find_window_ok = find_window(pid) != ""
            time.sleep(2.5)
            for name, tids in threads(pid).items():
                if name.startswith(("SDLAudioP", "palomir-mix")):
                    found[name] = [policy(pid, t) for t in tids]
            limit = rttime(pid)
        check(find_window_ok, "%s: the game's window is up" % what)
    finally:
        if pid:
            try:
                os.kill(pid, 15)
            except ProcessLookupError:
                pass
        code = stopped(game, sig=None)
        stop_group(game)
    return found, limit, code, game.stderr.read()


class PlayerDesktop:
    """What a login gives a player, made by a test run as root: an ordinary user with a home
    of its own, the game copied where that user may run it, the X server's key, polkit and
    rtkit on a system bus of the test's own granting that user real time, and the user's own
    PipeWire, which asks rtkit too. `env` is what the game adds to the server's."""

    def __init__(self, palomir):
        self.user, self.made_user = ordinary_user()
        self.folder = tempfile.mkdtemp(prefix="palomir-rt-")
        self.services = self.server = None
        try:
            os.chmod(self.folder, 0o755)
            self.palomir = readable_copy(self.folder, palomir)
            self.home = os.path.join(self.folder, "home")
            os.mkdir(self.home, 0o700)
            os.chown(self.home, self.user.pw_uid, self.user.pw_gid)
            # Caches too (Mesa's would otherwise go to the passwd entry's home).
            self.env = {"HOME": self.home, "XDG_CACHE_HOME": os.path.join(self.home, ".cache")}
            if os.environ.get("XAUTHORITY"):
                self.env["XAUTHORITY"] = os.path.join(self.folder, "xauth")
                shutil.copy(os.environ["XAUTHORITY"], self.env["XAUTHORITY"])
                os.chmod(self.env["XAUTHORITY"], 0o644)
            bus = os.path.join(self.folder, "bus")
            os.mkdir(bus)
            self.services = SystemServices(bus)
            grant_realtime(self.user)
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self.services.address
            self.server = SoundServer(user=self.user, system_bus=self.services.address)
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        if os.path.exists(RULE):
            os.unlink(RULE)
        if self.server:
            self.server.stop()
        if self.services:
            self.services.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
        if self.made_user:
            subprocess.run(["userdel", self.user.pw_name], check=False)


REALTIME = (os.SCHED_FIFO, os.SCHED_RR)


def mixing(found, driver):
    """The scheduling of the threads that pull the mixer through `driver`."""
    return [p for k, v in found.items() if k.startswith("palomir-mix" if driver == "own" else "SDLAudioP") for p in v]


def grant_realtime(user):
    """What a desktop's login session grants a player: rtkit's real time, for `user` alone,
    until RULE is removed."""
    with open(RULE, "w") as f:
        f.write('polkit.addRule(function(action, subject) {\n'
                '    if (action.id == "org.freedesktop.RealtimeKit1.acquire-real-time" &&\n'
                '        subject.user == "%s") return polkit.Result.YES;\n});\n' % user.pw_name)
    time.sleep(0.5)  # polkit reads its rules again


def main():
    palomir = sys.argv[1]
    if os.geteuid() != 0:
        return skipped("needs root, to make an ordinary user and start rtkit")
    with PlayerDesktop(palomir) as desk:
        user, server, palomir, env = desk.user, desk.server, desk.palomir, desk.env
        check(desk.services.names, "polkit and rtkit run on a system bus of the test's own")
        check(server.pactl("info").returncode == 0, "PipeWire runs as the user")
        for driver in DRIVERS:
            found, limit, code, err = play(server, user, palomir, driver, driver + " with rtkit", env)
            got = mixing(found, driver)
            check(got and all(p in REALTIME for p in got),
                  "%s with rtkit: the mixer's thread runs at real-time priority (%s)" % (driver, found))
            check(limit is not None and limit[1] is not None and limit[1] <= 200000,
                  "%s with rtkit: real-time processor time limited as rtkit demands (%s µs)" % (driver, limit))
            check(code == 0 and not err.strip(), "%s with rtkit: the game ended cleanly, saying nothing (%s, %r)"
                  % (driver, code, err[-500:]))
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(desk.folder, "nowhere")
        try:
            found, limit, code, err = play(server, user, palomir, "own", "an rtprio limit", env, rtprio=20)
            got = mixing(found, "own")
            check(got and all(p in REALTIME for p in got), "an rtprio limit and no rtkit: the mixer's thread "
                  "runs at real-time priority (%s)" % found)
        except ValueError:
            print("NOTE: this machine lets no one raise the rtprio limit (no CAP_SYS_RESOURCE); not tried")
        found, limit, code, err = play(server, user, palomir, "own", "no real time", env)
        got = mixing(found, "own")
        check(got and code == 0 and not err.strip(), "neither: the game plays as before and says nothing "
              "(%s, %s, %r)" % (found, code, err[-500:]))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
