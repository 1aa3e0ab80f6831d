"""The Python seam between ``morvane`` and Qiskit Aer / CUNQA QPU families.

Three functions; every argument after the infrastructure name is a keyword:

``connect_to_infrastructure("local")``
    Returns ``"local"``; nothing is contacted.
``connect_to_infrastructure("cunqa", n=, t=, n_nodes=, family_name=, cores_per_qpu=)``
    Raises a family of ``n`` QPUs (one SLURM job named ``family_name``, or
    local processes without SLURM) and returns its handle once every QPU answers.
``run_qcs(id=, backend="AerSimulator", qcs=, shots=, sim_method=, max_parallel_experiments=[, noise_model=][, seed=][, precision=])``
    Runs the circuits on a local Aer simulator (``precision``, "double" or
    "single", is Aer's own option).
``run_qcs(family_id=, backend="AerSimulator", qcs=, shots=, sim_method=[, seed=])``
    Runs the circuits on the QPUs of a raised family, one wave of ``n`` at a time.
``disconnect_from_infrastructure("cunqa", family=handle)``
    Releases a family; raises if anything of it could not be removed.

Both ``run_qcs`` forms return one ``dict[str, int]`` of counts per circuit, in
order. Keys are ``0``/``1`` strings with classical bit 0 rightmost and no
register separators; a circuit without measurements is read out on all its
qubits. With ``seed``, circuit ``j`` is simulated under a seed that depends
only on ``seed + j``, so the same seed gives the same counts locally and on a
family of any size.

Failures of the infrastructure raise the exceptions of ``morvane_python.errors``,
which are subclasses of ``morvane``'s (``FamilyError`` and ``QPUError`` are
``morvane.CunqaError``s), so they pass through ``morvane`` unchanged and are
still caught as ``morvane.MorvaneError``.

Qiskit and Aer are imported when a circuit is first handled, not here.
"""

from . import _family

__all__ = ["connect_to_infrastructure", "run_qcs", "disconnect_from_infrastructure"]

_INFRASTRUCTURES = ("local", "cunqa")


def _check_infrastructure(infrastructure):
    if not isinstance(infrastructure, str):
        raise TypeError(f"infrastructure must be str, got {type(infrastructure).__name__}")
    if infrastructure not in _INFRASTRUCTURES:
        raise ValueError(f"unknown infrastructure '{infrastructure}'; expected 'local' or 'cunqa'")


def connect_to_infrastructure(infrastructure, /, **options):
    """Connect to ``"local"`` (returns ``"local"``) or raise a ``"cunqa"`` QPU family (returns its handle)."""
    _check_infrastructure(infrastructure)
    if infrastructure == "local":
        if options:
            raise TypeError(
                f"connect_to_infrastructure('local') takes no keyword arguments, got {sorted(options)}"
            )
        return "local"
    return _family.connect(**options)


def disconnect_from_infrastructure(infrastructure, /, *, family):
    """Release a QPU family raised by ``connect_to_infrastructure("cunqa", ...)``."""
    _check_infrastructure(infrastructure)
    if infrastructure != "cunqa":
        raise ValueError(f"only 'cunqa' families are disconnected, got '{infrastructure}'")
    _family.disconnect(family)


def _check_shots(shots):
    if type(shots) is not int:
        raise TypeError(f"shots must be int, got {type(shots).__name__}")
    if shots < 1:
        raise ValueError(f"shots must be >= 1, got {shots}")


def _check_seed(seed):
    if seed is None:
        return None
    if type(seed) is not int:
        raise TypeError(f"seed must be int, got {type(seed).__name__}")
    from . import _seed

    return _seed.normalise_seed(seed)


def run_qcs(*, backend, qcs, shots, sim_method="automatic", id=None, family_id=None,
            max_parallel_experiments=None, noise_model=None, seed=None, precision=None):
    """Run circuits locally (``id=``) or on a QPU family (``family_id=``); counts per circuit, in order."""
    if (id is None) == (family_id is None):
        raise TypeError("run_qcs() needs exactly one of id= (local run) or family_id= (QPU family)")
    if backend != "AerSimulator":
        raise ValueError(f"backend must be 'AerSimulator', got {backend!r}")
    if not isinstance(qcs, (list, tuple)):
        raise TypeError(f"qcs must be a list of circuits, got {type(qcs).__name__}")
    if not isinstance(sim_method, str):
        raise TypeError(f"sim_method must be str, got {type(sim_method).__name__}")
    _check_shots(shots)
    seed = _check_seed(seed)
    if precision is not None and precision not in ("double", "single"):
        raise ValueError(f"precision must be 'double' or 'single', got {precision!r}")

    if family_id is not None:
        if max_parallel_experiments is not None or noise_model is not None or precision is not None:
            raise TypeError(
                "max_parallel_experiments, noise_model and precision apply to local runs only"
            )
        family = _family.find(family_id)
        return _family.run_on_family(family, list(qcs), shots=shots, sim_method=sim_method, seed=seed)

    if not isinstance(id, str):
        raise TypeError(f"id must be str, got {type(id).__name__}")
    if max_parallel_experiments is not None:
        if type(max_parallel_experiments) is not int:
            raise TypeError(
                f"max_parallel_experiments must be int, got {type(max_parallel_experiments).__name__}"
            )
        if max_parallel_experiments < 1:
            raise ValueError(f"max_parallel_experiments must be >= 1, got {max_parallel_experiments}")
    from . import _aer

    # Both packages are needed for any local run; say so before touching the circuits.
    _aer.require("qiskit")
    _aer.require("qiskit_aer")
    circuits = [_aer.load_entry(entry, position) for position, entry in enumerate(qcs)]
    return _aer.run_counts(
        circuits, shots=shots, sim_method=sim_method, seed=seed, noise_model=noise_model,
        max_parallel_experiments=max_parallel_experiments, precision=precision,
    )

