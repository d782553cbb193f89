"""Benchmark of the Newton and backward-forward solvers, one or two builds side by side.

Every case runs in a fresh process of its own (the build's `newton_bench`), so that page faults
and peak memory are those of one case. With two builds the runs alternate between them and
every figure is the median over the runs, so that a change is judged as a ratio on a noisy
machine; the results of the builds (iterations, errors, values) are compared bit for bit.

    tools/dev build Release
    tools/dev run python3 bench/newton_bench.py [--build DIR ...] [--runs R] [--json] [CASE ...]

CASE is chain:N (a radial four-wire feeder of N buses) or eulv:K (K copies of the European LV
feeder on one busbar); DIR a build directory holding `newton_bench` (default build/release).
Solves stop at a largest residual of 1e-8 A; the chain's tolerance grows as N/10 000 beyond
10 000 buses, since the residual that rounding leaves grows with the admittance of a section
(at 50 000 buses a solve stalls at 2.6e-8 A and would never meet 1e-8 A).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "data", "european-lv-feeder")
DEFAULT_CASES = ["chain:1000", "chain:10000", "chain:50000", "eulv:1", "eulv:10", "eulv:50"]

# (key, label, scale, format): times are shown in milliseconds.
ROWS = [
    ("unknowns", "unknowns", 1, "{:.0f}"),
    ("nnz", "Jacobian entries", 1, "{:.0f}"),
    ("colours", "colours (directions)", 1, "{:.0f}"),
    ("tape_ops", "tape operators", 1, "{:.0f}"),
    ("tape_ops_opt", "tape operators, optimised", 1, "{:.0f}"),
    ("network_s", "network build (ms)", 1e3, "{:.1f}"),
    ("record_s", "recording (ms)", 1e3, "{:.1f}"),
    ("record_opt_s", "recording + optimisation (ms)", 1e3, "{:.1f}"),
    ("first_solve_s", "first solve (ms)", 1e3, "{:.1f}"),
    ("first_pattern_s", "  pattern (ms)", 1e3, "{:.1f}"),
    ("first_first_jacobian_s", "  colouring + first Jacobian (ms)", 1e3, "{:.1f}"),
    ("first_analysis_s", "  LU analysis (ms)", 1e3, "{:.1f}"),
    ("first_iterations_s", "  iterations (ms)", 1e3, "{:.1f}"),
    ("iterations", "  iterations", 1, "{:.0f}"),
    ("error", "  error", 1, "{:.1e}"),
    ("first_faults", "  page faults", 1, "{:.0f}"),
    ("warm_solve_s", "warm re-solve (ms)", 1e3, "{:.2f}"),
    ("warm_iterations", "  iterations", 1, "{:.0f}"),
    ("warm_error", "  error", 1, "{:.1e}"),
    ("warm_faults", "  page faults", 1, "{:.0f}"),
    ("warm_iteration_s", "  per iteration (ms)", 1e3, "{:.2f}"),
    ("warm_jacobian_s", "    Jacobian (ms)", 1e3, "{:.2f}"),
    ("warm_assembly_s", "    assembly (ms)", 1e3, "{:.3f}"),
    ("warm_factorize_s", "    factorize (ms)", 1e3, "{:.2f}"),
    ("warm_lu_solve_s", "    LU solve (ms)", 1e3, "{:.2f}"),
    ("warm_step_s", "    step (ms)", 1e3, "{:.2f}"),
    ("warm_per_unknown_us", "  per iteration and unknown (µs)", 1, "{:.3f}"),
    ("floor_s", "floor of an iteration (ms)", 1e3, "{:.2f}"),
    ("floor_ratio", "  warm iteration / floor", 1, "{:.2f}"),
    ("peak_mib", "peak memory (MiB)", 1, "{:.0f}"),
    ("held_mib", "held after solves (MiB)", 1, "{:.0f}"),
    ("cppad_held_mib", "  of which tape allocator (MiB)", 1, "{:.0f}"),
    ("bf_warm_median_s", "backward-forward re-solve (ms)", 1e3, "{:.2f}"),
    ("bf_warm_iterations", "  iterations", 1, "{:.0f}"),
    ("bf_newton_gap_v", "  largest gap to Newton (V)", 1, "{:.1e}"),
]


def run_case(build, case, args):
    command = [os.path.join(build, "newton_bench"), case, "--data", args.data, "--warm", str(args.warm),
               "--iterations", str(args.iterations)]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    result = json.loads(output.strip().splitlines()[-1])
    # Derived figures.
    if result.get("first_pattern_s") is not None:
        result["first_iterations_s"] = (result["first_solve_s"] - result["first_pattern_s"]
                                        - result["first_first_jacobian_s"] - result["first_analysis_s"])
    if result.get("warm_iteration_s") is not None:
        result["warm_per_unknown_us"] = result["warm_iteration_s"] / result["unknowns"] * 1e6
        if result.get("floor_s"):
            result["floor_ratio"] = result["warm_iteration_s"] / result["floor_s"]
    return result


def median_of(runs):
    merged = {}
    for key in runs[0]:
        values = [run.get(key) for run in runs]
        if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
            merged[key] = statistics.median(values)
        else:
            merged[key] = values[0]
    # Results must not differ from run to run of one build.
    merged["stable"] = len({(run["digest"], run["last_error_bits"]) for run in runs}) == 1
    return merged


def print_table(case, builds, medians):
    names = [os.path.basename(os.path.normpath(b)) or b for b in builds]
    width = max(12, *(len(n) for n in names))
    header = f"{case:<36}" + "".join(f"{n:>{width}}" for n in names)
    if len(builds) == 2:
        header += f"{'ratio':>8}"
    print(header)
    for key, label, scale, fmt in ROWS:
        values = [medians[b].get(key) for b in builds]
        if all(v is None for v in values):
            continue
        cells = "".join(f"{(fmt.format(v * scale) if v is not None else '-'):>{width}}" for v in values)
        ratio = ""
        if len(builds) == 2 and None not in values and values[0] and key.endswith(("_s", "_mib", "_us")):
            ratio = f"{values[1] / values[0]:>8.2f}"
        print(f"{label:<36}{cells}{ratio}")
    digests = {medians[b]["digest"] for b in builds}
    same = "identical" if len(digests) == 1 else "DIFFERENT"
    stable = all(medians[b]["stable"] for b in builds)
    print(f"{'results (iterations, errors, values)':<36} {same}{'' if stable else ', UNSTABLE across runs'}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*", default=DEFAULT_CASES)
    parser.add_argument("--build", action="append", help="build directory (at most two; default build/release)")
    parser.add_argument("--runs", type=int, default=3, help="runs per case and build (median)")
    parser.add_argument("--warm", type=int, default=6, help="warm re-solves per run")
    parser.add_argument("--iterations", type=int, default=50, help="iteration limit of every Newton solve")
    parser.add_argument("--data", default=DEFAULT_DATA, help="directory of the European LV feeder CSV files")
    parser.add_argument("--json", action="store_true", help="print JSON instead of tables")
    args = parser.parse_args()
    builds = args.build or ["build/release"]
    if len(builds) > 2:
        parser.error("at most two builds")

    report = {}
    for case in args.cases:
        runs = {build: [] for build in builds}
        for r in range(args.runs):
            # Alternate which build goes first, so that drifts of the machine hit both alike.
            for build in (builds if r % 2 == 0 else builds[::-1]):
                runs[build].append(run_case(build, case, args))
        medians = {build: median_of(runs[build]) for build in builds}
        report[case] = {"medians": medians, "runs": runs}
        if not args.json:
            print_table(case, builds, medians)
            sys.stdout.flush()
    if args.json:
        print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
