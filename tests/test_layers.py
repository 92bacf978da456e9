"""scripts/check_includes.py, the layering check CI runs over src/, on small trees of its own."""
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "check_includes.py"
LAYERS = "# A\n\n## Layers\n\n```text\ntop\nleft right\nbase\n```\n"
TREE = {"top/a.cpp": ["top/a.hpp", "left/b.hpp", "base/c.hpp"], "top/a.hpp": [],
        "left/b.hpp": ["base/c.hpp"], "right/d.cpp": ["base/c.hpp"], "base/c.hpp": []}


@pytest.mark.parametrize("change, fault", [
    ({}, None),
    ({"base/c.hpp": ["top/a.hpp"]}, 'base/c.hpp:2: includes "top/a.hpp", pointing upward (base -> top)'),
    ({"left/b.hpp": ["right/d.cpp"]}, "pointing sideways (left -> right)"),
    ({"top/a.hpp": ["top/a.cpp"]}, "include cycle: top/a.cpp -> top/a.hpp -> top/a.cpp"),
    ({"top/a.hpp": ["base/e.hpp"]}, 'includes "base/e.hpp", which is no file below src/'),
    ({"other/f.hpp": []}, "folder 'other' is in no layer"),
])
def test_layering_faults_are_reported(tmp_path, change, fault):
    (tmp_path / "ARCHITECTURE.md").write_text(LAYERS)
    for name, includes in {**TREE, **change}.items():
        path = tmp_path / "src" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("// x\n" * (name == "base/c.hpp") + "".join(f'#include "{i}"\n' for i in includes))
    proc = subprocess.run([sys.executable, SCRIPT, tmp_path], capture_output=True, text=True)
    assert proc.returncode == (fault is not None) and (fault or "") in proc.stderr, proc.stderr
