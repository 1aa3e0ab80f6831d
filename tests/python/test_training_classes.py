"""The optimiser classes DE, PSO, QNG and the observable classes Qubo, Ising, CachedCost."""

import gc
import inspect
import math

import numpy as np
import pytest

import morvane
from morvane import DE, PSO, QNG, CachedCost, Ising, Qubo

PI_BOX = (-math.pi, math.pi)


def variance(theta, index):
    return 1.0


DEFAULTS = {
    DE: dict(generations=100, population_size=50, tolerance=0.01, patience=20, seed=None),
    PSO: dict(generations=100, population_size=50, bounds=PI_BOX, inertia_weight=0.5,
              cognitive_weight=1.0, social_weight=1.0, tolerance=0.01, seed=None),
    QNG: dict(variance_function=variance, max_iters=100, bounds=PI_BOX, learning_rate=0.1,
              finite_difference_step=0.1, tikhonov_reg=0.05, seed=None),
}


def make(cls, **kwargs):
    return cls(variance, **kwargs) if cls is QNG else cls(**kwargs)


@pytest.mark.parametrize("cls", DEFAULTS)
def test_defaults(cls):
    obj = make(cls)
    assert {name: getattr(obj, name) for name in DEFAULTS[cls]} == DEFAULTS[cls]
    assert PSO().bounds == (-3.141592653589793, 3.141592653589793)


