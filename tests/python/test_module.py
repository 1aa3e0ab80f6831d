"""The module as a whole: its exception hierarchy, submodules and import rules."""

import subprocess
import sys
import textwrap

import pytest

import morvane

HIERARCHY = [
    ("MorvaneError", Exception, "Base class for every Morvane runtime error."),
    ("BackendError", morvane.MorvaneError, "A quantum-execution backend failed at runtime."),
    ("CunqaError", morvane.BackendError,
     "A failure originating in the CUNQA distributed-QPU backend."),
    ("QmioError", morvane.BackendError,
     "A failure on the QMIO real-QPU network/serialisation path."),
    ("NativeCircuitError", morvane.BackendError, None),
    ("EvaluationError", morvane.MorvaneError,
     "An oracle/expectation-evaluation failure during training."),
]


@pytest.mark.parametrize("name, base, doc", HIERARCHY)
def test_exception_classes(name, base, doc):
    cls = getattr(morvane, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "morvane"
    assert cls.__qualname__ == name
    if doc is not None:
        assert cls.__doc__ == doc
    else:
        assert cls.__doc__


def test_evaluation_errors_are_not_backend_errors():
    assert not issubclass(morvane.EvaluationError, morvane.BackendError)


def test_the_seam_errors_are_morvane_errors():
    # The seam's exceptions reach the caller unchanged, so they must be in our
    # hierarchy for `except morvane.MorvaneError` to catch them; they stay
    # RuntimeErrors for code written before they were.
    from morvane_python.errors import FamilyError, QPUError, SeamError

    assert SeamError.__bases__ == (morvane.BackendError, RuntimeError)
    assert FamilyError.__bases__ == (SeamError, morvane.CunqaError)
    assert QPUError.__bases__ == (SeamError, morvane.CunqaError)
    for cls in (SeamError, FamilyError, QPUError):
        assert issubclass(cls, morvane.MorvaneError) and issubclass(cls, RuntimeError)
    error = QPUError("QPU 1 failed", family="f", qpu=1, address=("127.0.0.1", 5), reason="died")
    assert str(error) == "QPU 1 failed"
    assert (error.family, error.qpu, error.address, error.reason) == (
        "f", 1, ("127.0.0.1", 5), "died")


def test_the_seam_imports_before_the_module():
    # A QPU server (`python -m morvane_python.qpu`) imports the seam first.
    script = textwrap.dedent("""
        import sys
        from morvane_python.errors import FamilyError
        import morvane
        assert sys.modules["morvane"] is morvane
        assert issubclass(FamilyError, morvane.CunqaError)
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_submodules_are_importable_and_identical_to_the_attributes():
    import morvane.circuits.templates
    import morvane.qml

    assert sys.modules["morvane.qml"] is morvane.qml
    assert sys.modules["morvane.circuits"] is morvane.circuits
    assert sys.modules["morvane.circuits.templates"] is morvane.circuits.templates
    from morvane.circuits import templates

    assert templates is morvane.circuits.templates


def test_second_import_returns_the_cached_module():
    import importlib

    assert importlib.import_module("morvane") is morvane


def test_backend_cleanup_failures_takes_no_arguments():
    # The count itself is exercised by the backend tests; other tests in this
    # process may already have added to it.
    assert isinstance(morvane.backend_cleanup_failures(), int)
    with pytest.raises(TypeError):
        morvane.backend_cleanup_failures(1)


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_import_from_a_second_interpreter_is_refused(config):
    script = textwrap.dedent(f"""
        import morvane, _interpreters
        interp = _interpreters.create({config!r})
        failure = _interpreters.exec(interp, "import morvane")
        print(failure.type.__name__ if failure else "imported")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ImportError"
