#!/usr/bin/env python3
"""Names the program that listens on a TCP port, so a tool that needs the port can say what holds it and what to
do, instead of stopping or killing anything itself: the machine's services are the operator's.

Usage: port_holder.py [--what TEXT] PORT ...
Prints one line for each port that something listens on (on any address of this machine's network namespace)
and exits 1 when one is taken, 0 when all are free."""
import argparse
import os
import sys

LISTEN_STATE = "0A"
# /proc/net/tcp* of a busy machine holds a line per connection; a sane one stays far below this.
MAX_SOCKET_LINES = 200000
# A server's master and its workers share one socket; a few names say who it is.
MAX_NAMED = 4


def listening_inodes(port):
    """The inodes of the sockets that listen on `port` (IPv4 and IPv6, any address)."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table, encoding="ascii", errors="replace") as lines:
                next(lines, None)
                for number, line in enumerate(lines):
                    if number >= MAX_SOCKET_LINES:
                        break
                    fields = line.split()
                    if len(fields) < 10 or fields[3] != LISTEN_STATE:
                        continue
                    if int(fields[1].rsplit(":", 1)[1], 16) == port:
                        inodes.add(fields[9])
        except OSError:
            continue
    return inodes


def process_text(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as stream:
            arguments = [a.decode("utf-8", "replace") for a in stream.read(4096).split(b"\0") if a]
    except OSError:
        arguments = []
    try:
        with open("/proc/%s/comm" % pid, encoding="utf-8", errors="replace") as stream:
            name = stream.read().strip()
    except OSError:
        name = "?"
    command = " ".join(arguments)
    if len(command) > 120:
        command = command[:117] + "..."
    return "%s (pid %s%s)" % (name, pid, ": " + command if command else "")


def holders(port):
    """A text for each process that holds a socket listening on `port`; a socket whose owner cannot be read (a
    process of another user, seen without root) is named as such."""
    wanted = {"socket:[%s]" % inode for inode in listening_inodes(port)}
    if not wanted:
        return []
    found = []
    seen = set()
    for pid in sorted((p for p in os.listdir("/proc") if p.isdigit()), key=int):
        try:
            descriptors = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            continue
        for descriptor in descriptors:
            try:
                target = os.readlink("/proc/%s/fd/%s" % (pid, descriptor))
            except OSError:
                continue
            if target in wanted:
                seen.add(target)
                found.append(process_text(pid))
                break
        if len(found) == MAX_NAMED:
            break
    if not found or len(seen) < len(wanted) and len(found) < MAX_NAMED:
        found.append("a process this user may not see (run as root to name it)")
    return found


def taken_message(port, what):
    """Why `port` cannot be had and what the operator can do, or None when nothing listens there."""
    names = holders(port)
    if not names:
        return None
    return ("port %d (%s) is taken by %s. Nothing here stops another program or a service of this machine: "
            "stop it yourself if you may (a system nginx: systemctl stop nginx), or run this in a network "
            "namespace of its own (ip netns add trial; ip netns exec trial ...)." % (port, what, "; ".join(names)))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0],
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--what", default="needed here", help="what the port is for, for the message")
    parser.add_argument("ports", nargs="+", type=int, metavar="PORT")
    args = parser.parse_args(argv)
    taken = [m for m in (taken_message(port, args.what) for port in args.ports) if m]
    for message in taken:
        print(message, file=sys.stderr)
    return 1 if taken else 0


if __name__ == "__main__":
    sys.exit(main())
