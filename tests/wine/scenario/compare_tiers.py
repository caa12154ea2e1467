#!/usr/bin/env python3
"""Compares a scenario's output on the Wine tier with the host tier's, line by line, the time
column aside. The Wine tier's own notes ("not shown here: ...") stand for no host line; a
request it shows as "pending or waiting in the driver (not told apart here)" stands for the
host's "-> pending" or "-> waiting in the driver" of the same request.

Usage: compare_tiers.py HOST_OUTPUT WINE_OUTPUT   (exit 0: the same story; 1: it differs)
"""
import difflib
import re
import sys

TIME = re.compile(r"^\s*\d+ ms  ")
NOTE = "not shown here: "
UNTOLD = " -> pending or waiting in the driver (not told apart here)"
TOLD = (" -> pending", " -> waiting in the driver")


def lines(path):
    with open(path, encoding="utf-8", newline="") as f:
        return [TIME.sub("", line.rstrip("\r\n")) for line in f]


def compare(host, wine):
    """The Wine lines as the host would print them where they agree; differences stay."""
    wine = [line for line in wine if not line.startswith(NOTE)]
    told = []
    for at, line in enumerate(wine):
        host_line = host[at] if at < len(host) else ""
        if line.endswith(UNTOLD):
            subject = line[: -len(UNTOLD)]
            if host_line in (subject + ending for ending in TOLD):
                line = host_line
        told.append(line)
    return told


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    host = lines(sys.argv[1])
    wine = compare(host, lines(sys.argv[2]))
    if host == wine:
        return 0
    sys.stdout.writelines(
        line + "\n"
        for line in difflib.unified_diff(host, wine, "host tier", "Wine tier", lineterm="")
    )
    return 1


if __name__ == "__main__":
    sys.exit(main())
