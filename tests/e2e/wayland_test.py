#!/usr/bin/env python3
"""The game on a Wayland desktop with no window frames of its own: a headless sway, with the
game natively on Wayland and then through sway's XWayland. Each time the window must be
mapped and focused under the game's app id / class, take keys, relative mouse movement and
buttons from a virtual keyboard (German) and pointer (one of each for the whole test), name
the keys in its help as that keyboard labels them, and end with
status 0 when sway closes it; its recording must replay on the scenario runner (an American
layout) to its very trace. Natively, the game is also played to its end (about a minute), and
the play-again question answered by the key labelled Y, not by the one at the American Y's
place. sway will not run as root: as root the test runs sway and the
game as an ordinary user of its own, from a copy of the program that user can read.

Run: wayland_test.py PALOMIR WL_INPUT SCENARIO"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from harness import check, finish, ordinary_user, readable_copy, replayed, stop_group, stopped

USER = "palomir-e2e"
KEY_ESC, KEY_F1, KEY_UP, BTN_MIDDLE = 1, 59, 103, 0x112
# Keys by their place, as evdev names them after the American layout: a German keyboard has
# Z at KEY_Y and Y at KEY_Z.
KEY_6, KEY_Y, KEY_Z = 7, 21, 44
WELCOME = "Welcome to Palomir: a Vossk game"


def read(path):
    return open(path).read() if os.path.exists(path) else ""


def wait_for(what, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = what()
        if got:
            return got
        time.sleep(0.05)
    return None


class Desktop:
    """A headless sway in a folder of its own, and what runs in it."""

    def __init__(self, folder, user):
        self.folder, self.user = folder, user
        self.run = os.path.join(folder, "run")
        os.mkdir(self.run, 0o700)
        if user:
            os.chown(self.run, user.pw_uid, user.pw_gid)
        config = os.path.join(folder, "sway.conf")
        with open(config, "w") as f:
            f.write("xwayland enable\n")
        # The caches (Mesa's shaders for XWayland's drawing, fontconfig's) in the folder too:
        # with no XDG_CACHE_HOME Mesa writes into the home of the user's passwd entry, whatever
        # HOME says.
        cache = os.path.join(folder, "cache")
        os.mkdir(cache, 0o700)
        if user:
            os.chown(cache, user.pw_uid, user.pw_gid)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": folder,
                    "XDG_RUNTIME_DIR": self.run, "XDG_CACHE_HOME": cache, "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
                    "WLR_LIBINPUT_NO_DEVICES": "1"}
        # A sanitized build is told what to report, as in the other tests.
        self.env.update({k: v for k, v in os.environ.items() if k.endswith(("SAN_OPTIONS", "SAN_SYMBOLIZER_PATH"))})
        self.log = open(os.path.join(folder, "sway.log"), "w")
        self.sway = self.start(["sway", "-c", config], stdout=self.log, stderr=subprocess.STDOUT,
                               start_new_session=True)
        names = wait_for(lambda: self.sockets())
        if names:
            self.env["WAYLAND_DISPLAY"], self.env["SWAYSOCK"] = names

    def sockets(self):
        files = os.listdir(self.run)
        wayland = [f for f in files if re.fullmatch(r"wayland-\d+", f)]
        ipc = [os.path.join(self.run, f) for f in files if f.startswith("sway-ipc.")]
        return (wayland[0], ipc[0]) if wayland and ipc else None

    def start(self, args, env=None, **kw):
        if self.user:
            kw.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        full = dict(self.env, **(env or {}))
        return subprocess.Popen(args, env={k: v for k, v in full.items() if v is not None}, cwd=self.folder, **kw)

    def msg(self, *args):
        p = self.start(["swaymsg", *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        out = p.communicate(timeout=10)[0]
        return out

    def windows(self):
        """Every client window in sway's tree."""
        found = []

        def walk(node):
            if node.get("pid"):
                found.append(node)
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
        try:
            walk(json.loads(self.msg("-t", "get_tree")))
        except (ValueError, subprocess.TimeoutExpired):
            pass
        return found

    def x_display(self):
        """The DISPLAY of sway's XWayland, as sway gives it to the programs it starts."""
        path = os.path.join(self.run, "display")
        self.msg("exec", "echo $DISPLAY > $XDG_RUNTIME_DIR/display")
        return wait_for(lambda: os.path.exists(path) and open(path).read().strip())

    def ours(self):
        """Every process still running in this desktop (sway starts XWayland in a session of
        its own): those whose environment has this desktop's runtime folder."""
        mark = ("XDG_RUNTIME_DIR=" + self.run).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if mark in f.read().split(b"\0"):
                        found.append(int(pid))
            except OSError:
                pass
        return found

    def stop(self):
        started = self.ours()
        stop_group(self.sway)
        self.log.close()

        def alive():
            left = []
            for pid in started:
                try:
                    with open("/proc/%d/stat" % pid) as f:
                        if f.read().rsplit(")", 1)[1].split()[0] != "Z":
                            left.append(pid)
                except OSError:
                    pass
            return left
        # XWayland ends by itself once sway is gone; whatever is left after a while is ended.
        if wait_for(lambda: not alive(), timeout=5) is None:
            for pid in alive():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


