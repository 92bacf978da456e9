"""Checks the installed stubs: stubtest against the installed module, `mypy --strict` over the
examples and the typed program, and the deliberate mistakes, each of which must draw exactly
the error written beside it.  Run it with the interpreter that has veldrin and mypy installed
(`pip install ".[typing]"`); it exits non-zero on the first failing check."""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
EXPECTED = re.compile(r"#\s*E:\s*(.+?)\s*$")
ERROR = re.compile(r"^(.+?):(\d+): error: (.+)$")


def run(title, *args, cwd):
    print(f"-- {title}", flush=True)
    # From an empty directory, so that the installed stubs are the ones found.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def fail(title, output):
    sys.exit(f"{title} failed:\n{output}")


def expected_errors(path):
    lines = path.read_text().splitlines()
    return {(n, m.group(1)) for n, line in enumerate(lines, 1) if (m := EXPECTED.search(line))}


def main():
    with tempfile.TemporaryDirectory() as cwd:
        mypy = ("mypy", "--strict", "--no-error-summary", "--cache-dir", f"{cwd}/.mypy_cache")

        title = "stubtest"
        r = run(title, "mypy.stubtest", "veldrin",
                "--allowlist", str(HERE / "stubtest-allowlist.txt"), cwd=cwd)
        if r.returncode != 0:
            fail(title, r.stdout)

        title = "mypy --strict over examples/ and the typed program"
        r = run(title, *mypy, str(ROOT / "examples"), str(HERE / "typed_program.py"), cwd=cwd)
        if r.returncode != 0 or r.stdout.strip():
            fail(title, r.stdout)

        title = "mypy --strict over the deliberate mistakes"
        mistakes = HERE / "mistakes.py"
        r = run(title, *mypy, str(mistakes), cwd=cwd)
        want = expected_errors(mistakes)
        got = {(int(m.group(2)), m.group(3)) for m in map(ERROR.match, r.stdout.splitlines()) if m}
        if r.returncode != 1 or not want or got != want:
            report = [f"missing  line {n}: {msg}" for n, msg in sorted(want - got)]
            report += [f"surplus  line {n}: {msg}" for n, msg in sorted(got - want)]
            fail(title, "\n".join(report) or r.stdout)
        print(f"   {len(want)} mistakes caught as expected")

        title = "the typed program runs"
        print(f"-- {title}", flush=True)
        r = subprocess.run([sys.executable, str(HERE / "typed_program.py")], cwd=cwd, text=True,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode != 0:
            fail(title, r.stdout)


if __name__ == "__main__":
    main()
