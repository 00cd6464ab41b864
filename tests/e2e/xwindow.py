"""Finding the program's window in the X server, and making sure no program outlives its test."""
import subprocess
import time


def find_window(pid, timeout=10.0):
    """The id of the window captioned MainForm that process `pid` shows, or "".

    The window is looked up by process and its caption checked, since SDL may make other
    windows of its own first, and xdotool cannot match SDL's caption by name."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        ids = subprocess.run(["xdotool", "search", "--pid", str(pid)], capture_output=True, text=True).stdout.split()
        for w in ids:
            name = subprocess.run(["xdotool", "getwindowname", w], capture_output=True, text=True).stdout.strip()
            if name == "MainForm":
                return w
        time.sleep(0.02)
    return ""
