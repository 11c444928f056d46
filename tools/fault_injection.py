#!/usr/bin/env python3
"""Fault injection: how many plausible faults of src/ the tests catch, and which they miss.

Each fault of tools/fault_injection.txt (a code fragment of one line and its replacement) is put
into a scratch copy of the tree in /tmp, never into the working tree, one at a time. The copy is
built incrementally (Ninja, RelWithDebInfo without debug information, no benchmarks, warnings not
fatal) and the unit and window tests run (ctest -L 'unit|ui'); a fault they miss goes on to the
end-to-end tests (ctest -L e2e). The fault is then taken out again. The table at
the end says for each fault which stage caught it ("unit|ui", "e2e"), or "MISSED", "no build" (the
mutant does not compile: mend the mutation) or "n/a" (its fragment is not found once: mend the
fragment). Before the faults, the unmutated copy must build and pass the same tests: otherwise the
run stops with status 2. The end-to-end tests need root for their network namespaces; without it
they report themselves skipped, so the faults only they would catch count as missed.

    sudo tools/fault_injection.py                      # every fault (an hour or more on two cores)
    sudo tools/fault_injection.py --only ID,ID         # some of them
    tools/fault_injection.py --check                   # which faults still apply, nothing built

Exit status: 0 when the run is complete (whatever was missed; --fail-on-missed makes a miss 1),
2 when the unmutated tree does not build or fails its tests, 3 for a bad list.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_LIST = os.path.join(REPO, "tools", "fault_injection.txt")
UNIT_TIMEOUT = 180  # seconds per test: a fault may make a test hang
E2E_TIMEOUT = 600


@dataclass
class Mutation:
    ident: str
    path: str
    what: str
    fragment: str
    replacement: str
    line: int  # of its entry in the list


def read_mutations(list_path):
    """Parses the list; a malformed entry stops the run (status 3)."""
    mutations, current = [], None

    def finish():
        if current is None:
            return
        if current.fragment is None or current.replacement is None:
            sys.exit(f"{list_path}:{current.line}: {current.ident} needs a '-' and a '+' line")
        mutations.append(current)

    with open(list_path, encoding="utf-8") as listing:
        for number, raw in enumerate(listing, 1):
            text = raw.rstrip("\n")
            if text.startswith("== "):
                finish()
                fields = text[3:].split()
                if len(fields) != 2:
                    print(f"{list_path}:{number}: expected '== ID FILE'", file=sys.stderr)
                    sys.exit(3)
                current = Mutation(fields[0], fields[1], "", None, None, number)
            elif current is None or text.startswith("#") or not text.strip():
                continue
            elif text.startswith("- "):
                current.fragment = text[2:]
            elif text == "+" or text.startswith("+ "):
                current.replacement = text[2:]
            else:
                current.what = (current.what + " " + text.strip()).strip()
    finish()
    idents = [m.ident for m in mutations]
    repeated = {i for i in idents if idents.count(i) > 1}
    if repeated:
        print(f"{list_path}: repeated ids: {', '.join(sorted(repeated))}", file=sys.stderr)
        sys.exit(3)
    return mutations


def applicability(tree, mutation):
    """None when the fragment stands exactly once in its file, else why the fault is n/a."""
    path = os.path.join(tree, mutation.path)
    if not os.path.isfile(path):
        return "no such file"
    with open(path, encoding="utf-8") as source:
        count = source.read().count(mutation.fragment)
    if count == 1:
        return None
    return "fragment not found" if count == 0 else f"fragment found {count} times"


def run(command, cwd, log, timeout=None, env=None):
    """Runs a command with its output appended to the log; True when it exits 0."""
    with open(log, "a", encoding="utf-8") as output:
        output.write(f"\n$ {' '.join(command)}\n")
        output.flush()
        try:
            return subprocess.run(command, cwd=cwd, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=timeout, env=env, check=False).returncode == 0
        except subprocess.TimeoutExpired:
            output.write(f"timed out after {timeout} s\n")
            return False


def copy_tree(destination):
    """The working tree's files (tracked, and untracked but not ignored) as they are now."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=REPO, capture_output=True, check=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = os.path.join(REPO, name)
        if os.path.isfile(source):  # a tracked file may have been deleted
            target = os.path.join(destination, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(source, target)


class Scratch:
    """The scratch copy, its build, and the two test stages."""

    def __init__(self, root, log):
        self.tree = os.path.join(root, "tree")
        self.build = os.path.join(root, "build")
        self.log = log
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

    def configure(self):
        return run(["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG",
                    "-DQUILLET_BUILD_BENCH=OFF", "-DQUILLET_WERROR=OFF"], self.tree, self.log)

    def compile(self):
        return run(["cmake", "--build", self.build], self.tree, self.log)

    def unit_and_ui_pass(self):
        return run(["ctest", "--test-dir", self.build, "-L", "unit|ui", "-j2",
                    "--timeout", str(UNIT_TIMEOUT), "--output-on-failure"],
                   self.tree, self.log, env=self.env)

    def e2e_pass(self):
        return run(["ctest", "--test-dir", self.build, "-L", "e2e",
                    "--timeout", str(E2E_TIMEOUT), "--output-on-failure"],
                   self.tree, self.log, env=self.env)


def try_mutation(scratch, mutation):
    """Puts the fault in, builds and tests, takes it out: (result, stage that caught it)."""
    path = os.path.join(scratch.tree, mutation.path)
    with open(path, encoding="utf-8") as source:
        original = source.read()
    try:
        with open(path, "w", encoding="utf-8") as source:
            source.write(original.replace(mutation.fragment, mutation.replacement, 1))
        with open(scratch.log, "a", encoding="utf-8") as output:
            output.write(f"\n=== {mutation.ident}: {mutation.path}\n")
        if not scratch.compile():
            return "no build"
        if not scratch.unit_and_ui_pass():
            return "unit|ui"
        if not scratch.e2e_pass():
            return "e2e"
        return "MISSED"
    finally:
        with open(path, "w", encoding="utf-8") as source:
            source.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", default=DEFAULT_LIST, help="the faults (default: %(default)s)")
    parser.add_argument("--only", help="comma-separated ids of the faults to inject")
    parser.add_argument("--check", action="store_true",
                        help="only say which faults apply to the working tree; build nothing")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy and its log")
    parser.add_argument("--fail-on-missed", action="store_true",
                        help="exit 1 when a fault is missed")
    options = parser.parse_args()

    mutations = read_mutations(options.list)
    if options.only:
        wanted = options.only.split(",")
        unknown = [i for i in wanted if i not in {m.ident for m in mutations}]
        if unknown:
            print(f"unknown ids: {', '.join(unknown)}", file=sys.stderr)
            return 3
        mutations = [m for m in mutations if m.ident in wanted]

    if options.check:
        missing = 0
        for mutation in mutations:
            problem = applicability(REPO, mutation)
            missing += problem is not None
            print(f"{mutation.ident:32} {mutation.path:40} {problem or 'applies'}")
        print(f"{len(mutations) - missing} of {len(mutations)} apply")
        return 0

    if os.geteuid() != 0:
        print("warning: not root, so the end-to-end tests skip themselves and catch nothing",
              file=sys.stderr)
    root = tempfile.mkdtemp(prefix="quillet-faults.")
    log = os.path.join(root, "fault_injection.log")
    scratch = Scratch(root, log)
    started = time.monotonic()
    try:
        copy_tree(scratch.tree)
        print(f"scratch copy {scratch.tree}, log {log}", flush=True)
        if not (scratch.configure() and scratch.compile()):
            print(f"the unmutated tree does not build: see {log}", file=sys.stderr)
            options.keep = True
            return 2
        if not (scratch.unit_and_ui_pass() and scratch.e2e_pass()):
            print(f"the unmutated tree fails its tests: see {log}", file=sys.stderr)
            options.keep = True
            return 2
        print(f"unmutated tree: built and passed in {time.monotonic() - started:.0f} s", flush=True)

        results = []
        for number, mutation in enumerate(mutations, 1):
            began = time.monotonic()
            problem = applicability(scratch.tree, mutation)
            result = "n/a" if problem else try_mutation(scratch, mutation)
            seconds = time.monotonic() - began
            results.append((mutation, result, problem, seconds))
            print(f"[{number}/{len(mutations)}] {mutation.ident:32} {result:9} {seconds:5.0f} s"
                  f"{'  (' + problem + ')' if problem else ''}", flush=True)
        # The last fault has been taken out; the build is left as the unmutated tree's.
        scratch.compile()
    finally:
        if not options.keep:
            shutil.rmtree(root, ignore_errors=True)

    print(f"\n{'fault':32} {'file':40} result")
    for mutation, result, problem, _ in results:
        note = f"  ({problem})" if problem else ""
        print(f"{mutation.ident:32} {mutation.path:40} {result}{note}")
    count = {kind: sum(1 for _, r, _, _ in results if r == kind)
             for kind in ("unit|ui", "e2e", "MISSED", "no build", "n/a")}
    tried = count["unit|ui"] + count["e2e"] + count["MISSED"]
    print(f"\ncaught {count['unit|ui'] + count['e2e']} of {tried} "
          f"(unit|ui {count['unit|ui']}, e2e {count['e2e']}), missed {count['MISSED']}, "
          f"no build {count['no build']}, not applicable {count['n/a']}; "
          f"{(time.monotonic() - started) / 60:.0f} min")
    for mutation, result, _, _ in results:
        if result == "MISSED":
            print(f"  missed {mutation.ident} ({mutation.path}): {mutation.what}")
    return 1 if options.fail_on_missed and count["MISSED"] else 0


if __name__ == "__main__":
    sys.exit(main())
