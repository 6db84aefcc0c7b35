"""Evaluate an exported weight file on fresh held-out spectra.

    .venv/bin/python -m training.evaluate rc [--weights weights/rc.ovrel] [--count 2000]

Predictions go through the exported file: the module's `Circuit.guess` with
`weights=` when the module has it, else the NumPy reference on the parsed file.
Besides the synthetic held-out set (the figures of REPORT.md), a second held-out
set is drawn entirely from data.MeasuredMix: what instruments add to spectra.
On it the errors are reported together with how often a local fit started
from the network ends in the basin of the fit started at the truth.
Writes training/results/<name>.json and regenerates training/REPORT.md.
"""

import argparse
import json
import sys
import time
from pathlib import Path

import movarin
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402
import ovrel  # noqa: E402
import reference  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
EVALUATION_SEED = 424242  # disjoint from the training seeds (1000 * seed + 1, + 2)
MEASURED_SEED = 424243
MEASURED_FITS = 500  # measured-like spectra also fitted from the network's start and from the truth
SAME_BASIN = 1e-3  # relative cost excess that still counts as the same minimum
NOISE = 0.01
EXAMPLE_FREQUENCIES = 10.0 ** (-1.0 + 6.0 * np.arange(50) / 49.0)
EXAMPLES = {"rc": [10.0, 100.0, 1e-5], "rq": [5.0, 50.0, 2e-4, 0.8]}
EXAMPLE_TOLERANCE = 0.02
# Inside-the-window median error targets: relative, and absolute for exponents.
SINGLE_ARC = {"rc", "rc_l", "rq", "rq_l"}


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", nargs="?", help="model to evaluate (omit with --report-only)")
    parser.add_argument("--weights", type=Path, help="weight file (default weights/<name>.ovrel)")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--json", type=Path, help="result file (default results/<name>.json, which REPORT.md lists)")
    parser.add_argument("--report-only", action="store_true", help="only regenerate REPORT.md")
    return parser.parse_args(argv)


def is_exponent(param_name):
    return param_name.endswith(".alpha")


# ---------------------------------------------------------------- prediction


def make_predictor(circuit, model, path):
    """Prediction function through the exported file, and which path it takes."""
    if hasattr(movarin.Circuit, "guess"):
        return (lambda f, z: np.array(circuit.guess(f, z, weights=str(path)))), "movarin.Circuit.guess"
    return (lambda f, z: reference.predict_parameters(model, f, z)), "numpy reference"


def parameter_errors(predicted, true, names):
    """Relative error per parameter; absolute error for exponents."""
    errors = np.abs(predicted - true)
    relative = [not is_exponent(n) for n in names]
    errors[:, relative] /= np.abs(true[:, relative])
    return errors


def summarise(errors, names):
    return {
        n: {"median": float(np.median(errors[:, j])), "p90": float(np.percentile(errors[:, j], 90))}
        for j, n in enumerate(names)
    }


def spectrum_misfit(circuit, params, spectra):
    """Relative RMS difference between the start point's spectrum and the data."""
    misfits = []
    for p, (f, z) in zip(params, spectra):
        start = circuit.with_values(list(p)).impedance(f)
        misfits.append(float(np.sqrt(np.mean(np.abs(start - z) ** 2 / np.abs(z) ** 2))))
    return np.array(misfits)


def information_limit(circuit, params, spectra, sigma):
    """Cramer-Rao standard deviation of each parameter's error for one spectrum.

    Relative for log-scaled parameters, absolute for exponents, at relative
    noise sigma: no estimator, network or fit, does better on average.
    """
    f, _ = spectra
    clean = circuit.with_values(list(params)).impedance(f)
    columns = []
    for j, name in enumerate(circuit.param_names()):
        step = 1e-6
        shifted = params.copy()
        shifted[j] = shifted[j] + step if is_exponent(name) else shifted[j] * np.exp(step)
        dz = (circuit.with_values(list(shifted)).impedance(f) - clean) / (step * np.abs(clean))
        columns.append(np.concatenate([dz.real, dz.imag]))
    jacobian = np.array(columns).T / sigma
    try:
        return np.sqrt(np.diag(np.linalg.inv(jacobian.T @ jacobian)))
    except np.linalg.LinAlgError:
        return np.full(len(params), np.inf)


