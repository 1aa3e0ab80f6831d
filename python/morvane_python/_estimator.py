"""``morvane.qiskit.EstimatorV2``: Qiskit's estimator primitive on the native engine."""

import numpy as np

from . import _primitives
import morvane
from qiskit.primitives import BaseEstimatorV2
from qiskit.primitives.containers import DataBin, PrimitiveResult, PubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub

# Up to this many times the values a PUB asks for, every parameter row is
# evaluated on every observable in one native call; beyond it (a long
# diagonal broadcast), each row on just the observables it is paired with.
_FULL_TABLE_FACTOR = 4


class EstimatorV2(BaseEstimatorV2):
    """Qiskit's ``BaseEstimatorV2`` on morvane's native statevector engine.

    Each PUB's circuit is converted once (``morvane.Circuit.from_qiskit``), its
    parameter rows are bound and simulated natively over the thread pool, and
    every observable is evaluated exactly on each state
    (``morvane.expectation_values``): the diagonal terms of all observables in
    one pass, the others one pass per X pattern. With a precision of 0 the
    values are exact; with a positive precision each value gets Gaussian noise
    of that standard deviation, as ``StatevectorEstimator`` adds it.

    Args:
        default_precision: the precision of a PUB that names none, when
            ``run`` is given none either.
        seed: an int makes every ``run`` call reproducible; a
            ``numpy.random.Generator`` is drawn from; None draws fresh entropy.
            Only the noise of a positive precision is random.
        precision: "double" or "single", the arithmetic the states are
            simulated in (not to be confused with the target precision of
            the estimates, ``default_precision`` and ``run(precision=)``).
    """

    def __init__(self, *, default_precision=0.0, seed=None, precision="double"):
        self._default_precision = default_precision
        self._seed = _primitives.check_seed(seed)
        self._precision = _primitives.check_precision(precision, estimator=True)

    @property
    def precision(self):
        """The arithmetic the states are simulated in: "double" or "single"."""
        return self._precision

    @property
    def default_precision(self):
        """The precision of a PUB that names none, when ``run`` is given none either."""
        return self._default_precision

    @property
    def seed(self):
        """The seed or Generator the estimator draws its noise from."""
        return self._seed

    def run(self, pubs, *, precision=None):
        if precision is None:
            precision = self._default_precision
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        return _primitives.submit(self._run, coerced)

    def _run(self, pubs):
        source = _primitives.seed_source(self._seed)
        circuits = _primitives.CircuitCache("morvane.qiskit.EstimatorV2")
        results = [self._run_pub(pub, circuits, source) for pub in pubs]
        return PrimitiveResult(results, metadata={"version": 2})

    def _run_pub(self, pub, circuits, source):
        circuit = pub.circuit
        native = circuits.native(circuit)
        bindings = pub.parameter_values
        rows_count = int(np.prod(bindings.shape, dtype=np.int64))
        values = np.ascontiguousarray(
            bindings.as_array(circuit.parameters), dtype=np.float64
        ).reshape(rows_count, circuit.num_parameters)
        row_of = np.arange(rows_count).reshape(bindings.shape)

        # Each distinct observable converted once.
        unique, observable_of = [], np.empty(pub.observables.shape, dtype=np.int64)
        seen = {}
        for index in np.ndindex(*pub.observables.shape):
            terms = tuple(sorted(pub.observables[index].items()))
            if terms not in seen:
                seen[terms] = len(unique)
                unique.append(morvane.PauliSum(list(terms)))
            observable_of[index] = seen[terms]

        rows, observables = np.broadcast_arrays(row_of, observable_of)
        evs = np.zeros(rows.shape, dtype=np.float64)
        if rows.size > 0:
            if values.shape[0] * len(unique) <= _FULL_TABLE_FACTOR * rows.size:
                table = morvane.expectation_values(
                    native, unique, values, precision=self._precision
                )
                evs = table[rows, observables]
            else:
                for row in np.unique(rows):
                    where = rows == row
                    wanted = np.unique(observables[where])
                    table = morvane.expectation_values(
                        native, [unique[k] for k in wanted], values[row],
                        precision=self._precision,
                    )
                    evs[where] = table[np.searchsorted(wanted, observables[where])]
        precision = pub.precision
        if precision != 0:
            rng = np.random.default_rng(_primitives.next_seed(source))
            evs = np.asarray(rng.normal(evs, precision), dtype=np.float64)
        stds = np.zeros_like(evs)
        data = DataBin(evs=evs, stds=stds, shape=evs.shape)
        return PubResult(
            data, metadata={"target_precision": precision, "circuit_metadata": circuit.metadata}
        )
