#!/usr/bin/env python3
"""`sudo tools/dev.sh play` as a player types it: the game runs as the user who called sudo,
in that user's session, and reaches the sound server that user owns; the tree, an old build
of root's included, is left all the user's.

As root (CI) the caller is `nobody`, and the build a stand-in `cmake` that copies the built
game, so that nothing is compiled twice. Not root: skipped (sudo's part cannot be tried).

Run inside xvfb-run: sudo_play_test.py SOURCE_DIR PALOMIR"""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, skipped, stop_group
from server_test import SoundServer

# cmake for this test: configuring does nothing; building copies the game already built.
STAND_IN = '#!/bin/sh\n[ "$1" != --build ] || cp -r "%s/." "$2/"\n'


def game_of(program, timeout=60.0):
    """The process running `program`, once there is one."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/exe" % pid) == program:
                    return int(pid)
            except OSError:
                pass
        time.sleep(0.1)
    return None


def main():
    source, palomir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if os.geteuid() != 0:
        return skipped("needs root, to run the game as another user as sudo does")
    user = pwd.getpwnam("nobody")
    work = tempfile.mkdtemp(prefix="palomir-sudo-")
    os.chmod(work, 0o755)
    tree, built, bin_dir = (os.path.join(work, d) for d in ("tree", "built", "bin"))
    os.makedirs(os.path.join(tree, "tools"))
    os.makedirs(os.path.join(tree, "build", "CMakeFiles"))  # an earlier run's, root's
    shutil.copy(os.path.join(source, "tools", "dev.sh"), os.path.join(tree, "tools"))
    os.makedirs(built)
    shutil.copy(palomir, built)
    shutil.copytree(os.path.join(os.path.dirname(palomir), "sounds"), os.path.join(built, "sounds"))
    os.makedirs(bin_dir)
    with open(os.path.join(bin_dir, "cmake"), "w") as f:
        f.write(STAND_IN % built)
    os.chmod(os.path.join(bin_dir, "cmake"), 0o755)
    os.chown(tree, user.pw_uid, user.pw_gid)
    for d in ("tools", "tools/dev.sh"):
        os.chown(os.path.join(tree, d), user.pw_uid, user.pw_gid)

    server = SoundServer(user="nobody")
    p = None
    try:
        check("nullsink" in server.null_sink(), "a sound server of nobody's runs")
        # What sudo hands over: root's HOME, DISPLAY and XAUTHORITY kept; here the session's
        # runtime folder is carried too, since nobody has none under /run/user.
        xauth = os.path.join(server.runtime, "Xauthority")
        shutil.copy(os.environ["XAUTHORITY"], xauth)
        os.chown(xauth, user.pw_uid, user.pw_gid)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("SDL_", "XDG_", "PULSE", "PIPEWIRE"))}
        env.update(SUDO_USER="nobody", HOME="/root", XAUTHORITY=xauth, XDG_RUNTIME_DIR=server.runtime,
                   PATH=bin_dir + ":" + os.environ["PATH"])
        p = subprocess.Popen([os.path.join(tree, "tools", "dev.sh"), "play"], cwd="/", env=env,
                             start_new_session=True)
        pid = game_of(os.path.join(tree, "build", "palomir"))
        window = find_window(pid) if pid else ""
        check(window != "", "the game opens its window")
        if pid:
            uid = open("/proc/%d/status" % pid).read().split("Uid:")[1].split()[:4]
            environ = dict(e.split("=", 1) for e in open("/proc/%d/environ" % pid).read().split("\0") if "=" in e)
            session = [environ.get(k) for k in ("USER", "HOME", "XDG_RUNTIME_DIR")]
            check(uid == [str(user.pw_uid)] * 4 and session == ["nobody", user.pw_dir, server.runtime],
                  "the game runs as the user who called sudo, in that user's session (%s, %s)" % (uid, session))
            # The server is this test's own: the one stream named after the game is the game's
            # (SDL's pipewire driver names its stream, not its process).
            streams = ""
            for _ in range(50):
                streams = server.pactl("list", "sink-inputs").stdout
                if 'application.name = "Palomir"' in streams:
                    break
                time.sleep(0.2)
            check('application.name = "Palomir"' in streams, "its sound reaches that user's server")
    finally:
        if p:
            stop_group(p)
        server.stop()
    roots = [os.path.relpath(os.path.join(d, f), tree) for d, ds, fs in os.walk(tree) for f in ds + fs + ["."]
             if os.lstat(os.path.join(d, f)).st_uid == 0]
    check(not roots, "the user built; nothing in the tree is root's afterwards (%s)" % roots[:5])
    shutil.rmtree(work, ignore_errors=True)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
