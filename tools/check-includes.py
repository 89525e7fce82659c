#!/usr/bin/env python3
"""Checks that every #include "..." of the tracked sources points downward along the folders' dependencies.

    tools/check-includes.py [ROOT]      check the sources under ROOT (default: the repository of this file)
    tools/check-includes.py --self-test check the checker on a small tree with good and bad includes

A folder may include its own headers and those of the folders below it (what it depends on, and what they
depend on). A file in a folder the table does not know is an error too, so a new folder gets its line
below before its first file lands. Exit status 0 when every include is allowed, 1 otherwise (one line per
bad include: file:line: what it includes and what that folder may include).
"""
import os
import re
import subprocess
import sys
import tempfile

# What each folder includes directly; what those include follows. Subfolders (footage/video) are folders
# of their own: the folder around them does not include them, they include it.
DEPENDS = {
    "exceptions": [],
    "xml": ["exceptions"],
    "param": ["xml"],
    "image": ["param"],
    "wrapper": ["image"],
    "effect": ["wrapper"],
    "sdk": [],
    "host": ["effect", "sdk"],
    # Second and third adapters beside host/, over the same wrapper interface; no host API.
    "frei0r": ["effect"],
    "obs": ["effect"],
    # The substitute host loads any module written to the API: it knows nothing of the effect.
    "runner": ["sdk"],
    "footage": ["runner"],
    "footage/video": ["footage"],
    "footage/images": ["footage"],
    "render": ["footage", "footage/video", "runner"],
    "farm": ["footage", "footage/video", "render"],
    # Control values as a user gives them; presets are parameter sets in XML.
    "controls": ["footage", "param"],
    "preview": ["render", "controls"],
    "cli": ["preview", "farm", "render", "controls"],
}

