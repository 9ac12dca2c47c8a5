#!/usr/bin/env python3
"""Mutation check: do the driver's tests notice when the driver is wrong?

Makes one small change at a time to the driver's sources (a flipped
comparison, && and || swapped, a constant off by one, a statement dropped,
success turned into failure, a bit operator swapped), rebuilds the driver's
test binaries, runs them, and puts the change back. A change that no test
notices -- a survivor -- is a place where a real fault would hide too.

    scripts/mutants.py [--sample N] [--seed S] [PATH ...]

PATH: files or folders of driver sources (default: adapter topology wave).
A seeded random sample of the candidates is tried (--all tries every one).
Run it from a clean checkout: it edits the sources in place and restores each
file after its mutant (also when interrupted), and builds in a directory of
its own (--build-dir, configured on first use).

Survivors listed as equivalent in tests/README.md (the table under
"Equivalent mutants": file, line text, change, reason) are reported as such
and left out of the score. The score is killed / (killed + survived); mutants
that do not compile are counted apart.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER_TESTS = ["topology_tests", "wave_tests", "adapter_tests", "kernel_tests", "thread_tests"]
SOURCE_SUFFIXES = (".cpp", ".h")

# Lines that only check or describe, never act: a change there says nothing about the tests.
SKIP_LINE = re.compile(r"^\s*(#|static_assert|PAGED_CODE\(\)|ASSERT\(|DBG_|PAGED_ROUTINE|NONPAGED_ROUTINE)")
TOKEN = re.compile(r"<<=|>>=|<<|>>|<=|>=|==|!=|&&|\|\||->|<|>")
RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")
BITOP = re.compile(r"(?<=\s)([|&^+-])(?=\s)")
BITSWAP = {"|": "&", "&": "|", "^": "|", "+": "-", "-": "+"}
WORDSWAP = {"STATUS_SUCCESS": "STATUS_UNSUCCESSFUL", "TRUE": "FALSE", "FALSE": "TRUE",
            "true": "false", "false": "true"}
WORD = re.compile(r"\b(" + "|".join(WORDSWAP) + r")\b")
NOT = re.compile(r"!(?=[\w(])(?!=)")
# A statement that does something: a call or an assignment, alone on its line.
STATEMENT = re.compile(r"^\s*\*?[A-Za-z_][\w.\->\[\]]*\s*(\(.*\)|(=|\+=|-=|\|=|&=|<<=|>>=)[^=].*|\+\+|--)\s*;\s*$")
NOT_A_STATEMENT = re.compile(r"^\s*(return|if|while|for|switch|case|else|break|continue|goto|typedef|using|const|static)\b")


def mask(line, in_comment):
    """The line with comments and string/char literals blanked (same length), and the comment state after it."""
    out = []
    i = 0
    n = len(line)
    while i < n:
        if in_comment:
            end = line.find("*/", i)
            if end < 0:
                out.append(" " * (n - i))
                i = n
            else:
                out.append(" " * (end + 2 - i))
                i = end + 2
                in_comment = False
            continue
        c = line[i]
        if line.startswith("/*", i):
            in_comment = True
            continue
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + (c if j - i >= 2 else ""))
            i = j
            continue
        out.append(c)
        i += 1
    return "".join(out), in_comment


def candidates_in(path):
    """Every mutant of one file: (path, line number, original line, mutated line, description)."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    found = []
    in_comment = False
    for number, line in enumerate(lines, 1):
        code, in_comment = mask(line, in_comment)
        if not code.strip() or SKIP_LINE.match(code) or "template" in code or "_cast<" in code:
            continue

        def add(start, end, new, what):
            found.append((path, number, line, line[:start] + new + line[end:], what))

        for m in TOKEN.finditer(code):
            if m.group() in RELATIONAL:
                add(m.start(), m.end(), RELATIONAL[m.group()], f"'{m.group()}' -> '{RELATIONAL[m.group()]}'")
        for m in NUMBER.finditer(code):
            text, suffix = m.group(1), m.group(2)
            value = int(text, 0)
            hexa = text.lower().startswith("0x")
            for other in ([value + 1] if value == 0 else [value - 1, value + 1]):
                new = (f"0x{other:0{len(text) - 2}X}" if hexa else str(other)) + suffix
                add(m.start(), m.end(), new, f"{text} -> {new[:len(new) - len(suffix)] if suffix else new}")
        for m in BITOP.finditer(code):
            add(m.start(), m.end(), BITSWAP[m.group()], f"'{m.group()}' -> '{BITSWAP[m.group()]}'")
        for m in WORD.finditer(code):
            add(m.start(), m.end(), WORDSWAP[m.group()], f"{m.group()} -> {WORDSWAP[m.group()]}")
        for m in NOT.finditer(code):
            add(m.start(), m.end(), "", "'!' dropped")
        if STATEMENT.match(code) and not NOT_A_STATEMENT.match(code):
            indent = line[: len(line) - len(line.lstrip())]
            add(0, len(line), indent + ";", "statement dropped")
    return found


