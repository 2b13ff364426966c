#!/usr/bin/env python3
"""Opens the HTML log export in headless Chromium: the page must hold the log table with the
traced "<script>" shown as text (no script element made of it), and a screenshot is saved for
a person to look at.  Usage: html_render_check.py CHROMIUM PAGE.htm SHOT.png"""
import os
import re
import subprocess
import sys
import tempfile

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def chromium(binary, args, timeout):
    with tempfile.TemporaryDirectory(prefix="cw-chromium-") as profile:
        return subprocess.run([binary, *FLAGS, f"--user-data-dir={profile}", *args], capture_output=True,
                              text=True, timeout=timeout)


def main():
    binary, page, shot = sys.argv[1:4]
    scale = int(os.environ.get("CW_TEST_TIME_SCALE", "1") or "1")
    if not os.path.exists(page):
        print(f"{page} was not written by the export test")
        return 1
    url = "file://" + os.path.abspath(page)
    dom = chromium(binary, ["--dump-dom", url], 60 * scale).stdout
    failures = []
    if len(re.findall(r"<tr\b", dom)) != 4:
        failures.append("the table does not hold the caption row and three log rows")
    if re.search(r"<script\b", dom, re.I):
        failures.append("traced text became a script element")
    if "&lt;script&gt;alert(\"x\")&lt;/script&gt;" not in dom:
        failures.append("the traced <script> is not shown as text")
    if "Caf\u00e9Exec" not in dom:
        failures.append("the character reference of a non-ASCII character is not shown as that character")
    if os.path.exists(shot):
        os.remove(shot)
    chromium(binary, [f"--screenshot={shot}", "--window-size=900,300", url], 60 * scale)
    if not os.path.exists(shot) or os.path.getsize(shot) < 1000:
        failures.append("no screenshot")
    for f in failures:
        print("FAILED:", f)
    if failures:
        print(dom)
        return 1
    print(f"table rendered; screenshot {shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
