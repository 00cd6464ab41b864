#!/usr/bin/env python3
"""The game as a player installs it: `cmake --install` into a folder of its own, the
installed program started from somewhere else entirely finds its sounds and plays; and the
Debian package built by CPack holds the program, the sounds, the desktop entry, the
metainfo and the manual page, passes lintian and AppStream's validator, lists the libraries
it needs and its program starts; the manual names every option --help does.

Run inside xvfb-run: install_test.py BUILD_DIR"""
import gzip
import os
import re
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, stopped

ID = "io.github.palomir.palomir"
SOUNDS = ["buzz.wav", "goal.wav", "puck.wav", "SideBounce.wav", "rebound.wav", "paddle.wav",
          "OpponentHit.wav", "opponentpaddleslide.wav", "paddleslide.wav", "background.wav"]


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as prefix, tempfile.TemporaryDirectory() as elsewhere:
        r = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        check(r.returncode == 0, "cmake --install into a folder of its own (%s)" % r.stderr.strip()[-200:])
        program = os.path.join(prefix, "games", "palomir")
        present = [f for f in ["games/palomir", "share/applications/%s.desktop" % ID,
                               "share/metainfo/%s.metainfo.xml" % ID, "share/man/man6/palomir.6.gz"]
                   + ["share/palomir/sounds/" + s for s in SOUNDS] if not os.path.exists(os.path.join(prefix, f))]
        check(not present, "everything is installed (missing: %s)" % present)
        desktop = open(os.path.join(prefix, "share/applications/%s.desktop" % ID)).read()
        check("Categories=Game;ArcadeGame;" in desktop and "Terminal=false" in desktop and "Exec=palomir" in desktop,
              "the desktop entry starts the game as a game, without a terminal")
        metainfo = os.path.join(prefix, "share/metainfo/%s.metainfo.xml" % ID)
        r = subprocess.run(["appstreamcli", "validate", "--pedantic", "--no-net", metainfo],
                           capture_output=True, text=True)
        check(r.returncode == 0 and "Validation was successful." in r.stdout,
              "AppStream's validator finds nothing, even pedantic (%s)" % r.stdout.strip()[-300:])
        version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.split()[-1]
        newest = re.search(r'<release version="([^"]+)"', open(metainfo).read())
        check(newest and newest.group(1) == version,
              "the newest release in the metainfo is this version (%s)" % version)
        usage = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
        page = os.path.join(prefix, "share/man/man6/palomir.6.gz")
        source = gzip.open(page, "rt").read().replace("\\-", "-")
        unlisted = [o for o in sorted(set(re.findall(r"--[a-z]+", usage))) if o not in source]
        r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                           env=dict(os.environ, MANWIDTH="80"))
        check(not unlisted and r.returncode == 0 and not r.stderr,
              "the manual names every option (missing: %s) and reads without warnings (%s)"
              % (unlisted, r.stderr.strip()[-300:]))

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
            want = ["./usr/games/palomir", "./usr/share/applications/%s.desktop" % ID,
                    "./usr/share/metainfo/%s.metainfo.xml" % ID, "./usr/share/man/man6/palomir.6.gz",
                    "./usr/share/doc/palomir/copyright", "./usr/share/doc/palomir/changelog.gz"] + \
                   ["./usr/share/palomir/sounds/" + s for s in SOUNDS]
            missing = [w for w in want if w not in listing]
            check(not missing, "the package holds the program, its sounds, desktop entry, metainfo and "
                               "manual page (missing: %s)" % missing)
            depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
            print("Depends: " + depends.strip())
            check(all(d in depends for d in ["libc6", "libsdl2", "libespeak-ng1", "libsoxr", "espeak-ng-data"]),
                  "and depends on what it needs, as dpkg-shlibdeps found it (%s)" % depends.strip())
            # lintian leaves a cache file of its own in TMPDIR: this test's folder takes it.
            r = subprocess.run(["lintian", "--fail-on", "error,warning", deb], capture_output=True, text=True,
                               env=dict(os.environ, TMPDIR=out))
            check(r.returncode == 0, "lintian finds no error or warning (%s)" % r.stdout.strip()[-600:])
            subprocess.run(["dpkg-deb", "-x", deb, os.path.join(out, "root")], check=True)
            r = subprocess.run([os.path.join(out, "root/usr/games/palomir"), "--version"],
                               capture_output=True, text=True)
            check(r.returncode == 0 and r.stdout.startswith("palomir "),
                  "the program inside starts (%s)" % (r.stdout + r.stderr).strip())
    return finish()


if __name__ == "__main__":
    sys.exit(main())
