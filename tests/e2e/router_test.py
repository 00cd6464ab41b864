#!/usr/bin/env python3
"""The router's port opener against a real miniupnpd, in network namespaces of the test's own:
a router whose LAN side is a veth toward a player's namespace, and whose WAN side is a veth
pair of its own, reached by nothing. The player asks (tests/router_probe.cpp) as a hosted
match does; the router's lease file says which mappings it holds while the player lives and
after. Then a router whose own address is private (behind another router), and a namespace
with no router at all, where the player is told why in German.

    router_test.py ROUTER_PROBE MINIUPNPD"""
import os
import select
import subprocess
import sys
import tempfile
import time

from harness import check, ends_with_test, finish, ip, namespaces, skipped, stopped

PROBE, MINIUPNPD = sys.argv[1:3]
TAG = "palomir%d" % os.getpid()
ROUTER, PLAYER, ALONE = TAG + "r", TAG + "p", TAG + "a"
PLAYER_ADDRESS = "192.168.77.2"
# The router's WAN address: one miniupnpd takes for public (it will not map ports on a
# private or documentation address), held inside the router's namespace, which sends nowhere.
PUBLIC = "100.128.0.1"
PRIVATE = "198.51.100.1"

NOT_CONNECTED = ("The router says it has no connection to the internet of its own (it may "
                 "itself be behind another router).")
REFUSED = "The router refused to open a port: port opening (UPnP) may be limited in its settings."
NO_ROUTER = "No router on this network offers to open a port (UPnP)."


def make_namespaces():
    namespaces(ROUTER, PLAYER, ALONE)
    ip("-n", ROUTER, "link", "add", "lan0", "type", "veth", "peer", "name", "eth0", "netns", PLAYER)
    ip("-n", ROUTER, "link", "add", "wan0", "type", "veth", "peer", "name", "wan1")
    ip("-n", ROUTER, "addr", "add", "192.168.77.1/24", "dev", "lan0")
    ip("-n", PLAYER, "addr", "add", PLAYER_ADDRESS + "/24", "dev", "eth0")
    for ns, link in ((ROUTER, "lan0"), (ROUTER, "wan0"), (ROUTER, "wan1"), (PLAYER, "eth0")):
        ip("-n", ns, "link", "set", link, "up")
    ip("-n", PLAYER, "route", "add", "default", "via", "192.168.77.1")
    # The chains miniupnpd puts its mappings in.
    subprocess.run(["ip", "netns", "exec", ROUTER, "nft", "-f", "-"], check=True, text=True,
                   input="table inet filter {\n chain miniupnpd { }\n chain prerouting_miniupnpd { }\n"
                         " chain postrouting_miniupnpd { }\n}\n")


def start_router(folder, address, leases=""):
    """miniupnpd with `address` on its WAN side, its lease file holding `leases` at its start;
    once it listens."""
    ip("-n", ROUTER, "addr", "flush", "dev", "wan0")
    ip("-n", ROUTER, "addr", "add", address + "/24", "dev", "wan0")
    conf, log = os.path.join(folder, "miniupnpd.conf"), os.path.join(folder, "miniupnpd.log")
    with open(os.path.join(folder, "leases"), "w") as f:
        f.write(leases)
    with open(conf, "w") as f:
        f.write("ext_ifname=wan0\nlistening_ip=lan0\nhttp_port=5000\nenable_natpmp=no\n"
                "secure_mode=yes\nuuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
                "lease_file=%s\n" % os.path.join(folder, "leases") +
                "deny 42000-42007 0.0.0.0/0 0-65535\n"  # ports the router will not open
                "allow 1024-65535 192.168.77.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n")
    p = subprocess.Popen(["ip", "netns", "exec", ROUTER, MINIUPNPD, "-d", "-f", conf,
                          "-P", os.path.join(folder, "pid")],
                         stdout=open(log, "w"), stderr=subprocess.STDOUT, preexec_fn=ends_with_test)
    end = time.monotonic() + 10
    while time.monotonic() < end and "HTTP listening" not in open(log).read() and p.poll() is None:
        time.sleep(0.05)
    return p


def held(folder):
    """The router's mappings for the game: (external port, internal client, internal port)."""
    out = set()
    for line in open(os.path.join(folder, "leases")).read().splitlines():
        proto, eport, client, iport, _, desc = line.split(":", 5)
        if proto == "UDP" and desc == "Palomir":
            out.add((int(eport), client, int(iport)))
    return out


def ask(namespace, *args, while_held=lambda: None):
    """The probe's lines for the ports in `args`; `while_held` runs while it holds them."""
    p = subprocess.Popen(["ip", "netns", "exec", namespace, PROBE, *args],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=ends_with_test)
    text, end = b"", time.monotonic() + 40
    try:
        for last in (b"ready\n", b"done\n"):
            while last not in text and time.monotonic() < end and p.poll() is None:
                if select.select([p.stdout], [], [], 0.5)[0]:
                    text += os.read(p.stdout.fileno(), 4096)
            if last == b"ready\n":
                while_held()
                p.stdin.write(b"\n")
                p.stdin.close()
    finally:
        stopped(p, timeout=10)
    lines = text.decode().splitlines()
    check(lines[-1:] == ["done"], "the player ends once it lets its ports go (%r)" % lines)
    return {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in lines if line[:1].isdigit()}


def main():
    if os.geteuid() != 0:
        return skipped("network namespaces need root")
    routers = []
    with tempfile.TemporaryDirectory(prefix="palomir-router-") as folder:
        try:
            make_namespaces()
            # Another computer holds 41000 already: the game gets the next port.
            routers.append(start_router(folder, PUBLIC, "UDP:41000:192.168.77.9:41000:0:other\n"))
            seen = []
            said = ask(PLAYER, "40000", "41000", "42000", while_held=lambda: seen.append(held(folder)))
            check(said.get("40000") == "opened %s 40000" % PUBLIC, "a free port opens as itself: %s" % said.get("40000"))
            check(said.get("41000") == "opened %s 41001" % PUBLIC, "a taken port opens as another: %s" % said.get("41000"))
            check(said.get("42000") == "closed " + REFUSED, "a port the router will not open: %s" % said.get("42000"))
            check(seen == [{(40000, PLAYER_ADDRESS, 40000), (41001, PLAYER_ADDRESS, 41000)}],
                  "the router holds the mappings while the game lives: %s" % seen)
            check(held(folder) == set(), "and none once it is gone: %s" % held(folder))
            stopped(routers.pop())

            routers.append(start_router(folder, PRIVATE))
            said = ask(PLAYER, "40000")
            check(said.get("40000") == "closed " + NOT_CONNECTED, "a router behind another: %s" % said.get("40000"))
            stopped(routers.pop())

            said = ask(ALONE, "--language=de", "40000")
            why = said.get("40000", "")
            check(why.startswith("closed ") and why != "closed " + NO_ROUTER,
                  "no router, said in German: %s" % why)
        finally:
            for p in routers:
                stopped(p)
            for ns in (ROUTER, PLAYER, ALONE):
                subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
