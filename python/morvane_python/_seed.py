"""The one mapping from a run's seed to the Aer seed of each of its circuits.

Circuit j of a call seeded with s is simulated with ``aer_seed((s + j) mod 2**64)``,
whoever runs it: the local Aer call or any QPU of a family. The caller gives
every replica of a run its own seed by adding an offset to s, so the Aer seed
must depend on s and j only through their sum.

``aer_seed`` is multiplication by ``AER_SEED_STRIDE`` modulo 2**64 because that
is exactly how Aer seeds the experiments of one ``run`` call: experiment k gets
``seed_simulator + k * 2113`` (mod 2**64). With this choice one Aer call over
all the circuits of a local run already gives circuit j the seed
``aer_seed(s + j)``, so local runs keep Aer's ``max_parallel_experiments``. The
stride is odd, so the mapping is a bijection of the 64-bit seeds: distinct
seeds never collapse into one. The local path still checks the seeds Aer
reports and reruns any circuit whose seed differs (see ``_aer``), so a future
Aer that seeds differently costs speed, not reproducibility.
"""

SEED_MODULUS = 1 << 64
AER_SEED_STRIDE = 2113


def normalise_seed(seed):
    """The seed as an unsigned 64-bit value."""
    return seed % SEED_MODULUS


def aer_seed_u64(seed):
    """g(seed): the Aer seed, as the unsigned 64-bit value Aer reports back."""
    return (seed % SEED_MODULUS) * AER_SEED_STRIDE % SEED_MODULUS


def aer_seed(seed):
    """g(seed) in the form Aer's ``seed_simulator`` accepts (a signed 64-bit int).

    Aer takes a signed 64-bit integer and reinterprets it as unsigned, so the
    upper half of the range is passed as its two's-complement negative.
    """
    value = aer_seed_u64(seed)
    return value - SEED_MODULUS if value >= SEED_MODULUS // 2 else value


def circuit_seed(seed, index):
    """The seed that circuit ``index`` of a call seeded with ``seed`` is run under."""
    return (seed + index) % SEED_MODULUS