@pytest.mark.parametrize("cls, signature, doc", [
    (DE, "(generations=100, population_size=50, tolerance=0.01, patience=20, seed=None)",
     "Differential Evolution optimizer configuration."),
    (PSO, "(generations=100, population_size=50, bounds=..., inertia_weight=0.5, "
          "cognitive_weight=1.0, social_weight=1.0, tolerance=0.01, seed=None)",
     "Particle Swarm Optimization configuration."),
    (QNG, "(variance_function, max_iters=100, bounds=..., learning_rate=0.1, "
          "finite_difference_step=0.1, tikhonov_reg=0.05, seed=None)",
     "Quantum Natural Gradient optimizer configuration."),
    (Qubo, "(num_vars, linear=None, quadratic=None, constant=0.0, scale=1.0)", None),
    (Ising, "(num_vars, fields=None, couplings=None, constant=0.0, scale=1.0)", None),
    (CachedCost, "(cost_fn)", None),
])
def test_text_signatures_and_docstrings(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__module__ == "morvane" and cls.__qualname__ == cls.__name__
    parameters = inspect.signature(cls).parameters
    assert list(parameters) == [p.split("=")[0] for p in signature[1:-1].split(", ")]
    if doc is not None:
        assert cls.__doc__ == doc
    if cls in DEFAULTS:
        assert [p.default for p in parameters.values() if p.default is not p.empty] == \
            [Ellipsis if name == "bounds" else value
             for name, value in DEFAULTS[cls].items() if name != "variance_function"]


def test_from_matrix_is_a_static_method_with_a_signature():
    assert str(inspect.signature(Qubo.from_matrix)) == "(matrix, scale=1.0)"
    assert type(Qubo.from_matrix([[1.0]])) is Qubo
    assert type(Qubo(1).from_matrix([[1.0]])) is Qubo


def test_positional_arguments_follow_the_signature():
    de = DE(1, 5, 0.5, 3, 9)
    assert (de.generations, de.population_size, de.tolerance, de.patience, de.seed) == \
        (1, 5, 0.5, 3, 9)
    pso = PSO(2, 6, (0, 1), 0.1, 0.2, 0.3, 0.4, 8)
    assert (pso.generations, pso.population_size, pso.bounds, pso.inertia_weight,
            pso.cognitive_weight, pso.social_weight, pso.tolerance, pso.seed) == \
        (2, 6, (0.0, 1.0), 0.1, 0.2, 0.3, 0.4, 8)
    qng = QNG(len, 3, [-1, 1], 0.2, 0.3, 0.4, 7)
    assert (qng.variance_function, qng.max_iters, qng.bounds, qng.learning_rate,
            qng.finite_difference_step, qng.tikhonov_reg, qng.seed) == \
        (len, 3, (-1.0, 1.0), 0.2, 0.3, 0.4, 7)


U32 = {DE: ["generations", "population_size", "patience"],
       PSO: ["generations", "population_size"], QNG: ["max_iters"]}
F64 = {DE: ["tolerance"], PSO: ["inertia_weight", "cognitive_weight", "social_weight",
                                "tolerance"],
       QNG: ["learning_rate", "finite_difference_step", "tikhonov_reg"]}
FIELDS = [(cls, name, kind) for kind, table in (("u32", U32), ("f64", F64))
          for cls, names in table.items() for name in names]
FIELDS += [(cls, "seed", "seed") for cls in DEFAULTS]
FIELDS += [(PSO, "bounds", "bounds"), (QNG, "bounds", "bounds")]

GOOD = {
    "u32": [(0, 0), (2**32 - 1, 2**32 - 1), (True, 1), (np.uint32(7), 7)],
    "f64": [(3, 3.0), (-0.25, -0.25), (np.float32(0.5), 0.5), (1e308, 1e308)],
    "seed": [(0, 0), (2**64 - 1, 2**64 - 1), (np.uint64(11), 11), (None, None)],
    "bounds": [((0, 1), (0.0, 1.0)), ([-2.5, 2], (-2.5, 2.0)), (np.array([1.0, 0.0]), (1.0, 0.0))],
}
U32_RANGE = "expected an integer in [0, 4294967295], got {}"
U64_RANGE = "expected an integer in [0, 18446744073709551615], got {}"
NAN, INF = float("nan"), float("inf")
BAD = {  # value, error, and for a ValueError its text after "argument '<name>': "
    "u32": [(-1, ValueError, U32_RANGE.format(-1)), (2**32, ValueError, U32_RANGE.format(2**32)),
            (1.5, TypeError, None), ("3", TypeError, None), (None, TypeError, None)],
    "f64": [("0.1", TypeError, None), (None, TypeError, None), (1j, TypeError, None),
            (NAN, ValueError, "must be finite, got NaN"),
            (np.float64(INF), ValueError, "must be finite, got inf"),
            (-INF, ValueError, "must be finite, got -inf")],
    "seed": [(-1, ValueError, U64_RANGE.format(-1)), (2**64, ValueError, U64_RANGE.format(2**64)),
             (1.0, TypeError, None), ("7", TypeError, None)],
    "bounds": [("ab", TypeError, None), ((1.0,), TypeError, None), ((1, 2, 3), TypeError, None),
               (("a", 1), TypeError, None), (1.0, TypeError, None), (None, TypeError, None),
               ((NAN, 1.0), ValueError, "must be finite, got NaN"),
               ((0.0, INF), ValueError, "must be finite, got inf")],
}


@pytest.mark.parametrize("cls, name, kind", FIELDS)
def test_writes_convert_like_the_constructor(cls, name, kind):
    for value, expected in GOOD[kind]:
        obj = make(cls)
        setattr(obj, name, value)
        assert getattr(obj, name) == expected
        assert getattr(make(cls, **{name: value}), name) == expected
        assert type(getattr(obj, name)) is type(expected)
    for value, error, text in BAD[kind]:
        obj = make(cls)
        before = getattr(obj, name)
        with pytest.raises(error) as written:
            setattr(obj, name, value)
        assert getattr(obj, name) == before  # a refused write changes nothing
        with pytest.raises(error) as built:
            make(cls, **{name: value})
        assert str(written.value) == str(built.value)
        assert str(written.value).startswith(f"argument '{name}': ")
        if error is ValueError:
            assert str(written.value) == f"argument '{name}': {text}"


def test_seed_can_be_set_and_cleared():
    de = DE(seed=5)
    de.seed = 7
    assert de.seed == 7
    de.seed = None
    assert de.seed is None


@pytest.mark.parametrize("cls, name", [(cls, name) for cls in DEFAULTS for name in DEFAULTS[cls]])
def test_attributes_cannot_be_deleted(cls, name):
    obj = make(cls)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(obj, name)
    assert getattr(obj, name) == DEFAULTS[cls][name]


def test_out_of_range_settings_are_accepted_until_training():
    assert DE(population_size=3).population_size == 3
    assert QNG(None, max_iters=0).max_iters == 0
    assert PSO(bounds=(1.0, -1.0), population_size=0).bounds == (1.0, -1.0)


def test_qng_takes_any_variance_function_but_requires_one():
    marker = object()
    qng = QNG(variance_function=marker)
    assert qng.variance_function is marker
    qng.variance_function = 42
    assert qng.variance_function == 42
    with pytest.raises(TypeError):
        QNG()


class Finalised:
    """A callable that records its own destruction."""
    collected = []

    def __init__(self, tag):
        self.tag = tag

    def __call__(self, *args):
        return 0.0

    def __del__(self):
        Finalised.collected.append(self.tag)


@pytest.mark.parametrize("wrap", [lambda f: QNG(f), CachedCost], ids=["QNG", "CachedCost"])
def test_a_cycle_through_the_held_callable_is_collected(wrap):
    tag = object()
    function = Finalised(tag)
    function.owner = wrap(function)  # function -> wrapper -> function
    del function
    gc.collect()
    assert tag in Finalised.collected


# ---- Qubo and Ising --------------------------------------------------------

INVALID = [
    (lambda: Qubo(0), "num_vars must be >= 1"),
    (lambda: Qubo(2, constant=float("nan")), "constant must be finite"),
    (lambda: Qubo(2, scale=float("inf")), "scale must be finite"),
    (lambda: Qubo(2, linear=[(2, 1.0)]), "linear index 2 out of range for 2 variables"),
    (lambda: Qubo(2, linear=[(1, float("-inf"))]),
     "linear coefficient for index 1 is not finite"),
    (lambda: Qubo(2, quadratic=[(0, 5, 1.0)]), "quadratic index (0,5) out of range for 2 variables"),
    (lambda: Qubo(2, quadratic=[(1, 1, 1.0)]),
     "quadratic term on a single variable (1,1) is not allowed; fold it into the linear part "
     "(x_i^2 = x_i)"),
    (lambda: Qubo(2, quadratic=[(1, 0, float("nan"))]),
     "quadratic coefficient for (1,0) is not finite"),
    (lambda: Ising(0), "num_vars must be >= 1"),
    (lambda: Ising(1, fields=[(1, 1.0)]), "field index 1 out of range for 1 variables"),
    (lambda: Ising(1, fields=[(0, float("nan"))]), "field coefficient for index 0 is not finite"),
    (lambda: Ising(2, couplings=[(0, 2, 1.0)]),
     "coupling index (0,2) out of range for 2 variables"),
    (lambda: Ising(2, couplings=[(1, 0, float("inf"))]),
     "coupling coefficient for (1,0) is not finite"),
    (lambda: Ising(2, couplings=[(0, 0, 1.0)], scale=float("nan")), "scale must be finite"),
    (lambda: Ising(1, fields=[(0, 1e308)], constant=1e308), "constant must be finite"),
    (lambda: Qubo.from_matrix([]), "matrix must be non-empty"),
    (lambda: Qubo.from_matrix([[1, 2], [3]]), "matrix must be square; row 1 has length 1 (expected 2)"),
    (lambda: Qubo.from_matrix([[float("nan")]]), "linear coefficient for index 0 is not finite"),
    (lambda: Qubo.from_matrix([[0, float("inf")], [0, 0]]),
     "quadratic coefficient for (0,1) is not finite"),
    (lambda: Qubo.from_matrix([[1.0]], scale=float("nan")), "scale must be finite"),
]


@pytest.mark.parametrize("build, message", INVALID)
def test_invalid_observables_raise_value_error(build, message):
    with pytest.raises(ValueError) as info:
        build()
    assert str(info.value) == f"invalid observable: {message}"


@pytest.mark.parametrize("build, text", [
    (lambda: Qubo(3), "Qubo(num_vars=3)"),
    (lambda: Qubo(num_vars=2, linear=[(0, 1.0), [1, 2]], quadratic=[(1, 0, -1.0)],
                  constant=1, scale=-1), "Qubo(num_vars=2)"),
    (lambda: Qubo(np.uint64(4), None, None), "Qubo(num_vars=4)"),
    (lambda: Ising(2, fields=((0, 1.0),), couplings=[(0, 0, 2.5)]), "Ising(num_vars=2)"),
    (lambda: Qubo.from_matrix([[1, 2], [3, 4]]), "Qubo(num_vars=2)"),
    (lambda: Qubo.from_matrix(matrix=np.eye(5), scale=2.0), "Qubo(num_vars=5)"),
    (lambda: Qubo.from_matrix([[0.0, -0.0], [0, 0]]), "Qubo(num_vars=2)"),
])
def test_valid_observables(build, text):
    observable = build()
    assert repr(observable) == text
    assert observable.num_vars == int(text.split("=")[1][:-1])
    with pytest.raises(AttributeError):
        observable.num_vars = 9


@pytest.mark.parametrize("build, name", [
    (lambda: Qubo(2, linear="01"), "linear"),
    (lambda: Qubo(2, quadratic="012"), "quadratic"),
    (lambda: Ising(2, fields="0"), "fields"),
    (lambda: Ising(2, couplings=""), "couplings"),
    (lambda: Qubo.from_matrix("11"), "matrix"),
    (lambda: Qubo.from_matrix(["11", "11"]), "matrix"),
])
def test_a_str_is_never_a_list(build, name):
    with pytest.raises(TypeError) as info:
        build()
    assert str(info.value) == f"argument '{name}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("build, error, name", [
    (lambda: Qubo(-1), ValueError, "num_vars"),
    (lambda: Qubo(2.0), TypeError, "num_vars"),
    (lambda: Qubo(2, linear=5), TypeError, "linear"),
    (lambda: Qubo(2, linear=[0, 1.0]), TypeError, "linear"),
    (lambda: Qubo(2, linear=[("0", 1.0)]), TypeError, "linear"),
    (lambda: Qubo(2, linear=[(0, 1.0, 2.0)]), TypeError, "linear"),
    (lambda: Qubo(2, linear=["ab"]), TypeError, "linear"),
    (lambda: Qubo(2, linear=[(-1, 1.0)]), ValueError, "linear"),
    (lambda: Ising(2, couplings=[(0, 2**64, 1.0)]), ValueError, "couplings"),
    (lambda: Qubo(2, quadratic=[(0, 1)]), TypeError, "quadratic"),
    (lambda: Qubo(2, quadratic=[(0, 1, "w")]), TypeError, "quadratic"),
    (lambda: Ising(2, fields=[(0, None)]), TypeError, "fields"),
    (lambda: Ising(2, couplings=[(0, 1.5, 1.0)]), TypeError, "couplings"),
    (lambda: Qubo(2, constant="0"), TypeError, "constant"),
    (lambda: Ising(2, scale=None), TypeError, "scale"),
    (lambda: Qubo.from_matrix(None), TypeError, "matrix"),
    (lambda: Qubo.from_matrix([None]), TypeError, "matrix"),
    (lambda: Qubo.from_matrix([[1, "x"]]), TypeError, "matrix"),
    (lambda: Qubo.from_matrix([[1.0]], scale="2"), TypeError, "scale"),
    (lambda: Qubo.from_matrix(), TypeError, None),
    (lambda: Qubo(), TypeError, None),
])
def test_conversion_errors_name_the_argument(build, error, name):
    with pytest.raises(error) as info:
        build()
    if name is not None:
        assert str(info.value).startswith(f"argument '{name}': ")


