#!/usr/bin/env python3
"""The real program against broken installations and machines: each fault must end in a
clear message and a non-zero status within a few seconds, or in play going on.

Run inside xvfb-run: faults_test.py PALOMIR XCLOSE SCENARIO"""
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

from harness import check, find_window, finish, ordinary_user, readable_copy, stacks, stopped



def install(folder, palomir):
    """The program and its sounds, copied into a folder of its own."""
    shutil.copy(palomir, folder)
    shutil.copytree(os.path.join(os.path.dirname(palomir), "sounds"), os.path.join(folder, "sounds"))
    return os.path.join(folder, "palomir")


API_NAMES = ("DirectSound", "SetCooperativeLevel", "DXCallback", "step ", "Timer:", "ALSA lib")


def run(program, env=None, seconds=20, args=(), cwd=None):
    env = {k: v for k, v in {**os.environ, "SDL_AUDIODRIVER": "dummy", **(env or {})}.items() if v is not None}
    start = time.monotonic()
    try:
        p = subprocess.run([program, *args], env=env, capture_output=True, text=True, timeout=seconds, cwd=cwd)
        return p.returncode, p.stderr, time.monotonic() - start
    except subprocess.TimeoutExpired as e:
        return None, (e.stderr or b"").decode() if isinstance(e.stderr, bytes) else (e.stderr or ""), seconds


def cannot_start(name, change, expect, env=None, args=(), within=10):
    with tempfile.TemporaryDirectory() as folder:
        program = install(folder, sys.argv[1])
        change(os.path.join(folder, "sounds"))
        code, err, took = run(program, env, args=args, cwd=folder)
        lines = err.strip().splitlines()
        # What a player reads: a few lines in their words, whole paths, no library noise.
        jargon = [l for l in lines if any(w in l for w in API_NAMES) or not l.startswith("palomir: ")]
        expect = expect.replace("FOLDER", folder)
        check(code == 1 and expect in err and took < within and len(lines) <= 3 and not jargon,
              "%s: status %s after %.1f s, saying %r" % (name, code, took, lines))
        return took


def game(args, sig, cwd=None, wait=0.8, env=None, **streams):
    """Plays until `wait` seconds after the window shows, then sends `sig`: the status, how
    long the game took to end, and what it said."""
    env = dict(os.environ, SDL_AUDIODRIVER="dummy", **(env or {}))
    p = subprocess.Popen([sys.argv[1], *args], env=env, cwd=cwd, text=True,
                         **{"stderr": subprocess.PIPE, **streams})
    shown = find_window(p.pid) != ""
    time.sleep(wait)
    sent = time.monotonic()
    code = stopped(p, sig=sig)
    took = time.monotonic() - sent
    err = p.stderr.read().strip().splitlines() if p.stderr else []
    return (code if shown else "no window"), took, err


def replays(record):
    """Whether a recording replays to its own end: the game closed, not cut off."""
    r = subprocess.run([sys.argv[3], record], capture_output=True, text=True, timeout=120)
    return r.returncode == 0 and "end of recording" not in r.stdout


