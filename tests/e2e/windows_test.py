"""The Windows game under Wine: its window in an X server of the test's own (xvfb-run), its
sound through WASAPI into a PipeWire server started here with a null sink, its input from
xdotool through DirectInput 8.
  windows_test.py PALOMIR_EXE XCLOSE SCENARIO JAWS_STANDIN PALOMIR
The game is played in German with --speech=system, --record and --trace, all Windows paths
on the prefix's C: drive: Wine has no UI Automation notifications and its SAPI voice cannot
speak, so the game says once that the screen reader cannot be reached, and its lines are
seen in the trace. Checked: the puck is heard at the sink; Up is answered by the spoken
level, the middle button by the score, a mouse movement reaches the game; an Up while the
help speaks does not change the level, one after Escape does; the sound server restarted
mid-game is written once as lost and once as back, in German (Wine's voice cannot speak
them: they reach the voice as on Linux, through the same core), and the game is heard
again; another sink made the default, the game is heard there; the close box ends it with
status 0 and a whole recording, which the Linux scenario runner replays to the very calls
the Windows game traced. JAWS's stand-in (tests/e2e/jaws_standin.cpp) is installed in the
prefix throughout: not running, it is passed over; once its window is there, a game in
English says its lines through its automation object, and Escape in the help stops it.
Then the Windows game joins a match hosted by the Linux game PALOMIR (match_with_linux).
Then, on a German keyboard in a desktop of its own (german_keyboard), the help names the
keys as that keyboard labels them."""
import array
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import match_test as match
import wayland_test as wayland
from harness import check, finish, ordinary_user, stop_group, stopped
from server_test import NULL_SINK, SoundServer, rms, wav_data

RATE = 48000


# A second sink, below the first in the server's choice of default until the test makes it so.
OTHER_SINK = """context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink node.name = othersink media.class = Audio/Sink
               audio.position = [ FL FR ] audio.rate = 48000 priority.session = 500 } }
]
"""


def recorder(server, out, sink="nullsink"):
    return subprocess.Popen(["parecord", "--device=%s.monitor" % sink, "--format=float32le", "--rate=48000",
                             "--channels=2", "--latency-msec=10", "--file-format=wav", out],
                            env=server.env, stderr=subprocess.DEVNULL, start_new_session=True)


