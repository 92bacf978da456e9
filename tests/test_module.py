import importlib
import os
import subprocess
import sys
import weakref

import pytest
import veldrin

CLASSES = {  # registration order and constructor signatures
    "Variable": "(name)", "Application": "(left, right)", "Term": "(name, type)",
    "Node": "(type, properties=None)", "Edge": "(term, start, end, properties=None)", "Graph": "()",
    "TypeSchema": "(pattern)", "NodePattern": "(variable=None, type=..., type_schema=None, properties=None)",
    "EdgePattern": "(variable=None, term=None, term_type_schema=None, properties=None, direction=...)",
    "PathPattern": "(pattern=None)", "Query": "(graph)",
}
A = veldrin.Variable("A")
SAMPLES = {"Variable": A, "Application": veldrin.Application(A, A), "Term": veldrin.Term("t", A)}


def test_module_attributes():
    assert veldrin.__all__[:3] == ["Variable", "Application", "Term"]
    assert veldrin.__all__ == [n for n in CLASSES if hasattr(veldrin, n)]
    assert all(isinstance(getattr(veldrin, n), type) for n in veldrin.__all__)
    assert veldrin.__doc__.startswith("A Python module for type theoretical graph modeling")
    assert "Classes Exposed" in veldrin.__doc__ and all(n in veldrin.__doc__ for n in CLASSES)
    assert not hasattr(veldrin, "PanicException") and "PanicException" not in dir(veldrin)


@pytest.mark.parametrize("name", list(CLASSES))
def test_class_frame(name):
    if not hasattr(veldrin, name):
        pytest.skip(f"{name} is not registered yet")
    cls = getattr(veldrin, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,) and cls.__text_signature__ == CLASSES[name]
    assert cls.__doc__ and not cls.__doc__.startswith(name + "(")
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", list(CLASSES))
def test_classes_are_immutable(name):
    cls = getattr(veldrin, name)
    before = dict(vars(cls))
    for attr in ("uid", "__doc__", "__new__", "color"):
        for change in (lambda: setattr(cls, attr, None), lambda: delattr(cls, attr)):
            with pytest.raises(TypeError) as info:
                change()
            assert str(info.value) == f"cannot set '{attr}' attribute of immutable type 'builtins.{name}'"
    assert dict(vars(cls)) == before


@pytest.mark.parametrize("name, summary", [
    ("Variable", "Represents an atomic type variable."),
    ("Application", "Represents a function type (application type)."),
    ("Term", "Represents a typed term in the type theory."),
])
def test_type_class_docs_and_uid(name, summary):
    cls, obj = getattr(veldrin, name), SAMPLES[name]
    assert cls.__doc__.splitlines()[0] == summary
    assert cls.uid.__text_signature__ == "($self)"
    assert cls.uid.__doc__.startswith(f"Returns a unique identifier for this {name.lower()}.")
    for args, kwargs in [((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError):
            obj.uid(*args, **kwargs)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.color = 1
    with pytest.raises(AttributeError):
        obj.color


def test_read_only_attributes_and_their_docs():
    assert veldrin.Application.left.__doc__ == "Gets the left (input) type of this application."
    assert veldrin.Application.right.__doc__ == "Gets the right (output) type of this application."
    assert veldrin.Term.type.__doc__.startswith("Gets the type of this term.")
    for obj, attr in [(SAMPLES["Application"], "left"), (SAMPLES["Application"], "right"), (SAMPLES["Term"], "type")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, A)
        with pytest.raises(AttributeError):
            delattr(obj, attr)


def test_reimport_returns_the_same_module():
    original = sys.modules.pop("veldrin")
    try:
        again = importlib.import_module("veldrin")
        assert again is original and again.Variable is original.Variable
    finally:
        sys.modules["veldrin"] = original


# Child process: import the module, then import it again from a second
# interpreter made through the C API (legacy configuration, shared GIL).
SUBINTERPRETER_SCRIPT = '''
import os, sys
try:
    import _testcapi
except ImportError:
    print("SKIP")
    sys.exit(0)
import veldrin
r, w = os.pipe()
_testcapi.run_in_subinterp(f"""
import os, sys
sys.path.insert(0, {os.path.dirname(veldrin.__file__)!r})
try:
    import veldrin
    result = "imported"
except ImportError:
    result = "ImportError"
except BaseException as exc:
    result = type(exc).__name__
os.write({w}, result.encode())
""")
os.close(w)
print(os.read(r, 100).decode())
print(veldrin.Application(veldrin.Variable("A"), veldrin.Variable("B")))
'''


def test_second_interpreter_is_refused():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER_SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.split() == ["SKIP"]:
        pytest.skip("_testcapi is not available")
    assert proc.stdout.splitlines() == ["ImportError", "(A -> B)"]