def settings_links(palomir, xclose):
    """A settings file that is a link, and a rate changed with F6 in play: where the link leads
    to the player's own settings, they are updated and the link stays; where it leads to
    anything else (the player's notes; for root, /etc/passwd, on a copy of /etc that only
    the game sees), nothing there changes, byte for byte, nor beside it. Run as root, the
    player is an ordinary user of the test's own."""
    as_root = os.geteuid() == 0
    user, made_user = ordinary_user("palomir-links") if as_root else (None, False)
    folder = tempfile.mkdtemp(prefix="palomir-links-")
    try:
        os.chmod(folder, 0o755)
        program = readable_copy(folder, palomir) if as_root else palomir
        xauthority = os.environ.get("XAUTHORITY")
        if as_root and xauthority:
            shutil.copy(xauthority, os.path.join(folder, "xauth"))
            os.chmod(os.path.join(folder, "xauth"), 0o644)
            xauthority = os.path.join(folder, "xauth")
        etc = os.path.join(folder, "etc")
        rows = [("a link to the player's notes", "notes", b"buy milk\n", False, user),
                ("a link to the player's own settings", "dotfiles", b"speech-rate = 200\n", True, user)]
        if as_root:
            subprocess.run(["cp", "-a", "/etc", etc], check=True)
            rows.append(("root's link to /etc/passwd", "/etc/passwd", None, False, None))
        for name, target, content, settings, player in rows:
            home = tempfile.mkdtemp(dir=folder)
            for sub in ("palomir", "run"):
                os.mkdir(os.path.join(home, sub), 0o700)
            if content is not None:
                target = os.path.join(home, target)
                open(target, "wb").write(content)
            os.symlink(target, os.path.join(home, "palomir", "settings"))
            if player:
                subprocess.run(["chown", "-R", "%d:%d" % (player.pw_uid, player.pw_gid), home], check=True)
            # Where the game sees the target, and the folder it is in, as they were.
            seen = etc + "/passwd" if target == "/etc/passwd" else target
            before, beside = open(seen, "rb").read(), sorted(os.listdir(os.path.dirname(seen)))
            env = dict(os.environ, SDL_AUDIODRIVER="dummy", HOME=home, XDG_CONFIG_HOME=home,
                       XDG_RUNTIME_DIR=os.path.join(home, "run"), XDG_CACHE_HOME=os.path.join(home, "run"))
            if xauthority:
                env["XAUTHORITY"] = xauthority
            command = [program]
            if target == "/etc/passwd":
                command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                           'mount --bind "$0" /etc && exec "$@"', etc, program]
            p = subprocess.Popen(command, env=env, stderr=subprocess.PIPE, text=True, cwd=home,
                                 user=player.pw_uid if player else None, group=player.pw_gid if player else None)
            try:
                window = find_window(p.pid)
                if window:
                    time.sleep(2.5)
                    subprocess.run(["xdotool", "key", "F6"], check=True)
                    time.sleep(1.0)
                    subprocess.run([xclose, window], check=True)
            finally:
                code = stopped(p, sig=None if window else signal.SIGTERM)
            err = p.stderr.read().strip().splitlines()
            after = open(seen, "rb").read()
            link = os.path.join(home, "palomir", "settings")
            kept = os.path.islink(link) and os.readlink(link) == target
            if settings:
                check(window and code == 0 and kept and b"\nspeech-rate = 225 " in after and not err,
                      "%s: the link kept, the rate written where it leads (%r), status %s %s"
                      % (name, after, code, err))
            else:
                check(window and code == 0 and kept and after == before
                      and sorted(os.listdir(os.path.dirname(seen))) == beside
                      and len(err) == 2 and all("does not hold the game's settings" in l for l in err),
                      "%s: the link and what it leads to unchanged, nothing beside it, said as read and "
                      "at F6, status %s %s" % (name, code, err))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if made_user:
            subprocess.run(["userdel", user.pw_name], check=False)


