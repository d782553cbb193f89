"""A small unbalanced three-phase four-wire feeder, solved with Newton's method.

    source bus ──line 1── bus 1 ──line 2── bus 2
    (source, neutral      (star loads)     (delta loads
     on the reference)                      between phases)

Prints the node voltages and the load currents, raises the loads and solves again without a new
recording. Run it with `tools/dev example`.
"""
import cmath
import math

import numpy as np

import load_flow_engine.cy_engine as cy

PHASES = ("a", "b", "c", "n")
U = 230.0  # phase-to-neutral voltage of the source (V)


def line_impedance(length_km):
    """Series impedance matrix of a four-wire cable section, flattened row by row (ohm)."""
    z_self, z_mutual = 0.21 + 0.08j, 0.06j
    z = np.full((4, 4), z_mutual, dtype=np.complex128)
    np.fill_diagonal(z, z_self)
    return (z * length_km).ravel()


def build():
    a = cmath.rect(1.0, -2.0 * math.pi / 3.0)
    elements = {
        "source bus": cy.CyBus(4, np.array([U, U * a, U * a * a, 0], dtype=np.complex128)),
        "bus 1": cy.CyBus(4, np.array([U, U * a, U * a * a, 0], dtype=np.complex128)),
        "bus 2": cy.CyBus(4, np.array([U, U * a, U * a * a, 0], dtype=np.complex128)),
        "source": cy.CyVoltageSource(4, np.array([U, U * a, U * a * a], dtype=np.complex128)),
        "reference": cy.CyPotentialRef(),
        "line 1": cy.CySimplifiedLine(4, line_impedance(0.4)),
        "line 2": cy.CySimplifiedLine(4, line_impedance(0.3)),
        # Unbalanced loads (VA): heavier on phase a, lighter on phase c.
        "star load": cy.CyPowerLoad(4, np.array([9000 + 3000j, 5000 + 1500j, 2000 + 500j], dtype=np.complex128)),
        "delta load": cy.CyDeltaPowerLoad(3, np.array([6000 + 2000j, 0, 3000 + 1000j], dtype=np.complex128)),
    }
    e = elements
    four = [(i, i) for i in range(4)]
    e["source bus"].connect(e["source"], four)
    e["source bus"].connect(e["reference"], [(3, 0)])
    e["line 1"].connect_side(e["source bus"], four, True)
    e["line 1"].connect_side(e["bus 1"], four, False)
    e["line 2"].connect_side(e["bus 1"], four, True)
    e["line 2"].connect_side(e["bus 2"], four, False)
    e["bus 1"].connect(e["star load"], four)
    e["bus 2"].connect(e["delta load"], [(0, 0), (1, 1), (2, 2)])
    array = np.empty(len(elements), dtype=object)
    array[:] = list(elements.values())
    return elements, cy.CyElectricalNetwork(array, len(elements))


def degrees(z):
    """The angle of z in degrees, rounded for the table (no "-0.00" for a rounding residue)."""
    return round(math.degrees(cmath.phase(z)), 2) + 0.0


def print_results(elements, title):
    print(f"\n{title}")
    print(f"{'node':<16}{'|V| (V)':>10}{'angle (deg)':>13}")
    for name in ("source bus", "bus 1", "bus 2"):
        for phase, v in zip(PHASES, elements[name].get_potentials(4)):
            print(f"{name + ' ' + phase:<16}{abs(v):>10.2f}{degrees(v):>13.2f}")
    print(f"{'load current':<16}{'|I| (A)':>10}{'angle (deg)':>13}")
    for name, labels in (("star load", PHASES), ("delta load", ("a", "b", "c"))):
        for label, i in zip(labels, elements[name].get_currents(len(labels))):
            print(f"{name + ' ' + label:<16}{abs(i):>10.2f}{degrees(i):>13.2f}")


def main():
    elements, network = build()
    solver = cy.CyNewton(network, True)
    iterations, error = solver.solve_load_flow(20, 1e-8)
    print_results(elements, f"Solved in {iterations} iterations (largest residual {error:.2e})")

    # Raise every load by half: the parameters change in place, the tape is not recorded again.
    elements["star load"].update_powers(1.5 * np.array([9000 + 3000j, 5000 + 1500j, 2000 + 500j]))
    elements["delta load"].update_powers(1.5 * np.array([6000 + 2000j, 0, 3000 + 1000j]))
    iterations, error = solver.solve_load_flow(20, 1e-8)
    print_results(elements, f"Loads raised by 50 %: solved in {iterations} iterations (largest residual {error:.2e})")


if __name__ == "__main__":
    main()
