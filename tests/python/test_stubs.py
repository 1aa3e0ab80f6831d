"""What mypy.stubtest (run by `make test`) does not compare between the installed stubs and the
module: the bases of each class, and which attributes can be written."""

import ast
import pathlib
import sysconfig

import pytest

import morvane

STUBS = pathlib.Path(sysconfig.get_paths()["purelib"]) / "morvane-stubs" / "__init__.pyi"


def stub_classes():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    return [node for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")]


def instances():
    """One object of every class that has attributes, made the ordinary way."""
    bell = morvane.Circuit(1).h(0).measure_all()
    seen = []
    trained = morvane.train(morvane.Circuit(1).rx(0, morvane.Param(0)).measure_all(),
                            morvane.DE(generations=1, population_size=4), 8, 1, 1,
                            lambda bits: 1.0, "local", 1, 1, "stubs", backend="morvane",
                            seed=1, callback=seen.append)
    return {"DE": morvane.DE(), "PSO": morvane.PSO(), "QNG": morvane.QNG(len),
            "Circuit": bell, "Param": morvane.Param(0),
            "ParamExpression": 2 * morvane.Param(0), "Qubo": morvane.Qubo(1),
            "Ising": morvane.Ising(1), "CachedCost": morvane.CachedCost(len),
            "PauliSum": morvane.PauliSum([("Z", 1.0)]),
            "RunResult": morvane.run_quantum_circuit(bell, 4, "local", backend="morvane"),
            "TrainResult": trained, "TrainProgress": seen[0]}


@pytest.fixture(scope="module")
def objects():
    return instances()


@pytest.mark.parametrize("node", stub_classes(), ids=lambda node: node.name)
def test_stub_class_matches_the_runtime_class(node, objects):
    runtime = getattr(morvane, node.name)
    assert [ast.unparse(base) for base in node.bases] == [
        base.__name__ for base in runtime.__bases__ if base is not object]
    if issubclass(runtime, BaseException):
        return
    instance = objects[node.name]
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and "ClassVar" not in ast.unparse(item.annotation):
            name = item.target.id
            setattr(instance, name, getattr(instance, name))    # a plain attribute is writable
        elif isinstance(item, ast.FunctionDef) and any(
                ast.unparse(d) == "property" for d in item.decorator_list):
            with pytest.raises(AttributeError):
                setattr(instance, item.name, getattr(instance, item.name))