def examples(name, circuit, predict):
    if name not in EXAMPLES:
        return None
    true = np.array(EXAMPLES[name])
    z = circuit.with_values(list(true)).impedance(EXAMPLE_FREQUENCIES)
    predicted = predict(EXAMPLE_FREQUENCIES, z)
    error = np.abs(predicted / true - 1.0)
    return {
        "true": true.tolist(),
        "predicted": predicted.tolist(),
        "relative_error": error.tolist(),
        "within_2_percent": bool(np.all(error <= EXAMPLE_TOLERANCE)),
    }


def cross_check(model, predict, spectra, count=50):
    """Largest relative difference between the module and the NumPy reference."""
    worst = 0.0
    for f, z in spectra[:count]:
        ours = reference.predict_parameters(model, f, z)
        worst = max(worst, float(np.max(np.abs(predict(f, z) / ours - 1.0))))
    return worst


def fit_cost(circuit, start, f, z):
    try:
        return circuit.with_values(list(start)).fit(f, z, guess_init=False).cost
    except (ValueError, RuntimeError):
        return np.inf


def measured_like(name, circuit, predict, count):
    """Errors on spectra as instruments report them, and how often the start reaches the truth's basin."""
    held_out = data.build_dataset(
        name, count, seed=MEASURED_SEED, measured=data.MeasuredMix(fraction=1.0), keep_spectra=True
    )
    names = circuit.param_names()
    predicted = np.array([predict(f, z) for f, z in held_out.spectra])
    errors = parameter_errors(predicted, held_out.params, names)
    # Misfit against the circuit's own spectrum: what the start gets right of the part the circuit models.
    clean = [(f, circuit.with_values(list(p)).impedance(f)) for p, (f, _) in zip(held_out.params, held_out.spectra)]
    misfit = spectrum_misfit(circuit, predicted, clean)
    fitted = range(min(MEASURED_FITS, count))
    from_network = np.array([fit_cost(circuit, predicted[i], *held_out.spectra[i]) for i in fitted])
    from_truth = np.array([fit_cost(circuit, held_out.params[i], *held_out.spectra[i]) for i in fitted])
    same_basin = from_network <= from_truth * (1.0 + SAME_BASIN) + 1e-300
    return {
        "spectra": count,
        "network": summarise(errors, names),
        "spectrum_misfit_to_circuit": {"median": float(np.median(misfit)), "p90": float(np.percentile(misfit, 90))},
        "fits": len(fitted),
        "fit_reaches_truth_basin": float(same_basin.mean()),
    }


def targets_met(name, names, inside):
    limit = 0.01 if name in SINGLE_ARC else 0.03
    return all(inside[n]["median"] <= limit for n in names), limit


# ---------------------------------------------------------------- main


def evaluate(name, path, count):
    model = ovrel.read_weight_file(path)
    circuit = movarin.Circuit(name)
    names = circuit.param_names()
    predict, backend = make_predictor(circuit, model, path)
    held_out = data.build_dataset(name, count, seed=EVALUATION_SEED, sigma=NOISE, keep_spectra=True)

    started = time.time()
    predicted = np.array([predict(f, z) for f, z in held_out.spectra])
    seconds = time.time() - started
    placeholder = np.tile(np.array(circuit.param_values()), (count, 1))

    net_errors = parameter_errors(predicted, held_out.params, names)
    start_errors = parameter_errors(placeholder, held_out.params, names)
    inside = held_out.inside
    network = {"all": summarise(net_errors, names), "inside": summarise(net_errors[inside], names)}
    placeholders = {"all": summarise(start_errors, names), "inside": summarise(start_errors[inside], names)}
    net_misfit = spectrum_misfit(circuit, predicted, held_out.spectra)
    start_misfit = spectrum_misfit(circuit, placeholder, held_out.spectra)
    met, limit = targets_met(name, names, network["inside"])
    # 0.674 sigma is the median absolute value of a Gaussian error.
    limits = 0.674 * np.array([information_limit(circuit, p, s, NOISE) for p, s in zip(held_out.params, held_out.spectra)])
    return {
        "name": name,
        "weights": str(path.relative_to(ROOT) if path.is_relative_to(ROOT) else path),
        "inference": backend,
        "module_vs_reference_max_relative_difference": (
            cross_check(model, predict, held_out.spectra) if backend != "numpy reference" else None
        ),
        "spectra": count,
        "inside_window_spectra": int(inside.sum()),
        "noise": NOISE,
        "seconds_per_prediction": seconds / count,
        "network": network,
        "placeholder": placeholders,
        "information_limit_median": {
            "all": dict(zip(names, np.median(limits, axis=0).tolist())),
            "inside": dict(zip(names, np.median(limits[inside], axis=0).tolist())),
        },
        "spectrum_misfit": {
            "network": {"median": float(np.median(net_misfit)), "p90": float(np.percentile(net_misfit, 90))},
            "placeholder": {"median": float(np.median(start_misfit)), "p90": float(np.percentile(start_misfit, 90))},
        },
        "better_than_placeholder": bool(
            np.median(net_misfit) < np.median(start_misfit)
            and all(network["all"][n]["median"] < placeholders["all"][n]["median"] for n in names)
        ),
        "inside_target": limit,
        "inside_target_met": met,
        "examples": examples(name, circuit, predict),
        "measured_like": measured_like(name, circuit, predict, count),
    }


