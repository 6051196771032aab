#!/usr/bin/env python3
"""Fails when a text the window shows has no English, when the English has a text the sources no longer
have, or when a translation drops or adds a placeholder ("%1") or the mnemonic of its source.

check_ts.py LUPDATE LRELEASE TS_FILE SOURCE_ROOT -- LUPDATE_OPTIONS... -- FOLDERS...
The checked-in file is not touched: lupdate brings a copy up to date with the sources, as the
update_translations target would, and lrelease compiles the copy."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET


def main(argv):
    lupdate, lrelease, ts_file, root = argv[1:5]
    rest = argv[5:]
    first = rest.index("--")
    second = rest.index("--", first + 1)
    options, folders = rest[first + 1:second], rest[second + 1:]
    problems = []
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, os.path.basename(ts_file))
        shutil.copyfile(ts_file, copy)
        update = subprocess.run([lupdate, *options, "-extensions", "cpp,h", *folders, "-ts", copy], cwd=root,
                                capture_output=True, text=True)
        print(update.stdout + update.stderr, end="")
        if update.returncode != 0:
            return "lupdate failed"
        found = re.search(r"Found (\d+) source text\(s\) \((\d+) new and (\d+) already existing\)", update.stdout)
        if found is None:
            return "lupdate did not report its counts"
        if int(found.group(2)) != 0:
            problems.append(f"{found.group(2)} text(s) of the sources are not in {os.path.basename(ts_file)}")
        release = subprocess.run([lrelease, copy, "-qm", os.path.join(work, "check.qm")], capture_output=True,
                                 text=True)
        print(release.stdout + release.stderr, end="")
        generated = re.search(r"Generated (\d+) translation\(s\) \((\d+) finished and (\d+) unfinished\)",
                              release.stdout)
        if release.returncode != 0 or generated is None:
            return "lrelease failed or did not report its counts"
        ignored = re.search(r"Ignored (\d+) untranslated", release.stdout)
        missing = int(generated.group(3)) + (int(ignored.group(1)) if ignored else 0)
        if missing != 0:
            problems.append(f"lrelease: {missing} text(s) without a finished translation")

        for context in ET.parse(copy).getroot().iter("context"):
            name = context.findtext("name")
            for message in context.iter("message"):
                source = message.findtext("source") or ""
                translation = message.find("translation")
                kind = translation.get("type", "") if translation is not None else "missing"
                text = translation.text or "" if translation is not None else ""
                where = f"{name}: {source!r}"
                if kind in ("vanished", "obsolete"):
                    problems.append(f"{where}: translated, but no source has this text any more")
                elif kind == "unfinished" or not text:
                    problems.append(f"{where}: not translated")
                elif sorted(re.findall(r"%\d", source)) != sorted(re.findall(r"%\d", text)):
                    problems.append(f"{where}: {text!r} has other placeholders")
                elif ("&" in source.replace("&&", "")) != ("&" in text.replace("&&", "")):
                    problems.append(f"{where}: {text!r} drops or adds the shortcut key")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return f"{len(problems)} problem(s); after changing a text, build the target update_translations and translate"
    print(f"{found.group(1)} texts, all translated")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
