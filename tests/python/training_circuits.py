"""The small trainable circuit and cost the train() tests share."""

import morvane


def ansatz():
    """Two parameters; the cost below is maximal (1.0) at theta = (pi, 0) and similar."""
    return (morvane.Circuit(2).rx(0, morvane.Param(0)).ry(1, morvane.Param(1)).cx(0, 1)
            .measure_all())


def ones(bitstring):
    return bitstring.count("1") / len(bitstring)
