"""What the end-to-end tests share: finding the program's window in the X server, checks
printed one per line with a closing count, and a home of the test's own."""
import atexit
import ctypes
import math
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time

# The status by which a test that cannot run where it was started says so (ctest's
# SKIP_RETURN_CODE for every end-to-end test).
SKIPPED = 77


def skipped(why):
    """A test that cannot run here: says why, and is counted as skipped, not passed."""
    print("SKIPPED: " + why)
    return SKIPPED


def private_home():
    """A home, XDG folders and a runtime folder in a temporary folder of the test's own, for
    everything the test starts (the game, sound servers, recorders): what they keep (Mesa's
    shader cache, WirePlumber's state, libpulse's cookie and runtime folder) goes there and
    goes with it, not into the home of whoever runs the tests. Removed when the test ends."""
    folder = tempfile.mkdtemp(prefix="palomir-home-")
    atexit.register(shutil.rmtree, folder, True)
    for name, sub in (("HOME", ""), ("XDG_CONFIG_HOME", ".config"), ("XDG_CACHE_HOME", ".cache"),
                      ("XDG_STATE_HOME", ".local/state"), ("XDG_DATA_HOME", ".local/share"),
                      ("XDG_RUNTIME_DIR", "run")):
        path = os.path.join(folder, sub) if sub else folder
        os.makedirs(path, mode=0o700, exist_ok=True)
        os.environ[name] = path


private_home()


def find_window(pid, timeout=10.0, display=None):
    """The id of the window captioned Palomir that process `pid` shows (in the X server
    `display`, by default the test's own), or "".

    The window is looked up by process and its caption checked, since SDL may make other
    windows of its own first, and xdotool cannot match SDL's caption by name."""
    env = dict(os.environ, DISPLAY=display) if display else None
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ids = subprocess.run(["xdotool", "search", "--pid", str(pid)], capture_output=True, text=True,
                             env=env).stdout.split()
        for w in ids:
            name = subprocess.run(["xdotool", "getwindowname", w], capture_output=True, text=True,
                                  env=env).stdout.strip()
            if name == "Palomir":
                return w
        time.sleep(0.02)
    return ""


failures = []


def check(ok, what):
    """One thing a listener would notice, printed as it is checked."""
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def finish():
    """The closing line and the exit status."""
    if failures:
        print("%d failed" % len(failures))
        return 1
    print("1 passed, 0 failed")
    return 0


def stacks(pid):
    """Where a program that should have ended is stuck: every thread's stack, when gdb is there."""
    try:
        out = subprocess.run(["gdb", "-p", str(pid), "-batch", "-ex", "thread apply all bt 16"],
                             capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return "(no stacks: gdb is not available)"
    return "\n".join(l for l in out.splitlines() if l.startswith(("#", "Thread")))


# K-weighting at 48 kHz (ITU-R BS.1770): a high shelf, then a high-pass.
_K48 = (((1.53512485958697, -2.69169618940638, 1.19839281085285), (-1.69065929318241, 0.73248077421585)),
        ((1.0, -2.0, 1.0), (-1.99004745483398, 0.99007225036621)))


def k_weighted(x):
    for (b0, b1, b2), (a1, a2) in _K48:
        y, x1, x2, y1, y2 = [], 0.0, 0.0, 0.0, 0.0
        for v in x:
            o = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2
            x2, x1, y2, y1 = x1, v, y1, o
            y.append(o)
        x = y
    return x


def loudest_moment(left, right, rate=48000):
    """The loudest 400 ms of a stereo signal, in LUFS (momentary loudness)."""
    kl, kr = k_weighted(left), k_weighted(right)
    win, hop = int(0.4 * rate), int(0.05 * rate)
    best = 1e-20
    for a in range(0, max(1, len(kl) - win + 1), hop):
        p = sum(v * v for v in kl[a:a + win]) + sum(v * v for v in kr[a:a + win])
        best = max(best, p / win)
    return -0.691 + 10 * math.log10(best)


def stopped(p, timeout=10, sig=signal.SIGTERM):
    """Ends a program this test started: `sig` (none: let it end by itself), then its
    status; killed if it does not end in time (status None)."""
    if sig is not None and p.poll() is None:
        p.send_signal(sig)
    try:
        return p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None


def stop_group(p, timeout=10):
    """Ends a program this test started in a session of its own, with everything it started."""
    try:
        os.killpg(p.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()


def ip(*args):
    """`ip` with these arguments; an exception when it fails."""
    subprocess.run(["ip", *args], check=True)


def namespaces(*names):
    """Network namespaces of the test's own (`ip netns del` each at its end), loopback up."""
    for ns in names:
        ip("netns", "add", ns)
        ip("-n", ns, "link", "set", "lo", "up")


_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def ends_with_test():
    """Popen's preexec_fn for a service the test runs as root: sent SIGTERM should the test end
    without stopping it (killed by ctest's timeout, say), so that it never outlives the test."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def stop_using(folder):
    """Ends whatever still runs from FOLDER, a test's own temporary folder (a service whose
    configuration is there): those processes are the test's, and none outlives it."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if folder.encode() in f.read():
                    os.kill(int(pid), signal.SIGKILL)
        except OSError:
            pass


def ordinary_user(name="palomir-e2e"):
    """An ordinary system user for a test run as root: (its passwd entry, True when made here
    and so to be removed with `userdel` at the end)."""
    try:
        return pwd.getpwnam(name), False
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                        "--shell", "/usr/sbin/nologin", name], check=True)
        return pwd.getpwnam(name), True


def readable_copy(folder, program, *extra):
    """The program, its sounds and `extra` files copied to FOLDER/game where any user may read
    and run them (a test's ordinary user cannot reach the build tree): the copy's path."""
    game = os.path.join(folder, "game")
    os.mkdir(game)
    for f in (program, *extra):
        shutil.copy(f, game)
    shutil.copytree(os.path.join(os.path.dirname(program), "sounds"), os.path.join(game, "sounds"))
    subprocess.run(["chmod", "-R", "a+rX", game], check=True)
    return os.path.join(game, os.path.basename(program))


def replayed(scenario, record, trace, name):
    """The scenario runner replays the recording of a real game: it must print the very calls,
    spoken lines and errors its trace has, in order. The trace's lines."""
    r = subprocess.run([scenario, record], capture_output=True, text=True, timeout=120)
    got = [l for l in r.stdout.splitlines() if l.startswith(("call ", "say ", "error ", "language "))]
    want = [l for l in open(trace).read().splitlines() if not l.startswith("#")]  # its header
    first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]), None)
    where = "" if first is None else " (first difference at line %d: %r against %r)" % (first + 1, want[first], got[first])
    check(r.returncode == 0 and got == want and len(want) > 100,
          "%s: the replay prints the trace exactly, %d lines, status %d%s %s"
          % (name, len(want), r.returncode, where, r.stderr.strip()))
    return want