def percent(value, name):
    return f"{value:.4f}" if is_exponent(name) else f"{100 * value:.2f}%"


def model_section(result, training):
    names = list(result["network"]["all"])
    lines = [f"### {result['name']}", ""]
    if training and training.get("init"):
        minutes = (training["data_seconds"] + training["train_seconds"]) / 60
        lines.append(
            f"C = {training['channels']}, fine-tuned on {training['spectra']} spectra x {training['epochs']} epochs "
            f"({100 * training['measured']['fraction']:.0f}% measured-like), peak rate {training['lr']}, "
            f"{training['threads']} thread: {minutes:.1f} min ({training['train_seconds'] / 60:.1f} min training); "
            f"blended with the base file at weight {training['blend']['weight']}."
        )
    elif training:
        minutes = (training["data_seconds"] + training["train_seconds"]) / 60
        lines.append(
            f"C = {training['channels']}, {training['spectra']} spectra x {training['epochs']} epochs, "
            f"{training['threads']} thread: {minutes:.1f} min ({training['train_seconds'] / 60:.1f} min training)."
        )
    lines += [
        f"Inference: {result['inference']}. Held-out: {result['spectra']} spectra at {100 * result['noise']:.0f}% noise, "
        f"{result['inside_window_spectra']} with every time constant half a decade inside the window.",
        "",
        "| parameter | median | p90 | median inside | p90 inside | information limit inside | placeholder median |",
        "|---|---|---|---|---|---|---|",
    ]
    for n in names:
        a, i, p = result["network"]["all"][n], result["network"]["inside"][n], result["placeholder"]["all"][n]
        bound = result["information_limit_median"]["inside"][n]
        lines.append(
            f"| {n} | {percent(a['median'], n)} | {percent(a['p90'], n)} | {percent(i['median'], n)} "
            f"| {percent(i['p90'], n)} | ~{percent(bound, n)} | {percent(p['median'], n)} |"
        )
    misfit = result["spectrum_misfit"]
    lines += [
        "",
        f"Spectrum misfit of the start point (relative RMS, median): network {100 * misfit['network']['median']:.2f}%, "
        f"placeholder {100 * misfit['placeholder']['median']:.0f}%. Better than the placeholder: "
        f"{'yes' if result['better_than_placeholder'] else 'NO'}. Inside-the-window target "
        f"(median <= {100 * result['inside_target']:.0f}%, exponents {result['inside_target']} absolute): "
        f"{'met' if result['inside_target_met'] else 'NOT met'}.",
    ]
    if result["examples"]:
        ex = result["examples"]
        values = ", ".join(f"{v:.5g}" for v in ex["predicted"])
        lines.append(
            f"Example {result['name']} {ex['true']}: predicted {values} "
            f"(within 2%: {'yes' if ex['within_2_percent'] else 'NO'})."
        )
    if result["module_vs_reference_max_relative_difference"] is not None:
        lines.append(f"Module vs NumPy reference: max relative difference {result['module_vs_reference_max_relative_difference']:.2e}.")
    measured = result.get("measured_like")
    if measured:
        medians = ", ".join(f"{n} {percent(v['median'], n)}" for n, v in measured["network"].items())
        lines += [
            "",
            f"Measured-like held-out set ({measured['spectra']} spectra, every one drawn with data.MeasuredMix): "
            f"median error {medians}; start misfit to the circuit's own spectrum "
            f"{100 * measured['spectrum_misfit_to_circuit']['median']:.1f}% (median); a local fit from the start "
            f"ends in the basin of the fit from the truth in {100 * measured['fit_reaches_truth_basin']:.1f}% "
            f"of {measured['fits']}.",
        ]
    return lines + [""]


