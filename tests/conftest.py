import json
import os
import subprocess
import sys

import pytest
import veldrin


def stream(t):
    """The hash stream of a type: tag, components, tag; a text is its UTF-8 bytes and 0xFF."""
    if isinstance(t, veldrin.Variable):
        return bytes(8) + t.name.encode() + b"\xff" + bytes(8)
    return (1).to_bytes(8, "little") + stream(t.left) + stream(t.right) + bytes(8)


def hash_input(obj):
    if isinstance(obj, veldrin.Variable):
        return obj.name.encode() + b"\xff"
    if isinstance(obj, veldrin.Application):
        return stream(obj.left) + stream(obj.right)
    return obj.name.encode() + b"\xff" + stream(obj.type)


@pytest.fixture(scope="session")
def siphash():
    """Expected hashes of veldrin values, from CPython's own SipHash-1-3: with
    PYTHONHASHSEED=0 its key is all zero, and bytes hash straight through it."""
    if sys.version_info < (3, 11):
        pytest.skip("bytes hash with SipHash-1-3 only from CPython 3.11 on")
    script = ("import json, sys; print(json.dumps([sys.hash_info.algorithm, sys.hash_info.width,"
              " [hash(bytes.fromhex(h)) for h in json.load(sys.stdin)]]))")

    def expected(*objs):
        out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONHASHSEED="0"),
                             input=json.dumps([hash_input(o).hex() for o in objs]),
                             capture_output=True, text=True, check=True).stdout
        algorithm, width, hashes = json.loads(out)
        if (algorithm, width) != ("siphash13", 64):
            pytest.skip(f"this interpreter hashes bytes with {algorithm}/{width}")
        return hashes

    return expected


# Property tests run fewer examples under continuous integration (HYPOTHESIS_PROFILE=ci).
try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # the property tests skip themselves without hypothesis
    _hypothesis_settings = None
if _hypothesis_settings is not None:
    _hypothesis_settings.register_profile("ci", max_examples=100, deadline=None)
    if os.environ.get("HYPOTHESIS_PROFILE"):
        _hypothesis_settings.load_profile(os.environ["HYPOTHESIS_PROFILE"])