def main():
    def remove(f):
        return lambda d: os.unlink(os.path.join(d, f))

    def truncate(f, keep):
        def cut(d):
            path = os.path.join(d, f)
            data = open(path, "rb").read()
            open(path, "wb").write(data[:keep] if keep >= 0 else data[:len(data) + keep])
        return cut

    def rename(a, b):
        return lambda d: os.rename(os.path.join(d, a), os.path.join(d, b))

    def replace(f, make):
        return lambda d: (os.unlink(os.path.join(d, f)), make(os.path.join(d, f)))

    cannot_start("sounds folder missing", lambda d: shutil.rmtree(d), "/sounds/buzz.wav is missing")
    usual = cannot_start("one sound missing", remove("rebound.wav"), "/sounds/rebound.wav is missing")
    # What is not a plain file is not read: told as fast as a missing file is.
    for name, make, what in (("a folder", os.mkdir, "a folder"), ("a FIFO", os.mkfifo, "a pipe"),
                             ("endless zeros", lambda f: os.symlink("/dev/zero", f), "a device")):
        cannot_start("%s named like a sound" % name, replace("rebound.wav", make),
                     "rebound.wav is %s, not a sound file" % what, within=usual + 1)
    # A folder the player named, from where the game was started: that folder is pointed to.
    cannot_start("--sounds=mine with a sound missing",
                 lambda d: (shutil.copytree(d, os.path.join(d, "..", "mine")), os.unlink(os.path.join(d, "..", "mine", "goal.wav"))),
                 "put the game's sound files in FOLDER/mine, the folder named with --sounds", args=["--sounds=mine"])
    cannot_start("a sound cut short", truncate("puck.wav", -1001), "puck.wav")
    cannot_start("an empty sound", truncate("paddle.wav", 0), "paddle.wav")
    cannot_start("not a WAV file", lambda d: open(os.path.join(d, "goal.wav"), "w").write("not a sound"), "goal.wav")
    cannot_start("a name in the wrong case", rename("SideBounce.wav", "sidebounce.wav"), "SideBounce.wav")
    cannot_start("no audio device", lambda d: None, "no sound output could be opened", {"SDL_AUDIODRIVER": "no-such-driver"})
    cannot_start("no sound card at all", lambda d: None, "no sound output could be opened",
                 {"SDL_AUDIODRIVER": "alsa", "ALSA_CONFIG_PATH": "/nonexistent"})
    # No driver named: the game's own PipeWire finds no server, and SDL's drivers are tried;
    # the player reads where each server was looked for and what was there. Through sudo
    # (no XDG_RUNTIME_DIR) the missing folder is named (libpulse's fallback folder, made
    # under TMPDIR, goes with the test's).
    with tempfile.TemporaryDirectory() as runtime:
        cannot_start("no sound server and no card", lambda d: None,
                     "no sound server answered: PipeWire at %s/pipewire-0: nothing there; " % runtime,
                     {"SDL_AUDIODRIVER": "", "XDG_RUNTIME_DIR": runtime, "PIPEWIRE_RUNTIME_DIR": runtime,
                      "PULSE_SERVER": "unix:" + os.path.join(runtime, "none"), "ALSA_CONFIG_PATH": "/nonexistent"})
        cannot_start("no sound server through sudo", lambda d: None,
                     "XDG_RUNTIME_DIR, the folder where your desktop's sound server listens, is not set",
                     {"SDL_AUDIODRIVER": None, "XDG_RUNTIME_DIR": None, "PIPEWIRE_RUNTIME_DIR": None,
                      "PULSE_SERVER": None, "PULSE_RUNTIME_PATH": None, "TMPDIR": runtime,
                      "ALSA_CONFIG_PATH": "/nonexistent"})

    # The command line, with no window system at all.
    bare = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    for args, want, stream, text in ((["--help"], 0, "stdout", "--speech"), (["--version"], 0, "stdout", "palomir "),
                                     (["--bogus"], 2, "stderr", "palomir: unknown option '--bogus'\nTry 'palomir --help' for more information.\n"), (["--speech"], 2, "stderr", "needs a value"),
                                     (["--speech=loud"], 2, "stderr", "embedded or system"),
                                     (["--help=yes"], 2, "stderr", "option '--help' takes no value"),
                                     ([], 1, "stderr", "no window system (DISPLAY is not set)"),
                                     (["WAYLAND_DISPLAY=wayland-0"], 1, "stderr", "(XDG_RUNTIME_DIR is not set)")):
        env = dict(bare, XDG_RUNTIME_DIR="")
        if args and "=" in args[0] and not args[0].startswith("-"):
            env.update([args.pop(0).split("=")])
        p = subprocess.run([sys.argv[1], *args], env=env, capture_output=True, text=True, timeout=20)
        out = p.stdout if stream == "stdout" else p.stderr
        # A text of whole lines is all that is said.
        check(p.returncode == want and text in out and (want != 1 or len(out.splitlines()) == 1)
              and (not text.endswith("\n") or out == text),
              "palomir %s with no display: status %s, %s says %r" % (" ".join(args), p.returncode, stream, out[:80]))

    # Files that are not this game's, a device, or one file named twice, are left as they
    # are: status 2.
    with tempfile.TemporaryDirectory() as folder:
        sound, notes = os.path.join(folder, "puck.wav"), os.path.join(folder, "notes.txt")
        shutil.copy(os.path.join(os.path.dirname(sys.argv[1]), "sounds", "puck.wav"), sound)
        open(notes, "w").write("call the plumber about the sink\nsay thanks\n")
        disk = os.path.join(folder, "disk")
        block = next((os.path.join("/dev", d) for d in sorted(os.listdir("/dev"))
                      if stat.S_ISBLK(os.stat(os.path.join("/dev", d)).st_mode)), "/dev/full")
        os.symlink(block, disk)
        made = sorted(os.listdir(folder))
        before = {f: open(os.path.join(folder, f), "rb").read() for f in ("puck.wav", "notes.txt")}
        for args, says in (([f"--record={sound}"], "puck.wav is not a recording of this game"),
                           ([f"--trace={sound}"], "puck.wav is not a trace of this game"),
                           ([f"--trace={notes}"], "notes.txt is not a trace of this game"),
                           ([f"--record={disk}"], "--record: %s is a device, not a file" % disk),
                           (["--trace=/dev/full"], "--trace: /dev/full is a device, not a file"),
                           ([f"--record={folder}/new.rec", f"--trace={folder}/../{os.path.basename(folder)}/new.rec"],
                            "--record and --trace both name")):
            p = subprocess.run([sys.argv[1], *args], env=bare, capture_output=True, text=True, timeout=20)
            now = {f: open(os.path.join(folder, f), "rb").read() for f in before}
            check(p.returncode == 2 and says in p.stderr and len(p.stderr.splitlines()) == 1
                  and now == before and sorted(os.listdir(folder)) == made and os.readlink(disk) == block,
                  "%s: status %s, %r, nothing changed" % (" ".join(args), p.returncode, p.stderr.strip()))

    # Every signal that asks a program to end ends the game as the close box does, also
    # during the welcome: status 0, the recording whole. A relative --sounds is taken from
    # where the game was started; an earlier recording is kept; closed standard streams do
    # not end up in the recording.
    with tempfile.TemporaryDirectory() as folder:
        shutil.copytree(os.path.join(os.path.dirname(sys.argv[1]), "sounds"), os.path.join(folder, "mine"))
        rec = os.path.join(folder, "game.rec")
        code, took, err = game(["--record=game.rec", "--sounds=mine"], signal.SIGHUP, cwd=folder)
        first = open(rec).read()
        check(code == 0 and took < 2 and not err and replays(rec) and ("sounds %s/mine\n" % folder) in first,
              "SIGHUP in the welcome: status %s after %.2f s, %r; the recording replays and names %s/mine"
              % (code, took, err, folder))
        code, took, err = game(["--record=game.rec"], signal.SIGQUIT, cwd=folder)
        check(code == 0 and took < 2 and err == ["palomir: the earlier recording game.rec was kept as game.rec.1"]
              and open(rec + ".1").read() == first and replays(rec),
              "SIGQUIT: status %s after %.2f s, %r; the earlier recording kept whole" % (code, took, err))
        # That recording cut off before its end (a game killed, a full disk): replayed up to
        # there, and said so.
        lines = first.splitlines(keepends=True)
        cut = os.path.join(folder, "cut.rec")
        open(cut, "w").write("".join(lines[:-3]))
        r = subprocess.run([sys.argv[3], cut], capture_output=True, text=True, timeout=120)
        check(r.returncode == 1 and "end of recording" in r.stdout
              and ("the recording ends at line %d while the game was still playing: it was cut off" % (len(lines) - 3))
              in r.stderr,
              "a recording cut off replays to where it ends and says so: status %s, %r"
              % (r.returncode, r.stderr.strip()[-300:]))
        code, took, err = game(["--record=closed.rec"], signal.SIGINT, cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, pass_fds=(), preexec_fn=lambda: [os.close(f) for f in (0, 1, 2)])
        check(code == 0 and took < 2 and replays(os.path.join(folder, "closed.rec")),
              "SIGINT with the standard streams closed: status %s after %.2f s, the recording replays" % (code, took))

        # A FIFO whose reader never reads and a pipe whose reader has gone: the game plays
        # on, says so once each, and a termination signal still ends it at once.
        fifo = os.path.join(folder, "stalled")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        p = subprocess.Popen([sys.argv[1], "--record=" + fifo, "--trace=/dev/stdout"],
                             env=dict(os.environ, SDL_AUDIODRIVER="dummy"), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        shown = find_window(p.pid) != ""
        p.stdout.readline()
        p.stdout.close()  # the reader goes away, as `| head -1` does
        time.sleep(4)
        alive = p.poll() is None
        sent = time.monotonic()
        code = stopped(p)
        took = time.monotonic() - sent
        os.close(reader)
        err = p.stderr.read().decode().strip().splitlines()
        check(shown and alive and code == 0 and took < 2 and len(err) <= 2
              and any("/dev/stdout could not be written (Broken pipe); it stops here" in l for l in err),
              "a stalled FIFO and a closed pipe: played on (%s), status %s after %.2f s, %r" % (alive, code, took, err))

    # A recording that cannot be written, a trace on a full disk (files may grow no more):
    # one warning each, and the game is played all the same.
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")

    def full_disk():
        resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "game.trace")
        p = subprocess.Popen([sys.argv[1], "--record=/nonexistent/folder/game.rec", "--trace=" + trace], env=env,
                             stderr=subprocess.PIPE, text=True, preexec_fn=full_disk, restore_signals=False)
        try:
            time.sleep(3)
            alive = p.poll() is None
        finally:
            code = stopped(p)
        err = p.stderr.read().strip().splitlines()
    check(alive and code == 0 and len(err) == 2 and "/nonexistent/folder/game.rec could not be written" in err[0]
          and "game.trace could not be written (File too large)" in err[1],
          "files that cannot be written: one warning each, the game plays on (%s, %r)" % (code, err))

    # What is not a settings file of a few hundred bytes (a FIFO, endless zeros, a gigabyte):
    # one line, the game plays, and a termination signal ends it.
    for name, make in (("a FIFO", os.mkfifo), ("endless zeros", lambda f: os.symlink("/dev/zero", f)),
                       ("a gigabyte", lambda f: (open(f, "w").close(), os.truncate(f, 1 << 30)))):
        with tempfile.TemporaryDirectory() as config:
            os.mkdir(os.path.join(config, "palomir"))
            make(os.path.join(config, "palomir", "settings"))
            code, took, err = game([], signal.SIGTERM, env={"XDG_CONFIG_HOME": config})
            # (Where the settings file is a link, the line names both it and where it leads.)
            check(code == 0 and took < 2 and len(err) == 1 and "/palomir/settings" in err[0],
                  "%s as the settings file: played, status %s after %.2f s on SIGTERM, %r" % (name, code, took, err))

    settings_links(sys.argv[1], sys.argv[2])

    # A missing background sound is only a warning: the game plays, and closing ends it.
    with tempfile.TemporaryDirectory() as folder:
        program = install(folder, sys.argv[1])
        os.unlink(os.path.join(folder, "sounds", "background.wav"))
        env = dict(os.environ, SDL_AUDIODRIVER="dummy")
        p = subprocess.Popen([program], env=env, stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(3)
            alive = p.poll() is None
        finally:
            code = stopped(p)  # a termination signal ends it as closing the window does
        err = p.stderr.read()
        check(alive and code == 0 and "background.wav" in err,
              "background missing: played on, then ended with status %s (%r)" % (code, err.strip()))

    # Closed during the welcome.
    env = dict(os.environ, SDL_AUDIODRIVER="dummy")
    p = subprocess.Popen([sys.argv[1]], env=env, stderr=subprocess.PIPE, text=True)
    code = "still running"
    try:
        window = find_window(p.pid)
        check(window != "", "the window appears")
        if window:
            time.sleep(0.8)
            subprocess.run([sys.argv[2], window], check=True)
            try:
                code = p.wait(timeout=8)
            except subprocess.TimeoutExpired:
                print("NOTE the close box was not acted on within 8 s; the program's threads:")
                print(stacks(p.pid))
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    check(code == 0, "closed during the welcome by the close box: status %s" % code)

    return finish()


if __name__ == "__main__":
    sys.exit(main())