def comparison_section(base, result, training):
    """Old (the file fine-tuned from) against new, on the same held-out sets."""
    names = list(result["network"]["all"])
    lines = [
        f"### {result['name']}: fine-tuned from {training['init']['file']} (sha256 {training['init']['sha256'][:12]}), "
        f"blend weight {training['blend']['weight']}",
        "",
        "| parameter | median old -> new | median inside old -> new | measured-like median old -> new |",
        "|---|---|---|---|",
    ]
    for n in names:
        cells = [
            f"{percent(base[group][subset][n]['median'], n)} -> {percent(result[group][subset][n]['median'], n)}"
            for group, subset in (("network", "all"), ("network", "inside"))
        ]
        old, new = base["measured_like"]["network"][n]["median"], result["measured_like"]["network"][n]["median"]
        lines.append(f"| {n} | {cells[0]} | {cells[1]} | {percent(old, n)} -> {percent(new, n)} |")
    old_m, new_m = base["measured_like"], result["measured_like"]
    lines += [
        "",
        f"Measured-like: start misfit {100 * old_m['spectrum_misfit_to_circuit']['median']:.1f}% -> "
        f"{100 * new_m['spectrum_misfit_to_circuit']['median']:.1f}%, fit reaches the truth's basin "
        f"{100 * old_m['fit_reaches_truth_basin']:.1f}% -> {100 * new_m['fit_reaches_truth_basin']:.1f}%. "
        f"Synthetic start misfit {100 * base['spectrum_misfit']['network']['median']:.2f}% -> "
        f"{100 * result['spectrum_misfit']['network']['median']:.2f}%.",
        "",
    ]
    return lines


# Read with the tables above it; the figures quoted come from them.
WHY_TARGETS_ARE_MISSED = [
    "## Why the targets are missed",
    "",
    "- What the spectra determine. For every model with a CPE, an inductor or a second arc, the",
    "  information limit of at least one parameter is itself above the target (rq's q about 1.6%, the",
    "  inductances 1.5-2.4%, randles' q 2.9%, the second arc's values 3.6-30% in the two-arc",
    "  models); rc, where the limit leaves room, met its target after a longer run. Spectra",
    "  count as inside the window when every time constant is half a decade inside it, but two arcs",
    "  may still overlap and a diffusion tail may cover an arc; then only sums are determined, and no",
    "  estimator, a converged fit included, reaches those targets at 1% noise.",
    "- Training budget. The worst parameter of each network sits 1.5-2.5 times above its limit for",
    "  the models with CPEs and 3.0-5.8 times for those with ideal capacitors. Validation error",
    "  was still falling when every run ended; each model had 13-60 minutes of one CPU thread",
    "  (training/README.md). Longer runs are the next step for rc_l, two_rc and two_rc_l, the",
    "  furthest from their limits: rc went from 1.19% to 0.85% for its capacitance with 1.7x the passes.",
    "- Noise level. The networks train on a mix of noise levels (10% clean, sigma log-uniform",
    "  0.05-3%); the 1% of the evaluation lies in the upper quarter of that mix.",
    "- What counts for a fit: every network's start point is within a few percent of the spectrum",
    "  (misfit column) against 100% for the placeholders, and from it the local fit reaches the",
    "  global minimum in 99-100% of the benchmark's rc, randles and two_rq spectra",
    "  (bench/bench_fit.py).",
]


# Read with the comparison tables under it.
FINE_TUNING = [
    "## Fine-tuned on measured-like spectra",
    "",
    "The files below were fine-tuned from the previous ones on a mix of the synthetic spectra and",
    "measured-like ones (data.MeasuredMix; training/README.md). Old is the previous file, new the stored",
    "one, both through the exported file on the same held-out sets. A file is replaced only when no",
    "parameter's synthetic median (all, inside) is more than 10% worse and the measured-like figures are",
    "better. two_rq_l, rq, rq_l and two_rc were fine-tuned too, but no blend passed, so their files are",
    "unchanged (figures in training/README.md).",
    "",
]


