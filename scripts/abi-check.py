#!/usr/bin/env python3
"""Compiles every source of a configured build folder with clang, syntax only,
to catch what GCC lets through in the kernel's calling convention: va_start in
a Microsoft-convention variadic routine (GCC compiles it and the program then
crashes) and casts between the two conventions. Any diagnostic fails.
Usage: scripts/abi-check.py [BUILD_DIR]   (default: build)"""
import json
import os
import shlex
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The test sources are left to GCC, which rejects a routine of the wrong
# convention where a callback is wanted: clang 14 stops on some of their C++20
# (a lambda capturing a structured binding) and crashes on others.
TESTS = ROOT + "/tests/"
# After the build's own flags: only this warning, as an error.
CHECKS = ["-Wno-everything", "-Werror=cast-calling-convention"]


def clang_command(clang, entry):
    """The entry's compile command with clang in front, syntax only."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept, skip = [], False
    for arg in args[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif arg not in ("-c", "-MD", "-MMD") and not arg.startswith("-fsanitize"):
            kept.append(arg)
    return [clang, "-fsyntax-only"] + kept + CHECKS


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    clang = shutil.which("clang++-14") or shutil.which("clang++")
    if clang is None:
        print("abi-check: clang++ not found", file=sys.stderr)
        return 2
    database = os.path.join(ROOT, build, "compile_commands.json")
    if not os.path.exists(database):
        print(f"abi-check: {database} missing; configure the build first", file=sys.stderr)
        return 2
    with open(database) as f:
        entries = [e for e in json.load(f) if e["file"].startswith(ROOT + "/") and not e["file"].startswith(TESTS)]

    def check(entry):
        run = subprocess.run(clang_command(clang, entry), cwd=entry["directory"], capture_output=True, text=True)
        return run.returncode, run.stderr

    failed = 0
    with ThreadPoolExecutor(int(os.environ.get("JOBS", "2"))) as pool:
        for code, output in pool.map(check, entries):
            if code != 0:
                failed += 1
                sys.stderr.write(output)
    print(f"abi-check: {len(entries)} files, {failed} with findings")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
