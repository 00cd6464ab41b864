#!/usr/bin/env python3
"""Every program the tests start comes with the test command's packages: a new contributor's
first `tools/dev.sh test` on a fresh Debian finds each of them.

The programs are read from the tests themselves: in the Python tests, the first word of
every command given to subprocess (a list literal, a name bound to one, a loop over them,
a `sh -c` line, what follows `--` after a wrapper); in the shell scripts the test command
runs, every word in a command's place. Each must be in PROGRAMS below, with the package
that installs it. The package must then be one the test command installs (`tools/dev.sh
packages test`), one those depend on, or one a minimal Debian has; and on this machine the
program must be installed from that package.

    programs_test.py TREE"""
import ast
import os
import re
import shlex
import shutil
import subprocess
import sys

# program -> the Debian package that installs it
PROGRAMS = {
    "appstreamcli": "appstream", "apt-get": "apt", "awk": "mawk", "basename": "coreutils",
    "cat": "coreutils", "chmod": "coreutils", "cmake": "cmake", "cmp": "diffutils",
    "comm": "coreutils", "cp": "coreutils", "cpack": "cmake", "cut": "coreutils",
    "dbus-daemon": "dbus-daemon", "dbus-run-session": "dbus-daemon", "dbus-send": "dbus-bin",
    "diff": "diffutils", "dirname": "coreutils", "dpkg-deb": "dpkg", "dpkg-query": "dpkg",
    "dpkg-source": "dpkg-dev", "ctest": "cmake", "find": "findutils", "head": "coreutils",
    "msgcmp": "gettext", "pwd": "coreutils", "mv": "coreutils", "chown": "coreutils", "du": "coreutils", "espeak-ng": "espeak-ng", "gdb": "gdb",
    "getent": "libc-bin", "git": "git", "grep": "grep", "id": "coreutils", "ip": "iproute2",
    "lintian": "lintian", "nft": "nftables",
    "ls": "coreutils", "makensis": "nsis", "man": "man-db", "mkdir": "coreutils",
    "mktemp": "coreutils", "nproc": "coreutils", "msgfmt": "gettext", "msgmerge": "gettext", "pactl": "pulseaudio-utils",
    "parec": "pulseaudio-utils", "parecord": "pulseaudio-utils", "pgrep": "procps",
    "pipewire": "pipewire-bin", "pipewire-pulse": "pipewire-pulse", "ps": "procps",
    "pw-play": "pipewire-bin", "pw-profiler": "pipewire-bin", "paplay": "pulseaudio-utils", "pw-record": "pipewire-bin",
    "python3": "python3-minimal", "realpath": "coreutils", "renice": "bsdutils", "rm": "coreutils",
    "rmdir": "coreutils", "runuser": "util-linux", "sed": "sed", "seq": "coreutils", "sh": "dash",
    "sha256sum": "coreutils", "wrestool": "icoutils",
    "sleep": "coreutils", "sort": "coreutils", "tar": "tar", "speech-dispatcher": "speech-dispatcher",
    "stat": "coreutils", "sway": "sway", "swaymsg": "sway", "tail": "coreutils", "tc": "iproute2",
    "tr": "coreutils", "unshare": "util-linux", "useradd": "passwd", "userdel": "passwd", "wc": "coreutils",
    "wine": "wine", "winepath": "wine", "wineserver": "libwine", "wireplumber": "wireplumber",
    "x86_64-w64-mingw32-objdump": "binutils-mingw-w64-x86-64",
    "x86_64-w64-mingw32-strip": "binutils-mingw-w64-x86-64", "xdotool": "xdotool",
    "xgettext": "gettext", "xvfb-run": "xvfb", "Xvfb": "xvfb", "zip": "zip",
    "/usr/lib/polkit-1/polkitd": "polkitd", "/usr/libexec/rtkit-daemon": "rtkit",
}
# Where the test command finds them (not a Python or a tool a developer installed elsewhere).
SYSTEM_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# What a contributor who cloned the tree has.
CLONE = {"git"}
# Words in a command's place in the shell scripts that are no programs: the shell's own.
SHELL = set("""if then else elif fi for in do done while until case esac function return exit
    local export unset set shift echo printf read cd test true false trap wait kill eval exec
    source break continue declare command type umask""".split())
# The Python tests' own ways of starting a program, beside subprocess's.
STARTERS = {"run", "Popen", "check_output", "check_call", "call", "start", "execvp", "execv"}
# Words after which a command comes.
BEFORE_COMMAND = {"then", "do", "else", "elif", "if", "while", "until", "time", "!", "{", "}"}
WRAPPERS = {"dbus-run-session", "runuser", "env", "sudo", "xvfb-run"}
WRAPPER_OPTIONS = {"-s", "-n", "-e", "-f", "-p", "-w", "-u"}  # those that take a value