def measured_files_section(records):
    """Old against new on the measured example files (results/measured_files.json)."""
    lines = [
        "## Measured example files",
        "",
        "Each file of examples/data/measured fitted with `Circuit(name).fit(f, z, weights=...)` (network start,",
        "then the local fit) with the previous and the new file: the start's relative RMS misfit to the data and",
        "the fitted cost divided by the best cost found by basin hopping and differential evolution from both",
        "starts (1 = the local fit reached the best minimum found). \"Im<0\" drops the inductive points first.",
        "",
        "| file | points | model | start misfit old -> new | cost / best old -> new |",
        "|---|---|---|---|---|",
    ]
    missed_old = sum(r["cost_old"] > 1.01 * r["cost_best"] for r in records.values())
    missed_new = sum(r["cost_new"] > 1.01 * r["cost_best"] for r in records.values())
    lines[-3:-3] = [
        f"Local fits more than 1% above the best minimum: {missed_old} of {len(records)} from the previous files, "
        f"{missed_new} from the new ones.",
    ]
    for key, r in records.items():
        source, points, name = key.split("|")
        lines.append(
            f"| {source} | {points} | {name} | {100 * r['misfit_old']:.1f}% -> {100 * r['misfit_new']:.1f}% "
            f"| {r['cost_old'] / r['cost_best']:.3g} -> {r['cost_new'] / r['cost_best']:.3g} |"
        )
    return lines + [""]


def worst_limit_ratio(result):
    """The largest ratio of the network's median error inside the window to the information limit."""
    inside = result["network"]["inside"]
    limits = result["information_limit_median"]["inside"]
    name = max(inside, key=lambda n: inside[n]["median"] / limits[n])
    return f"{inside[name]['median'] / limits[name]:.1f} ({name})"


def summary_row(result):
    inside = result["network"]["inside"]
    medians = ", ".join(f"{n} {percent(v['median'], n)}" for n, v in inside.items())
    example = result["examples"]
    return (
        f"| {result['name']} | {medians} | {'met' if result['inside_target_met'] else 'not met'} "
        f"| {worst_limit_ratio(result)} "
        f"| {'-' if example is None else ('yes' if example['within_2_percent'] else 'NO')} "
        f"| {'yes' if result['better_than_placeholder'] else 'NO'} |"
    )


def write_report():
    results = [
        json.loads(path.read_text())
        for path in sorted((HERE / "results").glob("*.json"))
        if not path.name.endswith((".train.json", ".base.json")) and path.name != "measured_files.json"
    ]
    summary = [
        "| model | median error inside the window | target | median / information limit, worst | example within 2% | better than placeholder |",
        "|---|---|---|---|---|---|",
        *(summary_row(r) for r in results),
        "",
        "Where a target is not met, compare with the information-limit column below: at 1% noise an",
        "unbiased estimator, such as a converged fit, does no better, so a target under it is out of reach.",
        "",
        *WHY_TARGETS_ARE_MISSED,
        "",
    ]
    sections, fine_tuned = [], []
    for result in results:
        train_path = HERE / "results" / f"{result['name']}.train.json"
        training = json.loads(train_path.read_text()) if train_path.exists() else None
        sections += model_section(result, training)
        base_path = HERE / "results" / f"{result['name']}.base.json"
        if training and training.get("init") and base_path.exists():
            fine_tuned += comparison_section(json.loads(base_path.read_text()), result, training)
    if fine_tuned:
        sections += FINE_TUNING + fine_tuned
    measured_files = HERE / "results" / "measured_files.json"
    if measured_files.exists():
        sections += measured_files_section(json.loads(measured_files.read_text()))
    header = [
        "# Initial-guess networks: evaluation",
        "",
        "Generated by `training/evaluate.py` from `training/results/*.json`; every figure goes through the",
        "exported half-precision weight file. Errors are relative, except the CPE exponents (absolute).",
        "Targets for the median inside the window: 1% for rc, rc_l, rq, rq_l (exponents 0.01), 3% for the rest.",
        "The information limit is the median of 0.674 x the Cramer-Rao standard deviation at the same",
        "noise: roughly the median error of an ideal unbiased estimator (a converged fit) on the same spectra.",
        "",
    ]
    (HERE / "REPORT.md").write_text("\n".join(header + summary + sections))


def main(argv=None):
    args = parse_args(argv)
    if not args.report_only:
        path = (args.weights or ROOT / "weights" / f"{args.name}.ovrel").resolve()
        result = evaluate(args.name, path, args.count)
        target = args.json or HERE / "results" / f"{args.name}.json"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(json.dumps(result, indent=2) + "\n")
        print(json.dumps({k: result[k] for k in ("inference", "network", "better_than_placeholder", "examples")}, indent=1))
    write_report()


if __name__ == "__main__":
    main()
