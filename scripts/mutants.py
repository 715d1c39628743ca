#!/usr/bin/env python3
"""Plants faults in the sources one at a time and tells which the tests catch.

A list file holds one fault per paragraph (blank lines between them):

    name: read total timeout one tick late
    file: driver/datapath/read.cpp
    from: Now >= Deadline
    to:   Now > Deadline

A `\n` in `from` or `to` stands for a line break (the next line's
indentation follows it). `from` must occur exactly once in `file`; a list whose anchor is missing or
ambiguous is an error, so a list cannot silently stop planting a fault after
the code moves. Each fault is written into the tree, the build folder is
rebuilt and the GoogleTest suites run until the first failure; then the file
is put back. A fault whose build fails is reported as such: it proves nothing.
"""
import argparse
import dataclasses
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


@dataclasses.dataclass
class Mutant:
    name: str
    file: str
    before: str
    after: str
    origin: str


def parse(path):
    mutants, fields, line_no = [], {}, 0

    def flush():
        if not fields:
            return
        missing = {"name", "file", "from", "to"} - fields.keys()
        if missing:
            sys.exit(f"{path}:{line_no}: fault without {', '.join(sorted(missing))}")
        mutants.append(Mutant(fields["name"], fields["file"], fields["from"],
                              fields["to"], f"{path}:{line_no}"))
        fields.clear()

    for line_no, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip():
            flush()
            continue
        if line.lstrip().startswith("#"):
            continue
        key, sep, value = line.partition(":")
        if not sep or key not in ("name", "file", "from", "to"):
            sys.exit(f"{path}:{line_no}: expected 'name:', 'file:', 'from:' or 'to:'")
        value = value.strip()
        fields[key] = value.replace("\\n", "\n") if key in ("from", "to") else value
    flush()
    return mutants


def check_anchor(mutant):
    source = (ROOT / mutant.file)
    if not source.is_file():
        return f"{mutant.origin}: no file {mutant.file}"
    count = source.read_text().count(mutant.before)
    if count != 1:
        return f"{mutant.origin}: '{mutant.before}' occurs {count} times in {mutant.file}"
    return None


def run(command, log):
    with open(log, "w") as out:
        return subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT).returncode


def first_failure(log):
    for line in pathlib.Path(log).read_text().splitlines():
        if "***Failed" in line or "***Timeout" in line or "***Exception" in line:
            return line.split("-", 1)[-1].strip()
    return "a test"


def try_mutant(mutant, args):
    source = ROOT / mutant.file
    original = source.read_text()
    source.write_text(original.replace(mutant.before, mutant.after, 1))
    log = ROOT / args.build_dir / "mutant.log"
    try:
        if run(["cmake", "--build", args.build_dir, "-j", str(args.jobs)], log):
            return "build failed"
        ctest = ["ctest", "--test-dir", args.build_dir, "-j", str(args.jobs),
                 "--stop-on-failure", "--timeout", str(args.timeout)]
        if args.tests:
            ctest += ["-R", args.tests]
        if run(ctest, log):
            return "caught by " + first_failure(log)
        return "SURVIVED"
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("lists", nargs="+", type=pathlib.Path, help="fault list files")
    parser.add_argument("--build-dir", default="build-mutants")
    parser.add_argument("--only", help="run the faults whose name contains this text")
    parser.add_argument("--tests", help="ctest -R regular expression")
    parser.add_argument("--timeout", type=int, default=120, help="seconds per test program")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--check", action="store_true", help="only check that every anchor holds")
    args = parser.parse_args()

    mutants = [m for path in args.lists for m in parse(path)]
    if args.only:
        mutants = [m for m in mutants if args.only in m.name]
    errors = [e for e in map(check_anchor, mutants) if e]
    if errors:
        sys.exit("\n".join(errors))
    if args.check:
        print(f"{len(mutants)} faults, every anchor holds")
        return 0
    if not (ROOT / args.build_dir / "CMakeCache.txt").is_file():
        sys.exit(f"{args.build_dir} is not a configured build folder (make mutants configures it)")

    caught = 0
    for index, mutant in enumerate(mutants, 1):
        started = time.monotonic()
        verdict = try_mutant(mutant, args)
        caught += verdict.startswith("caught")
        print(f"[{index}/{len(mutants)}] {mutant.name}: {verdict} "
              f"({time.monotonic() - started:.0f} s)", flush=True)
    # Leave the build folder matching the untouched tree.
    run(["cmake", "--build", args.build_dir, "-j", str(args.jobs)],
        ROOT / args.build_dir / "mutant.log")
    print(f"caught {caught} of {len(mutants)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
