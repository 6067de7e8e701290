#!/usr/bin/python3
"""Every picture the tests and the fuzzer keep (tests/fixtures, fuzz/corpus),
drawn as three pages, against what the program wrote when they were last
looked at: a digest of each page, of its messages and its exit status, in
tests/pages.txt. A change to any decoder, the scaling or the writer shows up
as the lines it changed; when the change is meant, write the file anew with
--update and read its difference before committing it.

The runs have an address space limit of 1 GiB, so that a picture too large
to hold is refused alike on every machine.

Usage: pages_test.py MOTTLEPAGE SOURCE_DIR [--update]
"""
import hashlib
import os
import resource
import subprocess
import sys

RUNS = [
    lambda name: [name, "ab", "10", "20", "30"],
    lambda name: ["--html5", "--width", "12", name, "\u2588"],
    lambda name: [name, "--half-blocks", "--height", "7", "", "200", "100", "0"],
]


def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def lines(program, source):
    for folder in ("tests/fixtures", "fuzz/corpus"):
        for name in sorted(os.listdir(os.path.join(source, folder))):
            if name.endswith((".sh", ".md")):
                continue
            for number, run in enumerate(RUNS):
                done = subprocess.run([program] + run(name), cwd=os.path.join(source, folder),
                                      stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=limit_memory)
                yield "%s/%s %d: status %d, page %s, messages %s" % (
                    folder, name, number, done.returncode, digest(done.stdout), digest(done.stderr))


def main():
    program, source = os.path.abspath(sys.argv[1]), sys.argv[2]
    stored_path = os.path.join(source, "tests", "pages.txt")
    now = list(lines(program, source))
    if "--update" in sys.argv:
        open(stored_path, "w").write("\n".join(now) + "\n")
        return 0
    stored = open(stored_path).read().splitlines()
    changed = sorted(set(now) ^ set(stored))
    for line in changed:
        print(("now:    " if line in now else "stored: ") + line)
    return 1 if changed else 0


sys.exit(main())