# ---- CachedCost ------------------------------------------------------------

@pytest.mark.parametrize("cost_fn", [len, lambda bits: 1.0, Finalised("kept"), Qubo])
def test_cached_cost_wraps_any_callable(cost_fn):
    assert repr(CachedCost(cost_fn)) == "CachedCost(<callable>)"
    assert repr(CachedCost(cost_fn=cost_fn)) == "CachedCost(<callable>)"


@pytest.mark.parametrize("value", [42, None, "f", Qubo(1)])
def test_cached_cost_refuses_a_non_callable(value):
    with pytest.raises(TypeError, match=r"^CachedCost expects a callable \(bitstring -> float\)$"):
        CachedCost(value)


def test_registration_order():
    names = [name for name in vars(morvane) if not name.startswith("__")]
    position = {name: names.index(name) for name in names}
    assert position["EvaluationError"] < position["DE"] < position["PSO"] < position["QNG"] \
        < position["Circuit"] < position["Param"] < position["RunResult"] < position["Qubo"] \
        < position["Ising"] < position["CachedCost"] < position["run_quantum_circuit"]


# ---- the cost argument and the method argument of a training run ----------
# A circuit whose every shot reads "01", so each batch holds exactly one
# distinct bitstring, and a DE run of 3 batches (initial population + 2
# generations).

