"""Exceptions raised by the seam, beyond the usual TypeError/ValueError for bad arguments.

Each is a subclass of the matching ``morvane`` exception, so a caller that
catches ``morvane.MorvaneError`` (or ``morvane.BackendError``,
``morvane.CunqaError``) catches them too, while ``morvane`` still hands them on
unchanged, as themselves. They stay ``RuntimeError`` subclasses as well.

The seam therefore imports the ``morvane`` extension, which only registers
its classes at import and starts nothing; QPU servers
(``python -m morvane_python.qpu``) load it too, so the interpreter they run
needs morvane installed, as it needs Aer.
"""

import morvane


class SeamError(morvane.BackendError, RuntimeError):
    """Base class of the failures of an execution infrastructure behind the seam."""


class FamilyError(SeamError, morvane.CunqaError):
    """A QPU family could not be raised, found or released."""


class QPUError(SeamError, morvane.CunqaError):
    """A QPU of a family failed to run a circuit: it died, refused or answered with an error.

    ``qpu`` is the QPU's index in its family, ``address`` its ``(host, port)``
    and ``reason`` what went wrong, as plain text.
    """

    def __init__(self, message, *, family, qpu, address, reason):
        super().__init__(message)
        self.family = family
        self.qpu = qpu
        self.address = address
        self.reason = reason