# Tests of one folder take what that folder may take, the folder itself and its subfolders, and any test
# support; tests that cross folders (the module end to end, the About box through the host), benchmarks
# (a stage alone, then whole frames through the host) and fuzzers take anything.
ANYTHING = {"tests", "tests/e2e", "tests/about", "tests/install", "bench", "fuzz"}
SOURCE_SUFFIXES = (".cpp", ".h", ".c", ".hpp", ".inc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def closure(folder):
    seen, todo = set(), [folder]
    while todo:
        for d in DEPENDS[todo.pop()]:
            if d not in seen:
                seen.add(d)
                todo.append(d)
    return seen


def folder_of(path):
    """The table's folder a file or include path belongs to: the longest known prefix of its folders."""
    parts = path.split("/")[:-1]
    for n in range(len(parts), 0, -1):
        f = "/".join(parts[:n])
        if f in DEPENDS or f in ANYTHING:
            return f
        if parts[0] in ("tests", "bench", "fuzz") and n == 2:
            return f
    return None


def allowed(source_folder, target_folder):
    """Whether a file of `source_folder` may include a header of `target_folder`."""
    top = source_folder.split("/")[0]
    if source_folder in ANYTHING or top in ("bench", "fuzz"):
        return True
    if top in ("tests", "bench", "fuzz"):
        subject = source_folder.split("/", 1)[1]
        if subject not in DEPENDS:
            return None
        if target_folder.startswith("tests/") or target_folder == "tests" or target_folder == top:
            return True
        if target_folder.startswith(top + "/") and target_folder.split("/", 1)[1] == subject:
            return True
        return (target_folder == subject or target_folder.startswith(subject + "/")
                or target_folder in closure(subject))
    return target_folder == source_folder or target_folder in closure(source_folder)


def sources(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True, capture_output=True).stdout
        files = [f for f in out.decode().split("\0") if f]
    except (subprocess.CalledProcessError, FileNotFoundError):
        files = []
        for d, dirs, names in os.walk(root):
            dirs[:] = [x for x in dirs if not x.startswith(".") and not x.startswith("build")]
            files += [os.path.relpath(os.path.join(d, n), root) for n in names]
    return sorted(f for f in files if f.endswith(SOURCE_SUFFIXES))


def check(root):
    problems = []
    for f in sources(root):
        src = folder_of(f)
        if src is None:
            if "/" in f:
                problems.append(f"{f}: in a folder the include table does not know ({f.split('/')[0]}/)")
            continue
        with open(os.path.join(root, f), errors="replace") as text:
            for number, line in enumerate(text, 1):
                m = INCLUDE.match(line)
                if not m or "/" not in m.group(1):
                    continue  # beside the file itself
                target = m.group(1)
                dst = folder_of(target)
                verdict = None if dst is None else allowed(src, dst)
                if verdict is None and dst is None:
                    problems.append(f"{f}:{number}: includes {target}, of no folder the include table knows")
                elif verdict is None:
                    problems.append(f"{f}:{number}: {src}/ is no folder the include table knows")
                elif not verdict:
                    may = sorted(closure(src.split("/", 1)[1] if src.split("/")[0] in ("tests", "bench", "fuzz")
                                         else src))
                    problems.append(f"{f}:{number}: {src}/ includes {target}; it may include only "
                                    f"{', '.join(may) or 'nothing outside itself'}")
    return problems


def self_test():
    """A small tree, good first, then one bad include at a time: each must be caught, and only it."""
    good = {
        "exceptions/klError.h": "",
        "image/klImage.h": '#include "exceptions/klError.h"\n#include "param/klParam.h"\n',
        "param/klParam.h": '#include "xml/klXML.h"\n',
        "xml/klXML.h": "",
        "runner/klRunner.h": '#include "sdk/klHostAPI.h"\n',
        "sdk/klHostAPI.h": "",
        "footage/klFootage.h": '#include "runner/klRunner.h"\n',
        "footage/video/klVideo.cpp": '#include "footage/klFootage.h"\n#include "klLocal.h"\n',
        "render/klRenderJob.cpp": '#include "footage/video/klMuxer.h"\n#include "sdk/klHostAPI.h"\n',
        "cli/klMain.cpp": '#include "render/klRenderJob.h"\n#include "xml/klXML.h"\n',
        "tests/footage/test_video.cpp": '#include "footage/video/klMuxer.h"\n#include "tests/support.h"\n',
        "tests/e2e/test_all.cpp": '#include "cli/klMain.h"\n#include "host/klEntry.h"\n',
    }
    bad = {
        "image/klBlur.h": '#include "effect/klStage.h"\n',  # upward
        "runner/klModule.cpp": '#include "image/klImage.h"\n',  # sideways: the runner takes only sdk/
        "footage/klFootage.cpp": '#include "footage/video/klMuxer.h"\n',  # into its own subfolder
        "farm/klJoin.cpp": '#include "footage/images/klImageFiles.h"\n',  # the module loaded at run time
        "render/klSource.cpp": '#include "cli/klCommandLine.h"\n',  # upward
        "effect/klStage.cpp": '#include "sdk/klHostAPI.h"\n',  # only host/ reaches the host API
        "tests/image/test_blur.cpp": '#include "effect/klStage.h"\n',  # tests keep their folder's level
        "newfolder/klThing.cpp": "",  # unknown folder
    }
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        def write(name, text):
            os.makedirs(os.path.dirname(os.path.join(tmp, name)), exist_ok=True)
            with open(os.path.join(tmp, name), "w") as out:
                out.write(text)

        for name, text in good.items():
            write(name, text)
        if check(tmp):
            failures.append("the good tree fails: " + "; ".join(check(tmp)))
        for name, text in bad.items():
            write(name, text)
            found = check(tmp)
            if len(found) != 1 or not found[0].startswith(name):
                failures.append(f"{name} ({text.strip() or 'empty'}): expected one problem, got {found}")
            os.remove(os.path.join(tmp, name))
        if check(tmp):
            failures.append("the good tree fails again after the bad files went")
    for f in failures:
        print("self-test:", f, file=sys.stderr)
    if not failures:
        print(f"self-test: the good tree passes and each of {len(bad)} bad includes is caught")
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems = check(root)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print(f"includes: every #include of {len(sources(root))} sources points downward")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
