"""``morvane.qiskit.SamplerV2``: Qiskit's sampler primitive on the native engine."""

import warnings

import numpy as np

from . import _primitives
from morvane import qiskit as _native
from qiskit.primitives import BaseSamplerV2
from qiskit.primitives.containers import BitArray, DataBin, PrimitiveResult, SamplerPubResult
from qiskit.primitives.containers.sampler_pub import SamplerPub


class SamplerV2(BaseSamplerV2):
    """Qiskit's ``BaseSamplerV2`` on morvane's native statevector engine.

    Each PUB's circuit is converted once (``morvane.Circuit.from_qiskit``) and
    its whole parameter-values array is bound and sampled natively in one
    batch over the thread pool, without the interpreter lock. Results are
    Qiskit's own containers: one ``BitArray`` per classical register, named
    and shaped as ``StatevectorSampler`` gives them, shots in draw order.

    Args:
        default_shots: the shots of a PUB that names none, when ``run`` is
            given none either.
        seed: an int makes every ``run`` call reproducible (the same seed and
            PUBs give identical bit arrays); a ``numpy.random.Generator`` is
            drawn from once per PUB; None draws fresh entropy.
        precision: "double" or "single", the arithmetic the states are
            simulated in. Single precision is faster and needs half the
            memory; shot noise hides its rounding.
    """

    def __init__(self, *, default_shots=1024, seed=None, precision="double"):
        self._default_shots = default_shots
        self._seed = _primitives.check_seed(seed)
        self._precision = _primitives.check_precision(precision)

    @property
    def precision(self):
        """The arithmetic the states are simulated in: "double" or "single"."""
        return self._precision

    @property
    def default_shots(self):
        """The shots of a PUB that names none, when ``run`` is given none either."""
        return self._default_shots

    @property
    def seed(self):
        """The seed or Generator the sampler draws from."""
        return self._seed

    def run(self, pubs, *, shots=None):
        if shots is None:
            shots = self._default_shots
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        if any(len(pub.circuit.cregs) == 0 for pub in coerced):
            warnings.warn(
                "One of your circuits has no output classical registers and so the result "
                "will be empty. Did you mean to add measurement instructions?",
                UserWarning,
                stacklevel=2,
            )
        return _primitives.submit(self._run, coerced)

    def _run(self, pubs):
        source = _primitives.seed_source(self._seed)
        circuits = _primitives.CircuitCache("morvane.qiskit.SamplerV2")
        results = [self._run_pub(pub, circuits, _primitives.next_seed(source)) for pub in pubs]
        return PrimitiveResult(results, metadata={"version": 2})

    def _run_pub(self, pub, circuits, seed):
        circuit = pub.circuit
        native = circuits.native(circuit)
        registers = [
            (register.name, [circuit.find_bit(bit).index for bit in register])
            for register in circuit.cregs
        ]
        buffers = _native._sample_bindings(
            native,
            _primitives.value_rows(pub),
            pub.shots,
            seed,
            [bits for _, bits in registers],
            precision=self._precision,
        )
        data = {}
        for (name, bits), buffer in zip(registers, buffers):
            num_bytes = (len(bits) + 7) // 8
            array = np.frombuffer(buffer, dtype=np.uint8).reshape(
                pub.shape + (pub.shots, num_bytes)
            )
            data[name] = BitArray(array, len(bits))
        return SamplerPubResult(
            DataBin(**data, shape=pub.shape),
            metadata={"shots": pub.shots, "circuit_metadata": circuit.metadata},
        )
