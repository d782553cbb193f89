"""Every constructor that takes a count, at the ends of the int range: a count that the engine
cannot build (negative, or too small for the kind) raises the error of a negative count, and
nothing on the way overflows (the sanitizer build aborts on signed overflow)."""
import numpy as np
import pytest

import load_flow_engine.cy_engine as cy
from feeders import object_array

COUNTS = [-2**31, -2**30 - 1, -1, 0, 1]


def values(k):
    """k complex values, None when there are none to give."""
    return np.zeros(k, dtype=np.complex128) if k > 0 else None


# Type name: (build from a count n, the smallest n that builds). Arrays are as long as the kind
# reads for n, so that only the count decides.
CONSTRUCTORS = {
    "CyBus": (lambda n: cy.CyBus(n, values(n)), 0),
    "CyDeltaPotentialRef": (lambda n: cy.CyDeltaPotentialRef(n), 0),
    "CyVoltageSource": (lambda n: cy.CyVoltageSource(n, values(n - 1)), 1),
    "CyDeltaVoltageSource": (lambda n: cy.CyDeltaVoltageSource(n, values(n - 1)), 1),
    "CySimplifiedLine": (lambda n: cy.CySimplifiedLine(n, values(max(n, 0) ** 2)), 0),
    "CyPowerLoad": (lambda n: cy.CyPowerLoad(n, values(n - 1)), 1),
    "CyDeltaPowerLoad": (lambda n: cy.CyDeltaPowerLoad(n, values(n)), 0),
    "CyElectricalNetwork": (lambda n: cy.CyElectricalNetwork(object_array([cy.CyGround() for _ in range(n)]), n), 0),
    # Constructors without a count ignore what they are given.
    "CyGround": (lambda n: cy.CyGround(n), -2**31),
    "CyPotentialRef": (lambda n: cy.CyPotentialRef(n), -2**31),
}


@pytest.mark.parametrize("n", COUNTS)
@pytest.mark.parametrize("name", sorted(CONSTRUCTORS))
def test_a_count_builds_or_raises_the_negative_count_error(name, n):
    make, smallest = CONSTRUCTORS[name]
    if n >= smallest:
        assert isinstance(make(n), getattr(cy, name))
    else:
        with pytest.raises(RuntimeError, match="^vector::reserve$"):
            make(n)
