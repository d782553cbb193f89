"""Benchmark: the memory of a study that rebuilds its network in a loop.

Each rebuild builds the chain feeder of bench/feeder_bench.py (N buses), a Newton solver on it,
and solves; the names are then rebound by the next rebuild, as a study of switching
configurations or scenarios does, and the cyclic collector is never called. It prints the
resident memory after the first and after the last rebuild: when a dropped solver gives its
memory back at once, the two stay close (the last is somewhat higher, since a solver goes only
when its name is bound to the next one, so that two are alive for a moment).

    tools/dev build Release
    tools/dev run env PYTHONPATH=build/release/python python3 bench/rebuild_bench.py [--buses N] [--rebuilds R]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import load_flow_engine.cy_engine as cy  # noqa: E402
from feeder_bench import build_network  # noqa: E402


def resident_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--buses", type=int, default=2000, help="buses of the chain feeder")
    parser.add_argument("--rebuilds", type=int, default=20, help="rebuilds of network, solver and solve")
    args = parser.parse_args()
    if args.rebuilds < 1:
        parser.error("at least one rebuild")

    print(f"{'rebuild':>8} {'iterations':>10} {'error':>9} {'resident (MiB)':>15}")
    for rebuild in range(1, args.rebuilds + 1):
        network, _, _ = build_network(args.buses)
        solver = cy.CyNewton(network, False)
        iterations, error = solver.solve_load_flow(50, 1e-8)
        if rebuild in (1, args.rebuilds):
            print(f"{rebuild:>8} {iterations:>10} {error:>9.1e} {resident_mib():>15.0f}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
