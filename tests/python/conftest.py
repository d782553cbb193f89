import cmath
import math

import numpy as np
import pytest

import load_flow_engine.cy_engine as cy


def carr(*values):
    """A complex128 array of the given values."""
    return np.array(values, dtype=np.complex128)


def three_phase(u=230.0):
    """Star voltages of a balanced three-phase system, phase a at angle 0."""
    a = cmath.rect(1.0, -2.0 * math.pi / 3.0)
    return carr(u, u * a, u * a * a)


@pytest.fixture
def module():
    return cy
