"""Benchmark: a radial four-wire feeder of N buses with unbalanced power loads.

For each N it measures, in a fresh process of its own (so that the peak memory is that of one
size): building the network, building CyNewton without and with tape optimisation (the
recording), the first solve, and a warm re-solve after update_powers on every load.

Use an optimised build:

    tools/dev build Release
    tools/dev run env PYTHONPATH=build/release/python python3 bench/feeder_bench.py [N ...]

The feeder has a fixed length and a fixed total load, divided over the N sections and buses, so
that every size is the same electrical problem at a finer resolution.
"""
import argparse
import cmath
import gc
import json
import math
import resource
import subprocess
import sys
import time

import numpy as np

import load_flow_engine.cy_engine as cy

U = 230.0
FEEDER_IMPEDANCE = np.full((4, 4), 0.02j) + np.diag([0.1 + 0.04j] * 4)  # whole feeder (ohm)
TOTAL_LOAD = np.array([30e3 + 10e3j, 20e3 + 6e3j, 12e3 + 4e3j])  # star loads, per phase (VA)
DELTA_EVERY = 10  # every tenth bus also carries a delta load


def build_network(n):
    a = cmath.rect(1.0, -2.0 * math.pi / 3.0)
    phases = np.array([U, U * a, U * a * a], dtype=np.complex128)
    start = np.append(phases, 0).astype(np.complex128)
    z_section = (FEEDER_IMPEDANCE / n).astype(np.complex128).ravel()
    rng = np.random.default_rng(1)
    four = [(i, i) for i in range(4)]

    source_bus = cy.CyBus(4, start)
    source = cy.CyVoltageSource(4, phases)
    reference = cy.CyPotentialRef()
    source_bus.connect(source, four)
    source_bus.connect(reference, [(3, 0)])
    elements = [source_bus, source, reference]
    loads = []
    upstream = source_bus
    for _ in range(n):
        bus = cy.CyBus(4, start)
        line = cy.CySimplifiedLine(4, z_section)
        line.connect_side(upstream, four, True)
        line.connect_side(bus, four, False)
        # Unbalanced: each phase of each bus draws between half and one and a half times its share.
        powers = (TOTAL_LOAD / n * rng.uniform(0.5, 1.5, 3)).astype(np.complex128)
        load = cy.CyPowerLoad(4, powers)
        bus.connect(load, four)
        elements += [bus, line, load]
        loads.append((load, powers))
        if len(loads) % DELTA_EVERY == 0:
            delta_powers = (TOTAL_LOAD / n * 0.2).astype(np.complex128)
            delta = cy.CyDeltaPowerLoad(3, delta_powers)
            bus.connect(delta, [(0, 0), (1, 1), (2, 2)])
            elements.append(delta)
            loads.append((delta, delta_powers))
        upstream = bus
    array = np.empty(len(elements), dtype=object)
    array[:] = elements
    return cy.CyElectricalNetwork(array, len(elements)), loads, upstream


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def measure(n):
    (network, loads, last_bus), t_network = timed(lambda: build_network(n))
    solver, t_plain = timed(lambda: cy.CyNewton(network, False))
    k = len(solver.get_variables())
    del solver
    gc.collect()
    solver, t_optimized = timed(lambda: cy.CyNewton(network, True))
    (iterations, error), t_solve = timed(lambda: solver.solve_load_flow(50, 1e-8))
    for load, powers in loads:
        load.update_powers(1.1 * powers)
    (warm_iterations, warm_error), t_warm = timed(lambda: solver.solve_load_flow(50, 1e-8))
    v_end = last_bus.get_potentials(4)
    return {
        "n": n, "unknowns": k, "network_s": t_network, "newton_s": t_plain,
        "newton_optimized_s": t_optimized, "iterations": iterations, "error": error,
        "solve_s": t_solve, "warm_iterations": warm_iterations, "warm_error": warm_error,
        "warm_solve_s": t_warm, "end_voltage_a": abs(v_end[0] - v_end[3]),
        "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[100, 1000, 10000])
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one is not None:
        print(json.dumps(measure(args.one)))
        return

    rows = []
    for n in args.sizes:
        output = subprocess.run([sys.executable, __file__, "--one", str(n)], check=True,
                                capture_output=True, text=True).stdout
        rows.append(json.loads(output.strip().splitlines()[-1]))

    header = (f"{'N':>6} {'unknowns':>9} {'network':>9} {'Newton':>9} {'Newton opt':>11} "
              f"{'solve':>8} {'it':>3} {'error':>9} {'re-solve':>9} {'it':>3} {'error':>9} "
              f"{'|Va| end':>9} {'peak':>9}")
    print(header)
    print(f"{'':>6} {'':>9} {'(s)':>9} {'(s)':>9} {'(s)':>11} {'(s)':>8} {'':>3} {'':>9} "
          f"{'(s)':>9} {'':>3} {'':>9} {'(V)':>9} {'(MiB)':>9}")
    for r in rows:
        print(f"{r['n']:>6} {r['unknowns']:>9} {r['network_s']:>9.3f} {r['newton_s']:>9.3f} "
              f"{r['newton_optimized_s']:>11.3f} {r['solve_s']:>8.3f} {r['iterations']:>3} "
              f"{r['error']:>9.1e} {r['warm_solve_s']:>9.3f} {r['warm_iterations']:>3} "
              f"{r['warm_error']:>9.1e} {r['end_voltage_a']:>9.2f} {r['peak_mib']:>9.1f}")


if __name__ == "__main__":
    main()