def collect(paths):
    files = []
    for p in paths:
        full = os.path.join(ROOT, p)
        if os.path.isdir(full):
            for base, _, names in os.walk(full):
                files += [os.path.join(base, n) for n in names if n.endswith(SOURCE_SUFFIXES)]
        elif os.path.isfile(full):
            files.append(full)
        else:
            sys.exit(f"mutants: no such file or folder: {p}")
    result = []
    for f in sorted(files):
        result += candidates_in(f)
    return result


def rel(path):
    return os.path.relpath(path, ROOT)


def listed_equivalents():
    """(file, line text, change) triples from the table in tests/README.md."""
    readme = os.path.join(ROOT, "tests", "README.md")
    known = set()
    if not os.path.exists(readme):
        return known
    in_table = False
    with open(readme, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                in_table = "equivalent mutants" in line.lower()
                continue
            if in_table and line.startswith("|") and not line.startswith("|--") and not line.startswith("| File"):
                # A cell may hold an escaped pipe ("'&' -> '\|'"): split only on the others.
                cells = [c.strip() for c in re.split(r"(?<!\\)\|", line.strip().strip("|"))]
                # A note may follow the quoted line text: "`x = 0;` (failed allocation)".
                cells = [c[1:c.index("`", 1)] if c.startswith("`") and "`" in c[1:] else c.strip("`") for c in cells]
                if len(cells) >= 3:
                    known.add((cells[0], cells[1].replace("\\|", "|"), cells[2].replace("\\|", "|")))
    return known


def run(cmd, timeout, log):
    """Runs a command in its own process group; returns (exit status or None on time-out)."""
    proc = subprocess.Popen(cmd, cwd=ROOT, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", default=["adapter", "topology", "wave"])
    parser.add_argument("--sample", type=int, default=40, help="mutants drawn at random (default 40)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    parser.add_argument("--all", action="store_true", help="try every candidate")
    parser.add_argument("--list", action="store_true", help="list the drawn candidates, build nothing")
    parser.add_argument("--shard", default="1/1", help="K/N: try only every Nth drawn mutant from the Kth, so N "
                        "checkouts can share one draw (default 1/1)")
    parser.add_argument("--build-dir", default="build-mutants", help="build directory (default build-mutants)")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    parser.add_argument("--tests", default=",".join(DRIVER_TESTS), help="test binaries, comma-separated")
    parser.add_argument("--timeout", type=int, default=120, help="seconds for one test binary (default 120)")
    parser.add_argument("--report", help="also write the report to this file (markdown)")
    args = parser.parse_args()

    everything = collect(args.paths)
    chosen = everything if args.all else random.Random(args.seed).sample(everything, min(args.sample, len(everything)))
    shard, shards = (int(x) for x in args.shard.split("/"))
    if not 1 <= shard <= shards:
        sys.exit(f"mutants: bad --shard {args.shard}")
    drawn = len(chosen)
    chosen = chosen[shard - 1::shards]
    print(f"{len(everything)} candidates in {' '.join(args.paths)}; drew {drawn} (seed {args.seed}), "
          f"trying {len(chosen)} (shard {shard}/{shards})")
    if args.list:
        for path, number, _, _, what in chosen:
            print(f"{rel(path)}:{number}: {what}")
        return 0

    build_dir = os.path.join(ROOT, args.build_dir)
    tests = [t for t in args.tests.split(",") if t]
    log_path = os.path.join(build_dir, "mutants.log")
    # Each mutant relinks every test binary: a faster linker, where there is one, pays off.
    linker = ["-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld"] if shutil.which("ld.lld") else []
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        os.makedirs(build_dir, exist_ok=True)
        # The project's default build type: the one the suite is known to pass in.
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DZATAC97_BENCH=OFF", "-DZATAC97_SANITIZE=OFF"] + linker, check=True, stdout=subprocess.DEVNULL)
    build = ["cmake", "--build", build_dir, "-j", str(args.jobs), "--target"] + tests

    def build_of(target):
        return ["cmake", "--build", build_dir, "-j", str(args.jobs), "--target", target]

    def binary(name):
        for base, _, names in os.walk(os.path.join(build_dir, "tests")):
            if name in names:
                return os.path.join(base, name)
        sys.exit(f"mutants: no test binary {name} in {build_dir}")

    def test_order(path):
        # The binary of the mutated layer first: it is the likeliest to fail, and the first failure ends the run.
        layer = rel(path).split(os.sep)[0]
        return sorted(tests, key=lambda t: 0 if t.startswith(layer) else 1)

    def verdict(path):
        # Each binary is built just before it runs: most mutants die in the first, and the rest need no relink.
        with open(log_path, "ab") as log:
            for t in test_order(path):
                if run(build_of(t), 1800, log) != 0:
                    return "unbuilt"
                status = run([binary(t), "--gtest_brief=1", "--gtest_fail_fast"], args.timeout, log)
                if status != 0:
                    return "killed" if status is not None else "killed (time-out)"
        return "survived"

    with open(log_path, "wb") as log:
        print("baseline: building and running the unchanged tests ...", flush=True)
        if run(build, 3600, log) != 0:
            sys.exit(f"mutants: the unchanged build fails; see {log_path}")
        for t in tests:
            if run([binary(t), "--gtest_brief=1"], args.timeout * 3, log) != 0:
                sys.exit(f"mutants: {t} fails without any mutant; see {log_path}")

    equivalents = listed_equivalents()
    results = []
    current = {}

    def restore(*_):
        if current:
            with open(current["path"], "w", encoding="utf-8") as f:
                f.write(current["text"])
            current.clear()

    def interrupted(*_):
        restore()
        sys.exit("mutants: interrupted; the sources are restored")

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    started = time.time()
    for index, (path, number, original, mutated, what) in enumerate(chosen, 1):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        lines = text.split("\n")
        assert lines[number - 1] == original, f"{rel(path)}:{number} changed under the run"
        lines[number - 1] = mutated
        current.update(path=path, text=text)
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            outcome = verdict(path)
        finally:
            restore()
        key = (rel(path), original.strip(), what)
        # A row whose change reads "any ..." covers every constant change in that file's DEFINE_GUID lines.
        anywhere = any(f == key[0] and c.startswith("any") for f, _, c in equivalents)
        if outcome == "survived" and (key in equivalents or (anywhere and "DEFINE_GUID" in key[1] and "->" in what)):
            outcome = "equivalent"
        results.append((outcome, rel(path), number, original.strip(), what))
        print(f"[{index}/{len(chosen)}] {outcome:<18} {rel(path)}:{number}: {what}", flush=True)
    # Bring the build back to the unchanged sources.
    with open(log_path, "ab") as log:
        run(build, 1800, log)

    count = {k: sum(1 for r in results if r[0].startswith(k)) for k in ("killed", "survived", "equivalent", "unbuilt")}
    judged = count["killed"] + count["survived"]
    score = 100.0 * count["killed"] / judged if judged else 100.0
    report = [f"# Mutation check: {' '.join(args.paths)}, seed {args.seed}, shard {args.shard}, {len(chosen)} mutants",
              "",
              f"- killed: {count['killed']}", f"- survived: {count['survived']}",
              f"- equivalent (listed in tests/README.md): {count['equivalent']}",
              f"- did not build: {count['unbuilt']}",
              f"- score: {score:.1f}% of the mutants that build and are not listed as equivalent",
              f"- time: {time.time() - started:.0f} s", ""]
    survivors = [r for r in results if r[0] == "survived"]
    if survivors:
        report += ["## Survivors", "", "| File | Line | Text | Change |", "|---|---|---|---|"]
        report += [f"| {f} | {n} | `{t}` | {w} |".replace("`||`", "`\\|\\|`") for _, f, n, t, w in survivors]
    print("\n".join(report))
    if args.report:
        with open(args.report, "w", encoding="utf-8") as f:
            f.write("\n".join(report) + "\n")
    return 0 if not survivors else 1


if __name__ == "__main__":
    sys.exit(main())