def samples(path):
    s = array.array("f")
    data = wav_data(path)
    s.frombytes(data[: len(data) // 8 * 8])
    return s


def loudest_second(s):
    return max((rms(s, t, t + 1.0) for t in range(int(len(s) / 2 / RATE))), default=0.0)


def wine_env(env, prefix):
    """Wine's menu builder off (no entries in the desktop's menus), and Wine's server keeps
    its socket in the test's own runtime folder (harness)."""
    return dict(env, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", LC_ALL="C.UTF-8")


def wine_prefix(env, exe, *programs):
    """A prefix of the test's own with the game in C:\\palomir, its sounds and catalogs beside
    it, and `programs` with it; its C: drive."""
    prefix = env["WINEPREFIX"]
    os.makedirs(prefix)
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    subprocess.run(["wine", "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    drive = os.path.join(prefix, "drive_c")
    os.makedirs(os.path.join(drive, "palomir"))
    shutil.copy(exe, os.path.join(drive, "palomir", "palomir.exe"))
    for program in programs:
        shutil.copy(program, os.path.join(drive, "palomir"))
    for dll in glob.glob(os.path.join(os.path.dirname(os.path.abspath(exe)), "*.dll")):
        shutil.copy(dll, os.path.join(drive, "palomir"))  # libsoxr's, which the game loads
    for folder in ("sounds", "locale"):
        shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(exe)), folder),
                        os.path.join(drive, "palomir", folder))
    return drive


def named_window(name, proc, seconds=30):
    """The first window captioned `name` while `proc` runs, `seconds` at most; or ""."""
    window, end = "", time.monotonic() + seconds
    while not window and time.monotonic() < end and proc.poll() is None:
        found = subprocess.run(["xdotool", "search", "--name", "^%s$" % name], capture_output=True, text=True)
        window = (found.stdout.split() or [""])[0]
        time.sleep(0.2)
    return window


def drop_prefix(env, server, work):
    """Every Wine process of the prefix ended, its server's folder removed, then the sound
    server stopped and the test's folder removed."""
    prefix = env["WINEPREFIX"]
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
    forget_server(prefix, os.getuid())
    server.stop()
    shutil.rmtree(work, ignore_errors=True)


def start_game(env, options, what):
    """The game with --speech=system and `options`, its window in front once the welcome has
    been said and the puck comes down the table: the process and its window ("" if none)."""
    game = subprocess.Popen(["wine", r"C:\palomir\palomir.exe", "--speech=system", *options],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    window = named_window("Palomir", game)
    check(window != "", what)
    if window:
        subprocess.run(["xdotool", "windowactivate", "--sync", window], capture_output=True, timeout=10)
        time.sleep(4)
    return game, window


# The CLSID the stand-in is registered under: one of its own, as JAWS's object is found by
# its ProgID.
JAWS_REG = r"""REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Classes\FreedomSci.JawsApi\CLSID]
@="{6B0F7E52-93C4-4D1A-B8E5-2F3A9C1D7E40}"

[HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{6B0F7E52-93C4-4D1A-B8E5-2F3A9C1D7E40}\InprocServer32]
@="C:\\jaws\\jaws_standin.dll"
"ThreadingModel"="Apartment"
"""


def install_jaws(env, drive, standin):
    """JAWS's stand-in in C:\\jaws, registered for the whole machine as JAWS is (Wine 8 reads no
    user's classes), not running."""
    os.makedirs(os.path.join(drive, "jaws"))
    shutil.copy(standin, os.path.join(drive, "jaws", "jaws_standin.dll"))
    open(os.path.join(drive, "jaws", "standin.reg"), "w").write(JAWS_REG.replace("\n", "\r\n"))
    subprocess.run(["wine", "reg", "import", r"C:\jaws\standin.reg"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def logged(path):
    """The lines a stand-in or a game has written to its log so far."""
    return open(path, encoding="utf-8").read().splitlines() if os.path.exists(path) else []


def jaws_log(drive):
    return logged(os.path.join(drive, "jaws", "jaws.log"))


def play_with_jaws(env, drive, xclose):
    """JAWS running (the stand-in's window): the welcome, the level after Up and the score
    after the middle button are said through its object, and Escape in the help stops it."""
    jaws = subprocess.Popen(["wine", "rundll32", r"C:\jaws\jaws_standin.dll,Run"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    game = None
    try:
        end = time.monotonic() + 30
        while "running" not in jaws_log(drive) and time.monotonic() < end:
            time.sleep(0.2)
        game, window = start_game(env, [r"--trace=C:\jaws.trace"], "the game's window opens with JAWS running")
        if not window:
            return
        for key, wait in (("Up", 1), ("click", 1), ("F1", 1), ("Escape", 0.5)):
            subprocess.run(["xdotool", "click", "2"] if key == "click" else ["xdotool", "key", key])
            time.sleep(wait)
        escaped = jaws_log(drive)  # before the close box, which stops JAWS too
        subprocess.run([xclose, window], timeout=10)
        _, err = game.communicate(timeout=20)
        told = [l for l in err.splitlines() if l.startswith("palomir:")]
        trace = open(os.path.join(drive, "jaws.trace"), encoding="utf-8").read().splitlines()
        said = [l.split(" ", 2)[2][1:-1] for l in trace if l.startswith("say ")]
        log = jaws_log(drive)
        level = said.index("11") if "11" in said else len(said) - 1
        help_line = next((i for i, l in enumerate(escaped) if l.startswith("say 0 Help.")), len(escaped))
        check(not told and log[:1] == ["running"] and said and len(said) > level + 1 and
              all("say 0 " + said[i] in log for i in (0, level, level + 1)),
              "with JAWS running, the welcome, the level and the score go to its object, nothing "
              "is told (%r): %r" % (told, log[:8]))
        check("stop" in escaped[help_line:], "Escape in the help is JAWS's StopSpeech: %r" % escaped[help_line:])
    finally:
        for proc in (game, jaws):
            if proc and proc.poll() is None:
                proc.kill()
                proc.wait()


def match_with_linux(env, drive, palomir, xclose, scenario, work):
    """A match between the Linux game, hosting in an X server of its own, and the Windows game
    joining it, each in a network namespace of the test's own, through match_test.py's wire
    (its delay and losses). The host hits the first puck with the grid, the joiner lets it
    in; the joiner serves, the host lets it in; both windows are closed. Both games end with
    status 0, and both recordings replay on the Linux scenario runner to the same events, with
    a hit by each end and a goal each way."""
    if os.geteuid() != 0:
        print("(not root: no network namespaces, so no match with the Linux game)")
        return
    displays, host, joiner, relay = [], None, None, None
    try:
        relay, call = match.start_wire(match.make_network())
        # Wine's server makes the Windows game's sockets: it is started again in the joiner's
        # namespace.
        for server in (["wineserver", "-k"], ["wineserver", "-w"],
                       ["ip", "netns", "exec", match.JOIN_NS, "wineserver", "-p"]):
            subprocess.run(server, env=env, stderr=subprocess.DEVNULL, timeout=60)
        displays = [match.Display(), match.Display(os.environ["DISPLAY"])]
        host_d, join_d = displays
        host = match.Game(work, "host", palomir, xclose, match.HOST_NS, host_d, "--host=%d" % match.PORT)
        check(host.window != "" and host.said("Waiting for a friend", 10) is not None,
              "the Linux game hosts a match: %s" % [l for _, l in host.lines])
        said = os.path.join(work, "joiner.log")
        with open(said, "w") as out:
            joiner = subprocess.Popen(["ip", "netns", "exec", match.JOIN_NS, "wine", r"C:\palomir\palomir.exe",
                                       "--speech=system", "--join=" + call, r"--record=C:\match.rec"],
                                      env=env, stdout=out, stderr=subprocess.STDOUT)
        t0 = host.said("Your friend joined", 30)
        window = named_window("Palomir", joiner)
        joined = t0 is not None and window != ""
        check(joined, "the Windows game calls %s, and the host says it joined%s"
              % (call, "" if joined else ": %s %s" % ([l for _, l in host.lines], logged(said))))
        if not joined:
            return
        subprocess.run(["xdotool", "windowactivate", "--sync", window], capture_output=True, timeout=10)
        match.at(t0, 2.05)
        match.grid_hit(host_d)
        match.serve(join_d, t0, 5.0)
        match.at(t0, 9.0)
        host.close()
        subprocess.run([xclose, window], timeout=10)
        codes = [host.end(), stopped(joiner, timeout=20, sig=None)]
        check(codes == [0, 0], "closing both windows ends both games with status 0: %s%s"
              % (codes, "" if codes == [0, 0] else " %s" % logged(said)))
        match.agree(scenario, host.record, os.path.join(drive, "match.rec"))
    finally:
        if host and host.proc.poll() is None:
            host.end(signal.SIGTERM)
        if joiner:
            stopped(joiner, timeout=0, sig=signal.SIGKILL)
        for d in displays:
            d.stop()
        for server in (["wineserver", "-k"], ["wineserver", "-w"]):
            subprocess.run(server, env=env, stderr=subprocess.DEVNULL, timeout=60)
        match.stop_wire(relay)
        match.drop_network()


def main():
    exe, xclose, scenario, standin, palomir = sys.argv[1:6]
    work = tempfile.mkdtemp(prefix="palomir-windows-")
    config = os.path.join(work, "config")
    os.makedirs(os.path.join(config, "pipewire", "pipewire.conf.d"))
    open(os.path.join(config, "pipewire", "pipewire.conf.d", "null-sink.conf"), "w").write(
        NULL_SINK.replace("audio.rate = 48000", "audio.rate = 48000 priority.session = 2000"))
    open(os.path.join(config, "pipewire", "pipewire.conf.d", "other-sink.conf"), "w").write(OTHER_SINK)
    server = SoundServer(config)
    env = wine_env(server.env, os.path.join(work, "wine"))
    game = None
    try:
        drive = wine_prefix(env, exe)
        install_jaws(env, drive, standin)
        # A start that fails, its error output read by no one (as from the Start menu): the
        # reason is shown in a box titled Palomir, which Return closes; status 1.
        failed = subprocess.Popen(["wine", r"C:\palomir\palomir.exe", r"--sounds=C:\nowhere"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        box = named_window("Palomir", failed)
        if box:
            subprocess.run(["xdotool", "windowactivate", "--sync", box], capture_output=True, timeout=10)
            subprocess.run(["xdotool", "key", "--window", box, "Return"], capture_output=True, timeout=10)
        try:
            code = failed.wait(timeout=20)
        except subprocess.TimeoutExpired:
            failed.kill()
            code = failed.wait()
        check(box != "" and code == 1,
              "a failed start says why in a box titled Palomir, closed by Return, status 1 (status %s)" % code)
        before, after = os.path.join(work, "before.wav"), os.path.join(work, "after.wav")
        rec = recorder(server, before)
        time.sleep(0.5)
        game, window = start_game(env, ["--language=de", r"--record=C:\game.rec", r"--trace=C:\game.trace"],
                                  "the game's window opens")
        if not window:
            return
        subprocess.run(["xdotool", "key", "Up"])
        time.sleep(1)
        subprocess.run(["xdotool", "click", "2"])
        time.sleep(1)
        for _ in range(10):
            subprocess.run(["xdotool", "mousemove_relative", "--", "6", "0"])
            time.sleep(0.05)
        time.sleep(0.5)
        # The help holds the game: an Up while it speaks leaves the level alone; after Escape
        # an Up changes it again.
        subprocess.run(["xdotool", "key", "F1"])
        time.sleep(0.4)
        subprocess.run(["xdotool", "key", "Up"])
        time.sleep(0.6)
        subprocess.run(["xdotool", "key", "Escape"])
        time.sleep(0.5)
        subprocess.run(["xdotool", "key", "Up"])
        time.sleep(1)
        stopped(rec, sig=signal.SIGINT)
        # The sound server goes away and comes back while the game plays on.
        stop_group(server.proc)
        time.sleep(2)
        server.start()
        back = time.monotonic()
        rec = recorder(server, after)
        started = time.monotonic()
        time.sleep(4)
        stopped(rec, sig=signal.SIGINT)
        # The player chooses another default output.
        other = os.path.join(work, "other.wav")
        rec = recorder(server, other, "othersink")
        server.pactl("set-default-sink", "othersink")
        time.sleep(3)
        subprocess.run([xclose, window], timeout=10)
        try:
            code = game.wait(20)
        except subprocess.TimeoutExpired:
            code = "none (still running 20 s after the close box)"
        stopped(rec, sig=signal.SIGINT)

        err = [l for l in game.stderr.read().splitlines() if l.startswith("palomir:")]
        check(code == 0, "the close box ends the game with status 0 (status %s)" % code)
        # German from the line down to the system's reason inside it.
        check(sum("Screenreader war nicht erreichbar (dieses Windows hat keine" in l
                  for l in err) == 1,
              "the screen reader that cannot be reached is said once, in German: %r" % err)
        check(jaws_log(drive) == [], "JAWS installed but not running is passed over: %r" % jaws_log(drive))
        lost = [l for l in err if "Tonausgabe ist verloren" in l]
        found_back = [l for l in err if "Tonausgabe ist wieder da" in l]
        check(len(lost) == 1 and len(found_back) == 1,
              "the sound server's restart is written once as lost and once as back, in German: %r" % err)
        first = samples(before)
        check(loudest_second(first) > 0.02, "the puck is heard at the sink (loudest second %.3f)"
              % loudest_second(first))
        second = samples(after)
        onset = next((i // 2 for i, x in enumerate(second) if abs(x) > 1e-4), None)
        heard = started + onset / RATE - back if onset is not None else None
        check(heard is not None and heard <= 3.0, "heard again %s s after the server's return"
              % ("never" if heard is None else "%.2f" % heard))
        moved = [l for l in err if "Standardgerät" in l]
        check(loudest_second(samples(other)) > 0.02,
              "heard on the new default sink (loudest second %.3f; the game said %r)"
              % (loudest_second(samples(other)), moved))

        record = open(os.path.join(drive, "game.rec"), newline="").read()
        trace = open(os.path.join(drive, "game.trace"), newline="").read()
        check("\r" not in record and "\r" not in trace, "the recording and the trace have Linux's line ends")
        lines = record.splitlines()
        check("input key down 200" in lines and "input mouse button 2 down" in lines and
              any(l.startswith("input mouse move 6 ") or l.startswith("input mouse move 12 ") for l in lines),
              "Up, the middle button and the mouse reach the game through DirectInput")
        check(not any(l.startswith("input pad") for l in lines) and "call pad " not in trace,
              "with no gamepad the game finds none, says nothing of one and plays on")
        check(lines[-1:] == ["capture ok"] and "close" in lines[-3:],
              "the recording is whole, down to the close box: %r" % lines[-3:])
        said = [l for l in trace.splitlines() if l.startswith("say ")]
        level = next((i for i, l in enumerate(said) if l == 'say 1 "11"'), None)
        check(level is not None and len(said) > level + 1,
              "Up is answered by the level (11), the middle button by the score: %r" % said[:6])
        levels = [l for l in said if re.fullmatch(r'say \d+ "1[1-9]"', l)]
        helped = any("Hilfe" in l for l in said)
        check(helped and levels == ['say 1 "11"', 'say 1 "12"'],
              "the help speaks, and only the Up after Escape changes the level: %r" % levels)

        replay = subprocess.run([scenario, os.path.join(drive, "game.rec")], capture_output=True, text=True,
                                timeout=120)
        replayed = "".join(l + "\n" for l in replay.stdout.splitlines() if not l.startswith("> "))
        traced = "".join(l + "\n" for l in trace.splitlines() if not l.startswith("#"))  # its header
        check(replay.returncode == 0 and replayed == traced,
              "the recording replays on Linux to the very calls the Windows game traced (status %d, %d "
              "lines against %d)" % (replay.returncode, replayed.count("\n"), trace.count("\n")))
        play_with_jaws(env, drive, xclose)
        match_with_linux(env, drive, palomir, xclose, scenario, work)
    finally:
        if game and game.poll() is None:
            game.kill()
        drop_prefix(env, server, work)


def forget_server(prefix, uid):
    """Where a system has /run/user/UID, Wine keeps its server's folder there, named after the
    prefix's device and inode; where it has not, in a folder /tmp/wine-XXXXXX of its own
    making: this prefix's alone goes, once its server has ended."""
    if not os.path.isdir(prefix):
        return
    st = os.stat(prefix)
    name = "server-%x-%x" % (st.st_dev, st.st_ino)
    made = [os.path.dirname(p) for p in glob.glob("/tmp/wine-??????/" + name) if os.stat(p).st_uid == uid]
    for root in ("/run/user/%d/wine" % uid, "/tmp/.wine-%d" % uid, *made):
        shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        try:
            os.rmdir(root)
        except OSError:
            pass


def german_keyboard(exe, wl_input):
    """The game on a German keyboard. Wine's X11 driver takes its layout from the X server's
    keymap, and Xvfb's stays American whatever keymap it is sent; sway's XWayland has the
    German one of a virtual keyboard (wayland_test.py's desktop). The help names the grid's
    bottom row from the key labelled Y. sway will not run as root: as root, the desktop, Wine
    and the game are an ordinary user's of their own; the game's sound goes to ALSA's null
    device, its lines to the trace (--speech=system, as above)."""
    if not shutil.which("sway") or not os.path.exists(wl_input):
        print("(no sway or no wl_input: the game is not tried on a German keyboard)")
        return
    user, made_user = ordinary_user(wayland.USER) if os.geteuid() == 0 else (None, False)
    folder = tempfile.mkdtemp(prefix="palomir-windows-de-")
    os.chmod(folder, 0o755)
    desktop = hands = game = env = None
    try:
        shutil.copy(wl_input, folder)
        if user and not os.path.isdir("/tmp/.X11-unix"):
            os.mkdir("/tmp/.X11-unix")
            os.chmod("/tmp/.X11-unix", 0o1777)
        open(os.path.join(folder, ".asoundrc"), "w").write("pcm.!default {\n  type null\n}\n")
        desktop = wayland.Desktop(folder, user)
        hands = desktop.start([os.path.join(folder, "wl_input"), "de"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
        display = hands.stdout.readline().strip() == "ready" and desktop.x_display()
        check(bool(display), "sway's XWayland has a German keyboard, at DISPLAY %s" % display)
        if not display:
            return
        env = {"DISPLAY": display, "WINEPREFIX": os.path.join(desktop.run, "wine"), "WINEDEBUG": "-all",
               "LC_ALL": "C.UTF-8",
               "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"}
        # The prefix made, and everything its making started ended (Windows' audio service
        # registered among the rest).
        for made in (["wine", "wineboot", "-i"], ["wineserver", "-w"]):
            desktop.start(made, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait(timeout=120)
        shutil.copy(exe, os.path.join(folder, "palomir.exe"))
        for dll in glob.glob(os.path.join(os.path.dirname(os.path.abspath(exe)), "*.dll")):
            shutil.copy(dll, folder)  # libsoxr's, which the game loads
        for name in ("sounds", "locale"):
            shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(exe)), name), os.path.join(folder, name))
        subprocess.run(["chmod", "-R", "a+rX", folder], check=True)
        trace = os.path.join(env["WINEPREFIX"], "drive_c", "game.trace")
        game = desktop.start(["wine", r"Z:" + folder.replace("/", "\\") + r"\palomir.exe", "--speech=system",
                              r"--trace=C:\game.trace"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        said = lambda: re.findall(r'^say \d "([^"]*)"', wayland.read(trace), re.M)
        welcome = wayland.wait_for(lambda: wayland.WELCOME in said(), 60)
        focused = wayland.wait_for(lambda: [w for w in desktop.windows() if w.get("name") == "Palomir" and w.get("focused")])
        hands.stdin.write("key %d\n" % wayland.KEY_F1)
        hands.stdin.flush()
        grid = hands.stdout.readline().strip() == "ok" and wayland.wait_for(
            lambda: [l for l in said() if l.startswith("The grid of keys")], 20)
        check(bool(welcome and focused and grid) and "A to L and Y to full stop" in grid[0],
              "on a German keyboard (Wine in sway's XWayland) the help names the keys as it labels them %s" % grid)
    finally:
        if game:
            desktop.msg('[title="Palomir"] kill')
            stopped(game, timeout=10, sig=None)
        if hands:
            hands.stdin.close()
            stopped(hands, sig=None)
        if env:
            desktop.start(["wineserver", "-k"], env=env).wait(timeout=30)
            forget_server(env["WINEPREFIX"], user.pw_uid if user else os.getuid())
        if desktop:
            desktop.stop()
        shutil.rmtree(folder, ignore_errors=True)
        if made_user:
            subprocess.run(["userdel", wayland.USER], check=False)


if __name__ == "__main__":
    main()
    german_keyboard(sys.argv[1], os.path.join(os.path.dirname(sys.argv[2]), "wl_input"))
    sys.exit(finish())
