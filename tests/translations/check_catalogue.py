#!/usr/bin/env python3
"""Fails when the text catalogue falls behind the sources.

usage: check_catalogue.py CATALOGUE.ts LUPDATE [LUPDATE OPTIONS AND SOURCES...]

lupdate runs over the sources into a copy of the catalogue: a text added,
changed or dropped in the sources makes the copy differ. Every message must
have its translation, none unfinished or obsolete, with the same places
(%1 to %9) as its source text.
"""
import collections
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def places(text):
    return collections.Counter(re.findall(r"%[1-9]", text or ""))


def main():
    catalogue, lupdate, arguments = sys.argv[1], sys.argv[2], sys.argv[3:]
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, os.path.basename(catalogue))
        shutil.copyfile(catalogue, copy)
        run = subprocess.run([lupdate, *arguments, "-ts", copy], capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("lupdate failed:\n" + run.stdout + run.stderr)
        before = open(catalogue, encoding="utf-8").read().splitlines(keepends=True)
        after = open(copy, encoding="utf-8").read().splitlines(keepends=True)
        if before != after:
            problems.append("the catalogue is behind the sources (build the target update_translations):\n"
                            + "".join(difflib.unified_diff(before, after, catalogue, "lupdate")))
    for context in ET.parse(catalogue).getroot().iter("context"):
        name = context.findtext("name")
        for message in context.iter("message"):
            source = message.findtext("source")
            translation = message.find("translation")
            kind = translation.get("type") if translation is not None else "missing"
            where = f"{name}: {source!r}"
            if kind:
                problems.append(f"{where} is {kind}")
            elif not translation.text:
                problems.append(f"{where} has an empty translation")
            elif places(translation.text) != places(source):
                problems.append(f"{where}: the translation {translation.text!r} has other places than its source")
    if problems:
        sys.exit("\n".join(problems))
    print("the catalogue has every text of the sources, all translated")


if __name__ == "__main__":
    main()
