"""Type stubs of `morvane.circuits.templates`."""

from .. import Circuit

def qft(num_qubits: int, inverse: bool = False, swaps: bool = True) -> Circuit: ...