def to_the_end(act, trace):
    """Plays until one side has 50 goals, at speed level 29, serving with 6 after every goal
    (and after 3 s of none): about a minute. The seconds it took (None: no end), and the
    goals."""
    for _ in range(18):
        act("key %d" % KEY_UP, 0)
    begun = time.monotonic()
    goals = last = 0
    with open(trace) as f:
        text = ""
        while time.monotonic() - begun < 200:
            text += f.read()
            lines = text.split("\n")
            text = lines.pop()  # a line not yet whole
            if any(l == 'say 0 "The score is"' for l in lines):
                return time.monotonic() - begun, goals
            scored = sum(l in ("call buzz.wav Play 0", "call goal.wav Play 0") for l in lines)
            goals += scored
            if scored or time.monotonic() - last > 3:
                time.sleep(0.15)
                act("key %d" % KEY_6, 0)
                last = time.monotonic()
            time.sleep(0.05)
    return None, goals


def answered_by_the_labels(act, said, record, trace):
    """The game's end on a German keyboard: its key labelled Z (where an American keyboard has
    Y) is no answer, its key labelled Y starts a new game; the recording has the layout, and
    the two keys as the rules read them."""
    seconds, goals = to_the_end(act, trace)
    check(seconds is not None, "wayland: served after every goal, the game reaches its end (%d goals in %s s)"
          % (goals, seconds and round(seconds)))
    if seconds is None:
        return
    end = said().index("The score is")
    # The score in four lines, who won, and the question.
    question = wait_for(lambda: said()[end + 5:end + 6], 30)
    ok, new = act("key %d" % KEY_Y, 3.0)
    check(ok and question and WELCOME not in new,
          "wayland: the key labelled Z is no answer to %s %s" % (question, new))
    ok, _ = act("key %d" % KEY_Z, 0)
    again = wait_for(lambda: WELCOME in said()[end:], 10)
    rec = read(record)
    downs = re.findall(r"^input key down (21|44)$", rec, re.M)
    check(ok and again and downs == ["44", "21"] and re.search(r"^keys .*\b21=z\b.*\b44=y\b", rec, re.M | re.I),
          "wayland: the key labelled Y starts a new game; the recording has the German layout, and "
          "the two keys as the rules read them, Z then Y (%s)" % downs)