needs_train = pytest.mark.skipif(not hasattr(morvane, "train"),
                                 reason="morvane.train is not registered in this build")


def train_on_01(expectation_function, method=None):
    qc = morvane.Circuit(2).x(0).rz(0, morvane.Param(0)).measure_all()
    method = DE(generations=2, population_size=4) if method is None else method
    return morvane.train(qc, method, 16, 1, 1, expectation_function, "local", 1, 1, "classes",
                         backend="morvane", seed=1)


class Index:
    def __index__(self):
        return 5


class Float:
    def __float__(self):
        return 0.5


@needs_train
@pytest.mark.parametrize("value, expected", [
    (2, 2.0), (True, 1.0), (Index(), 5.0), (Float(), 0.5), (np.float64(1.5), 1.5),
    (np.int64(3), 3.0), (-0.25, -0.25)])
def test_cost_results_go_through_the_float_conversion(value, expected):
    assert train_on_01(lambda bits: value).best_fitness == expected


@needs_train
def test_a_bare_callable_is_asked_once_per_batch_and_a_cached_one_once_per_run():
    calls = []

    def cost(bits):
        calls.append(bits)
        return 1.0

    train_on_01(cost)
    assert calls == ["01"] * 3
    calls.clear()
    cached = CachedCost(cost)
    train_on_01(cached)
    train_on_01(cached)  # a new run starts from an empty cache
    assert calls == ["01", "01"]


