"""Exceptions raised by the seam, beyond the usual TypeError/ValueError for bad arguments."""


class SeamError(RuntimeError):
    """Base class of the failures of an execution infrastructure behind the seam."""


class FamilyError(SeamError):
    """A QPU family could not be raised, found or released."""


class QPUError(SeamError):
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