def play(desktop, hands, game, name, env, scenario, end=False):
    """One game in the desktop, driven by `hands`, closed by sway."""
    record, trace = (os.path.join(desktop.run, name + x) for x in (".rec", ".trace"))
    p = desktop.start([game, "--record", record, "--trace", trace],
                      env=dict(env, SDL_AUDIODRIVER="dummy"), stderr=subprocess.PIPE, text=True,
                      start_new_session=True)
    try:
        mine = lambda: [w for w in desktop.windows() if w["pid"] == p.pid and w.get("name") == "Palomir"]
        window = wait_for(lambda: [w for w in mine() if w.get("visible") and w.get("focused")])
        props = window[0] if window else {}
        app = props.get("app_id") or (props.get("window_properties") or {}).get("class")
        shell = "xwayland" if "DISPLAY" in env else "xdg_shell"
        check(bool(window) and app == "palomir" and props.get("shell") == shell,
              "%s: the window is mapped and focused, as %s (%s)" % (name, app, props.get("shell")))
        check(bool(wait_for(lambda: "input focus gained" in read(record))), "%s: the game has the focus" % name)
        time.sleep(2.5)  # the welcome
        said = lambda: re.findall(r'^say \d "([^"]*)"', read(trace), re.M)

        def act(line, settle=0.6):
            before = len(said())
            hands.stdin.write(line + "\n")
            hands.stdin.flush()
            ok = hands.stdout.readline().strip() == "ok"
            time.sleep(settle)
            return ok, said()[before:]

        ok, new = act("key %d" % KEY_UP)
        check(ok and "11" in new, "%s: Up is answered by the new speed level %s" % (name, new))
        # The keyboard is German: the help names the grid's bottom row from the key labelled
        # Y, where an American keyboard has Z, and Escape stops it.
        before = len(said())
        ok, _ = act("key %d" % KEY_F1, 0.1)
        grid = wait_for(lambda: [s for s in said()[before:] if s.startswith("The grid of keys")], 20)
        check(ok and grid and "A to L and Y to full stop" in grid[0],
              "%s: the help names the keys as the German keyboard labels them %s" % (name, grid))
        ok, _ = act("key %d" % KEY_ESC)
        ok, new = act("button %d" % BTN_MIDDLE)
        check(ok and len(new) >= 2 and all(s.isdigit() for s in new),
              "%s: the middle button is answered by the score %s" % (name, new))
        mark = len(read(trace))
        ok, _ = act("move 200 0", 0.3)
        moved = sum(int(m) for m in re.findall(r"^input mouse move (-?\d+) -?\d+$", read(record), re.M))
        pans = [int(v) for v in re.findall(r"^call paddleslide\.wav SetPan (-?\d+)$", read(trace)[mark:], re.M)]
        check(ok and moved >= 200 and pans and max(pans) > 0,
              "%s: moving the mouse right slides the paddle right (moved %d, pans %s)" % (name, moved, pans[:4]))
        if end:
            answered_by_the_labels(act, said, record, trace)
        desktop.msg('[title="Palomir"] kill')
        code = stopped(p, timeout=10, sig=None)
    finally:
        if p.poll() is None:
            stop_group(p)
    err = p.stderr.read().strip()
    last = read(trace).strip().splitlines()[-1:]
    check(code == 0 and not err and last == ["call DxRoot Release 0"],
          "%s: closed by sway, the game releases everything and ends with status 0 (%s, %s) %s"
          % (name, code, last, err))
    # The German game replays on the scenario runner's American layout, its keys named as
    # the German keyboard labels them.
    replayed(scenario, record, trace, name)


def main():
    program, wl_input, scenario = sys.argv[1:4]
    user, made_user = None, False
    if os.geteuid() == 0:
        user, made_user = ordinary_user(USER)
    folder = tempfile.mkdtemp(prefix="palomir-wayland-")
    desktop = hands = None
    try:
        # A copy of the program, its sounds and the input client that the user can read.
        os.chmod(folder, 0o755)
        palomir = readable_copy(folder, program, wl_input)
        game = os.path.dirname(palomir)
        if user and not os.path.isdir("/tmp/.X11-unix"):
            # Where XWayland's socket goes, made as an X server run by root makes it.
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        desktop = Desktop(folder, user)
        check("WAYLAND_DISPLAY" in desktop.env, "sway runs headless")
        if "WAYLAND_DISPLAY" not in desktop.env:
            print(open(os.path.join(folder, "sway.log")).read()[-2000:])
            return finish()
        hands = desktop.start([os.path.join(game, os.path.basename(wl_input)), "de"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
        check(hands.stdout.readline().strip() == "ready", "a virtual keyboard and pointer are made")
        # Only WAYLAND_DISPLAY is set. Under the leak checker the native game is not checked
        # for leaks: SDL 2.26's Wayland driver and Mesa's EGL keep memory to the end that no
        # suppression can name (Mesa is unloaded by then); the same game through XWayland is.
        native = {}
        if "ASAN_OPTIONS" in os.environ:
            native["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"
        play(desktop, hands, palomir, "wayland", native, scenario, end=True)
        display = desktop.x_display()
        check(bool(display), "sway's XWayland is at DISPLAY %s" % display)
        if display:
            # Both displays set, as GNOME and KDE start programs: the game takes XWayland.
            play(desktop, hands, palomir, "xwayland", {"DISPLAY": display}, scenario)
    finally:
        if hands:
            hands.stdin.close()
            stopped(hands, sig=None)
        if desktop:
            desktop.stop()
        shutil.rmtree(folder, ignore_errors=True)
        if made_user:
            subprocess.run(["userdel", USER], check=False)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