@needs_train
@pytest.mark.parametrize("raised", [ValueError("no cost for this"), KeyError("01")])
def test_an_exception_of_the_cost_reaches_the_caller_unchanged(raised):
    def cost(bits):
        raise raised

    for expectation_function in (cost, CachedCost(cost)):
        with pytest.raises(type(raised)) as info:
            train_on_01(expectation_function)
        assert info.value is raised


@needs_train
@pytest.mark.parametrize("result, kind", [("2", "str"), (None, "NoneType")])
def test_a_result_that_is_no_number_names_the_cost_and_the_bitstring(result, kind):
    for expectation_function in (lambda bits: result, CachedCost(lambda bits: result)):
        with pytest.raises(TypeError) as info:
            train_on_01(expectation_function)
        assert str(info.value) == ("expectation_function returned a non-number for bitstring "
                                   f"'01': must be real number, not {kind}")


@needs_train
@pytest.mark.parametrize("observable, expected", [
    (Qubo(2, linear=[(0, 1.0), (1, 10.0)]), 1.0),  # "01": variable 0 is set
    (Ising(1, fields=[(0, 1.0)]), -1.0),           # bit 1 is spin -1
    (Qubo.from_matrix([[0, 0], [4, 0]], scale=-1), 0.0),
])
def test_built_in_observables_are_used_as_they_are(observable, expected):
    assert train_on_01(observable).best_fitness == expected


NOT_A_COST = ("expectation_function must be a callable (bitstring -> float), a "
              "morvane.CachedCost(callable), or a morvane.Qubo / morvane.Ising observable")
NOT_A_METHOD = "method must be an instance of morvane.DE, morvane.PSO, or morvane.QNG"


@needs_train
@pytest.mark.parametrize("argument, value, message", [
    ("expectation_function", 42, NOT_A_COST), ("expectation_function", DE(), NOT_A_COST),
    ("expectation_function", None, NOT_A_COST), ("method", 42, NOT_A_METHOD),
    ("method", Qubo(1), NOT_A_METHOD), ("method", DE, NOT_A_METHOD),
])
def test_wrong_cost_or_method_is_refused_before_anything_runs(argument, value, message):
    calls = []
    arguments = {"expectation_function": lambda bits: calls.append(bits) or 0.0,
                 "method": DE(generations=1, population_size=4), argument: value}
    with pytest.raises(TypeError) as info:
        train_on_01(**arguments)
    assert (str(info.value), calls) == (message, [])


@needs_train
def test_a_run_uses_the_method_values_of_its_start():
    de = DE(generations=2, population_size=4)

    def change_de(bits):
        de.generations = 50
        return 1.0

    assert train_on_01(change_de, de).iterations_run == 2
    assert de.generations == 50

    qng = QNG(lambda theta, index: 1.0, max_iters=2)

    def failing_variance(theta, index):
        raise RuntimeError("the replaced variance_function was called")

    def change_qng(bits):
        qng.max_iters = 50
        # Drops the object's only reference to the lambda; the run holds its own.
        qng.variance_function = failing_variance
        return 1.0

    assert train_on_01(change_qng, qng).iterations_run == 2
    assert (qng.max_iters, qng.variance_function) == (50, failing_variance)