def commands_in_shell(text, functions=()):
    """The words in a command's place in a shell script, less its own functions."""
    text = re.sub(r"<<-?'?(\w+)'?.*?^\s*\1$", "", text, flags=re.S | re.M)  # here-documents
    text = re.sub(r"\$\(\(.*?\)\)", "0", text)  # arithmetic
    text = re.sub(r"\$\{[^}]*\}|\$#", "$x", text)  # parameters' expansions
    text = text.replace("\\\n", " ")  # lines continued

    def tokens_of(text):
        lex = shlex.shlex(text, posix=True, punctuation_chars=";&|()\n")
        lex.whitespace = " \t\r"
        lex.wordchars += "$+,:@%[]{}!=^"
        return list(lex)

    try:
        tokens = tokens_of(text)
    except ValueError:  # quotes shlex cannot follow: line by line, as far as it can
        tokens = []
        for line in text.splitlines():
            try:
                tokens += tokens_of(line) + ["\n"]
            except ValueError:
                tokens.append("\n")
    found, place, wrapped, depth, array = set(), True, 0, 0, False
    for i, token in enumerate(tokens):
        following = tokens[i + 1] if i + 1 < len(tokens) else ""
        if "$(" in token:  # a command's output in quotes
            inner, level = token[token.index("$(") + 2:], 1
            for k, c in enumerate(inner):
                level += {"(": 1, ")": -1}.get(c, 0)
                if level == 0:
                    inner = inner[:k]
                    break
            found.update(commands_in_shell(inner))
        if not token.strip(";&|()\n"):
            depth += token.count("(") - token.count(")")
            if array and ")" in token:
                array = False
                continue
        if array:
            continue  # an array's words are no commands
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*\+?=", token) and following == "(":
            array = True
            continue
        separator = not token.strip(";&|()\n") or token in BEFORE_COMMAND
        if separator:
            place = True
        elif wrapped:  # a wrapper's options, then the program it starts
            if token.startswith("-"):
                wrapped = 2 if token in WRAPPER_OPTIONS else 1
            elif wrapped == 2:
                wrapped = 1
            else:
                place, wrapped = True, 0
        if place and not separator:
            if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*=.*", token, flags=re.S):
                continue  # an assignment before the command
            if re.fullmatch(r"[a-z][a-z0-9_.+-]*", token) and not (following.startswith(")") and depth <= 0):
                found.add(token)  # (not a case's pattern)
                wrapped = 1 if token in WRAPPERS else 0
            place = False
    defined = set(re.findall(r"(?m)^\s*([A-Za-z_][A-Za-z0-9_]*)\s*\(\)", text))
    return found - SHELL - defined - set(functions)


def commands_in_python(text):
    """The programs a Python test starts."""
    tree = ast.parse(text)
    lists = {}  # a name -> the list literals bound to it (assigned, or looped over)
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and isinstance(node.value, (ast.List, ast.Tuple)):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    lists.setdefault(target.id, []).append(node.value)
        elif isinstance(node, ast.For) and isinstance(node.target, ast.Name) and \
                isinstance(node.iter, (ast.List, ast.Tuple)):
            lists.setdefault(node.target.id, []).extend(node.iter.elts)
    bound = {}  # a name -> every value assigned to it
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    bound.setdefault(target.id, []).append(node.value)

    def strings_of(expr, depth=0):
        out = []
        for node in ast.walk(expr):
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                out.append(node.value)
            elif isinstance(node, ast.Name) and depth < 3:
                for value in bound.get(node.id, []):
                    out.extend(strings_of(value, depth + 1))
        return out

    found = set()

    def take(command):
        if isinstance(command, ast.Name):
            for bound in lists.get(command.id, []):
                take(bound)
            return
        if not isinstance(command, (ast.List, ast.Tuple)) or not command.elts:
            return
        words = [e.value if isinstance(e, ast.Constant) and isinstance(e.value, str) else None
                 for e in command.elts]
        if words[0] is None:
            return
        found.add(words[0])
        if words[:3] == ["ip", "netns", "exec"] and len(words) > 4 and words[4]:
            found.add(words[4])  # a program started in a network namespace
        if words[0] in WRAPPERS and "--" in words:
            rest = words[words.index("--") + 1:]
            if rest and rest[0]:
                found.add(rest[0])
                if rest[0] == "sh" and "-c" in rest:
                    # The shell's line, from the pieces it is made of.
                    line = command.elts[words.index("--") + 1 + rest.index("-c") + 1]
                    found.update(commands_in_shell(" ; ".join(strings_of(line))))

    for node in ast.walk(tree):
        if isinstance(node, ast.Call) and node.args:
            name = getattr(node.func, "attr", getattr(node.func, "id", ""))
            if name in STARTERS:
                take(node.args[0])
    return found


def installed_closure(roots):
    """The packages `roots` bring in through Depends and Pre-Depends, as apt would choose
    them (the first of alternatives, or what provides it), on this machine's package data."""
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Package}\t${Status}\t${Depends}, ${Pre-Depends}\t${Provides}\t${Priority}\n"],
                         capture_output=True, text=True, check=True).stdout
    depends, provides, required = {}, {}, set()
    for line in out.splitlines():
        package, status, deps, provided, priority = line.split("\t")
        if not status.endswith(" installed"):
            continue
        depends[package] = [alt.split("|")[0].split()[0].split(":")[0] for alt in deps.split(",") if alt.strip()]
        for p in provided.split(","):
            if p.strip():
                provides.setdefault(p.split()[0], []).append(package)
        if priority == "required":
            required.add(package)
    seen, todo = set(), list(roots)
    while todo:
        p = todo.pop()
        for real in ([p] if p in depends else provides.get(p, [])):
            if real not in seen:
                seen.add(real)
                todo.extend(depends.get(real, []))
    return seen, required


