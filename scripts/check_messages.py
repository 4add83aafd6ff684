#!/usr/bin/env python3
"""Fails when a numbered message is never raised from the daemon's own code
by the test suite.

A message counts as raised when one of its call sites in the daemon's sources
(a call of its vLogIDnnnn_Output function outside the function's own
definition) was executed while the suite ran, as the coverage build's line
counts show, and a test names its number. Calling the message function
directly from a test does not count.

    scripts/check_messages.py build-cov/coverage-lines.json
"""
import json
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NOT_DAEMON = {"tests", "sim", "bench", "demo", "docs", "packaging", "scripts", "build"}
FUNC = re.compile(r"\b(vLogID(\d{4})\w*)\s*\(")


def daemon_sources():
    for top in sorted(os.listdir(ROOT)):
        path = os.path.join(ROOT, top)
        if top.startswith((".", "build")) or top in NOT_DAEMON or not os.path.isdir(path):
            continue
        for dirpath, _, files in os.walk(path):
            for name in sorted(files):
                if name.endswith((".cpp", ".h")):
                    yield os.path.relpath(os.path.join(dirpath, name), ROOT)


def main():
    covered = {}
    for f in json.load(open(sys.argv[1]))["files"]:
        covered[f["file"]] = {l["line_number"]: l["count"] for l in f["lines"]}

    messages = {}  # number -> function name
    sites = {}  # number -> [(file, line)]
    for rel in daemon_sources():
        with open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace") as src:
            for no, text in enumerate(src, 1):
                for m in FUNC.finditer(text):
                    name, number = m.group(1), m.group(2)
                    messages.setdefault(number, name)
                    if re.match(r"\s*void\s+" + name + r"\s*\(", text):
                        continue  # the declaration or the definition
                    if rel.endswith(".cpp"):
                        sites.setdefault(number, []).append((rel, no))

    test_text = ""
    for sub in ("e2e", "unit"):
        d = os.path.join(ROOT, "tests", sub)
        for name in sorted(os.listdir(d)):
            if name.endswith((".cpp", ".h")):
                test_text += open(os.path.join(d, name), encoding="utf-8").read()

    problems = []
    for number in sorted(messages):
        run = [s for s in sites.get(number, []) if covered.get(s[0], {}).get(s[1], 0) > 0]
        if not sites.get(number):
            problems.append(f"{number}: {messages[number]} is never called by the daemon")
        elif not run:
            where = ", ".join(f"{f}:{l}" for f, l in sites[number])
            problems.append(f"{number}: no test reaches its call site ({where})")
        elif not re.search(r"(<|\b)" + number + r"(:|\b)", test_text):
            problems.append(f"{number}: raised, but no test names it")
    print(f"== numbered messages: {len(messages)}, raised from the daemon by the tests: "
          f"{len(messages) - len(problems)}")
    for p in problems:
        print("!! " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
