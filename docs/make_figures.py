"""Redraws the figures of the README: run `python docs/make_figures.py` (needs veldrin and Graphviz's dot)."""

import contextlib
import io
import pathlib
import runpy
import subprocess

root = pathlib.Path(__file__).resolve().parent.parent

# The graph the quickstart example ends with, drawn by Graphviz.
with contextlib.redirect_stdout(io.StringIO()):
    quickstart = runpy.run_path(str(root / "examples" / "quickstart.py"))
svg = subprocess.run(["dot", "-Tsvg"], input=quickstart["g"].to_dot(), capture_output=True, text=True,
                     check=True).stdout
(root / "docs" / "quickstart.svg").write_text(svg)
print("wrote docs/quickstart.svg")
