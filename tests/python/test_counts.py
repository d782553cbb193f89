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


def parameters(k):
    """k flexible parameters (constant laws), None when there are none to give."""
    if k <= 0:
        return None
    control = cy.CyControl("constant", 0, 0, 0, 0, 0, 0)
    parameter = cy.CyFlexibleParameter(control, control, cy.CyProjection("euclidean", 0, 0), 1, 0, 0)
    return object_array([parameter] * k)


NEGATIVE_COUNT = (RuntimeError, "^vector::reserve$")
WINDINGS = (ValueError, "three-phase transformer")

# Type name: (build from a count n, the smallest n that builds[, the error of n below it given n]).
# Arrays are as long as the kind reads for n, so that only the count decides.
CONSTRUCTORS = {
    "CySwitch": (lambda n: cy.CySwitch(n), 0),
    "CyOpenSwitch": (lambda n: cy.CyOpenSwitch(n), 0),
    "CyShuntLine": (lambda n: cy.CyShuntLine(n, values(max(n, 0) ** 2), values(max(n, 0) ** 2)), 1,
                    lambda n: NEGATIVE_COUNT if n < 0 else (ValueError, "at least one conductor")),
    "CyBus": (lambda n: cy.CyBus(n, values(n)), 0),
    "CyDeltaPotentialRef": (lambda n: cy.CyDeltaPotentialRef(n), 0),
    "CyVoltageSource": (lambda n: cy.CyVoltageSource(n, values(n - 1)), 1),
    "CyDeltaVoltageSource": (lambda n: cy.CyDeltaVoltageSource(n, values(n - 1)), 1),
    "CySimplifiedLine": (lambda n: cy.CySimplifiedLine(n, values(max(n, 0) ** 2)), 0),
    "CyPowerLoad": (lambda n: cy.CyPowerLoad(n, values(n - 1)), 1),
    "CyDeltaPowerLoad": (lambda n: cy.CyDeltaPowerLoad(n, values(n)), 0),
    "CyAdmittanceLoad": (lambda n: cy.CyAdmittanceLoad(n, values(n - 1)), 1),
    "CyDeltaAdmittanceLoad": (lambda n: cy.CyDeltaAdmittanceLoad(n, values(n)), 0),
    "CyCurrentLoad": (lambda n: cy.CyCurrentLoad(n, values(n - 1)), 1),
    "CyDeltaCurrentLoad": (lambda n: cy.CyDeltaCurrentLoad(n, values(n)), 0),
    "CyFlexibleLoad": (lambda n: cy.CyFlexibleLoad(n, values(n - 1), parameters(n - 1)), 1),
    "CyDeltaFlexibleLoad": (lambda n: cy.CyDeltaFlexibleLoad(n, values(n), parameters(n)), 0),
    # Both sides take the count: a delta pair builds from three ports, a star pair from four; a
    # negative total is the negative count error, other counts the windings refuse.
    "CyThreePhaseTransformer (Dd)": (lambda n: cy.CyThreePhaseTransformer(n, n, "D", "d", 0.01, 0, 0.5, 0), 3,
                                     lambda n: NEGATIVE_COUNT if n < 0 else WINDINGS),
    "CyThreePhaseTransformer (Yz)": (lambda n: cy.CyThreePhaseTransformer(n, n, "Y", "z", 0.01, 0, 0.5, 11), 4,
                                     lambda n: NEGATIVE_COUNT if n < 0 else WINDINGS),
    "CyElectricalNetwork": (lambda n: cy.CyElectricalNetwork(object_array([cy.CyGround() for _ in range(n)]), n), 0),
    # Constructors without a count ignore what they are given.
    "CyGround": (lambda n: cy.CyGround(n), -2**31),
    "CyPotentialRef": (lambda n: cy.CyPotentialRef(n), -2**31),
}


@pytest.mark.parametrize("n", COUNTS)
@pytest.mark.parametrize("name", sorted(CONSTRUCTORS))
def test_a_count_builds_or_raises_the_negative_count_error(name, n):
    make, smallest, *refusal = CONSTRUCTORS[name]
    if n >= smallest:
        assert isinstance(make(n), getattr(cy, name.split()[0]))
    else:
        error, message = refusal[0](n) if refusal else NEGATIVE_COUNT
        with pytest.raises(error, match=message):
            make(n)
