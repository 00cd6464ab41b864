#!/usr/bin/env python3
"""The game as a player installs it: `cmake --install` into a folder of its own, the
installed program started from somewhere else entirely finds its sounds and plays; and the
Debian package built by CPack holds the program, the sounds, the desktop entry, the
metainfo and the manual page.

Run inside xvfb-run: install_test.py BUILD_DIR"""
import os
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, stopped

SOUNDS = ["buzz.wav", "goal.wav", "puck.wav", "SideBounce.wav", "rebound.wav", "paddle.wav",
          "OpponentHit.wav", "opponentpaddleslide.wav", "paddleslide.wav", "background.wav"]


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as prefix, tempfile.TemporaryDirectory() as elsewhere:
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        check(r.returncode == 0, "cmake --install into a folder of its own (%s)" % r.stderr.strip()[-200:])
        program = os.path.join(prefix, "games", "palomir")
        present = [f for f in ["games/palomir", "share/applications/palomir.desktop",
                               "share/metainfo/palomir.metainfo.xml", "share/man/man6/palomir.6.gz"]
                   + ["share/palomir/sounds/" + s for s in SOUNDS] if not os.path.exists(os.path.join(prefix, f))]
        check(not present, "everything is installed (missing: %s)" % present)
        desktop = open(os.path.join(prefix, "share/applications/palomir.desktop")).read()
        check("Categories=Game;ArcadeGame;" in desktop and "Terminal=false" in desktop and "Exec=palomir" in desktop,
              "the desktop entry starts the game as a game, without a terminal")

        env = dict(os.environ, SDL_AUDIODRIVER="dummy")
        env.pop("SDL_VIDEODRIVER", None)
        p = subprocess.Popen([program], cwd=elsewhere, env=env, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
        try:
            window = find_window(p.pid)
            time.sleep(3)
            alive = window != "" and p.poll() is None
        finally:
            code = stopped(p)
        err = p.stderr.read().strip()
        check(alive and code == 0 and not err,
              "the installed program, started from another folder, finds its sounds and plays "
              "(status %s, %r)" % (code, err))

    with tempfile.TemporaryDirectory() as out:
        r = subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, "CPackConfig.cmake")],
                           capture_output=True, text=True, cwd=build)
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        check(r.returncode == 0 and len(debs) == 1, "cpack makes one Debian package (%s)" % r.stderr.strip()[-300:])
        if debs:
            deb = os.path.join(out, debs[0])
            listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
            want = ["./usr/games/palomir", "./usr/share/applications/palomir.desktop",
                    "./usr/share/metainfo/palomir.metainfo.xml", "./usr/share/man/man6/palomir.6.gz"] + \
                   ["./usr/share/palomir/sounds/" + s for s in SOUNDS]
            missing = [w for w in want if w not in listing]
            check(not missing, "the package holds the program, its sounds, desktop entry, metainfo and "
                               "manual page (missing: %s)" % missing)
            depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
            check("libsdl2" in depends and "libespeak-ng" in depends and "espeak-ng-data" in depends,
                  "and depends on what it needs (%s)" % depends.strip())
    return finish()


if __name__ == "__main__":
    sys.exit(main())
