"""Type stubs of `morvane.circuits`."""

from . import templates as templates
