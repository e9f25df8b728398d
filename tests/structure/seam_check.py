#!/usr/bin/python3
"""The storage seam holds: no object of the program but the seam's own calls
the system for files, directories or descriptors.

Every symbol an object of floatrec (the core library and main) takes from
outside the program must be on the allow-list (allowed_calls.txt): the
calls that touch no file (ALSA, threads, clocks, memory, the standard
streams) and the C++ library but for its file streams and std::filesystem.
A symbol the program defines itself is its own business; the seam's object,
common/storage.cpp, is the one place the file calls are.

Usage: seam_check.py BUILD_DIR [OBJECT_TO_REPLACE REPLACEMENT]
Exit 0 when the seam holds; 1, naming each object and symbol, when not.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SEAM = "storage.cpp.o"


def objects(build):
    found = []
    for target in ("floatrec_core.dir", "floatrec.dir"):
        for root, _, files in os.walk(os.path.join(build, "CMakeFiles", target)):
            found += [os.path.join(root, name) for name in files if name.endswith(".o")]
    return sorted(found)


def symbols(paths, which):
    """Each object's symbols, defined or undefined, from one run of nm."""
    flag = "--undefined-only" if which == "undefined" else "--defined-only"
    out = subprocess.run(["nm", "-A", flag] + paths, capture_output=True, text=True, check=True).stdout
    found = {path: set() for path in paths}
    for line in out.splitlines():
        path, _, rest = line.partition(":")
        if rest.strip():
            found[path].add(rest.split()[-1])
    return found


def demangled(names):
    if not names:
        return {}
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True, check=True).stdout
    return dict(zip(names, out.splitlines()))


def allow_list():
    exact, patterns, denied, only_in = set(), [], [], {}
    with open(os.path.join(HERE, "allowed_calls.txt")) as listing:
        for line in listing:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            kind, rest = line.split(None, 1)
            if kind == "call":
                parts = rest.split()
                exact.add(parts[0])
                if len(parts) > 1:
                    only_in[parts[0]] = parts[1:]
            elif kind == "allow":
                patterns.append(re.compile(rest))
            elif kind == "deny":
                denied.append(re.compile(rest))
    return exact, patterns, denied, only_in


def main():
    build = sys.argv[1]
    paths = objects(build)
    if len(sys.argv) > 3:
        paths = [sys.argv[3] if os.path.basename(p) == sys.argv[2] else p for p in paths]
    if not paths:
        print("no objects under " + build)
        return 1
    defined = set().union(*symbols(paths, "defined").values())
    undefined = symbols(paths, "undefined")
    exact, patterns, denied, only_in = allow_list()
    outside = {path: sorted(undefined[path] - defined) for path in paths if os.path.basename(path) != SEAM}
    names = demangled(sorted({name for found in outside.values() for name in found if name.startswith("_Z")}))
    wrong = []
    for path, found in outside.items():
        for name in found:
            said = names.get(name, name)
            if name in exact:
                places = only_in.get(name)
                if places is None or os.path.basename(path) in places:
                    continue
            elif any(p.search(said) for p in patterns) and not any(d.search(said) for d in denied):
                continue
            wrong.append(f"{os.path.relpath(path, build)}: {said}")
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