def main():
    tree = sys.argv[1]
    problems = []
    started = {}
    e2e = os.path.join(tree, "tests", "e2e")
    for name in sorted(os.listdir(e2e)):
        if name.endswith(".py"):
            for program in commands_in_python(open(os.path.join(e2e, name)).read()):
                started.setdefault(program, name)
    dev = open(os.path.join(tree, "tools", "dev.sh")).read()
    scripts = {"tools/dev.sh": dev}
    for script in ("tools/windows/test.sh", "tools/windows/package.sh", "tools/windows/soxr.sh",
                   "tools/windows/enet.sh", "tools/windows/miniupnpc.sh", "tools/windows/debian_source.sh",
                   "tools/windows/wine_env.sh", "tools/po.sh", "tests/scenarios/check.sh"):
        scripts[script] = open(os.path.join(tree, script)).read()
    for script, text in scripts.items():
        # The build's own functions and what dev.sh defines before its test stage.
        for program in commands_in_shell(text, functions=("build", "build_windows", "stage", "fuzz",
                                                          "extract", "stop", "since", "names", "wine_stop",
                                                          "debian_begin", "debian_source", "debian_cmake",
                                                          "debian_done", "prefix_of", "debian_of", "crlf",
                                                          "copyright_of", "flat")):
            started.setdefault(program, script)
    for program, where in sorted(started.items()):
        if program not in PROGRAMS:
            problems.append("%s starts %s, which PROGRAMS does not name: add it with its package" % (where, program))

    listed = subprocess.run([os.path.join(tree, "tools", "dev.sh"), "packages", "test"],
                            capture_output=True, text=True, check=True).stdout.split()
    brought, required = installed_closure(listed + ["apt"])
    for program, package in sorted(PROGRAMS.items()):
        if program not in started:
            problems.append("PROGRAMS names %s, which no test starts any more" % program)
        if package not in brought and package not in required and package not in CLONE:
            problems.append("%s (package %s) is not installed by the test command's packages: "
                            "add %s to tools/dev.sh" % (program, package, package))
    paths = {}
    for program, package in sorted(PROGRAMS.items()):
        path = program if program.startswith("/") else shutil.which(program, path=SYSTEM_PATH)
        if not path or not os.path.exists(path):
            problems.append("%s is not on this machine (package %s)" % (program, package))
            continue
        # dpkg knows a merged /usr's programs by their older names too (/bin/sh).
        paths[program] = {path, os.path.realpath(path), re.sub(r"^/usr/(s?bin)/", r"/\1/", path)}
    owners = {}  # a path -> the packages that install it
    r = subprocess.run(["dpkg-query", "-S", *sorted(set().union(*paths.values()))], capture_output=True, text=True)
    for line in r.stdout.splitlines():
        packages, _, path = line.partition(": ")
        owners.setdefault(path, set()).update(p.strip().split(":")[0] for p in packages.split(","))
    for program, candidates in paths.items():
        found = set().union(*(owners.get(c, set()) for c in candidates))
        if PROGRAMS[program] not in found:
            problems.append("%s comes from %s here, not %s" % (program, ", ".join(sorted(found)) or "no package",
                                                              PROGRAMS[program]))
    for p in problems:
        print("FAILED: " + p)
    print("%d programs the tests start, each from a package the test command installs" % len(started))
    print("%d passed, %d failed" % (1 - bool(problems), bool(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
