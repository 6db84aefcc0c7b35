"""Train one initial-guess network and export it as weights/<name>.ovrel.

    .venv/bin/python -m training.train rc [--spectra N] [--epochs E] [--threads 1]
    .venv/bin/python -m training.train two_rq --init weights/two_rq.ovrel --measured 0.6 --lr 5e-4 ...

With --init the network starts from an exported file and keeps that file's
normalisation tables (fine-tuning); --measured sets the share of measured-like
spectra (data.MeasuredMix) in the training and validation sets.

Deterministic for a given seed and thread count. Development only.
"""

import argparse
import dataclasses
import hashlib
import json
import math
import sys
import time
from pathlib import Path

import movarin
import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402
import ovrel  # noqa: E402
import reference  # noqa: E402
from model import DILATIONS, GROUPS, KERNEL, GuessNet  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent

# name: (circuit string, channels, exact size of the exported file in bytes)
MODELS = {
    "rc": ("R0-(R1,C1)", 16, 37039),
    "rc_l": ("L0-R0-(R1,C1)", 32, 138455),
    "rq": ("R0-(R1,CPE1)", 32, 138462),
    "rq_l": ("L0-R0-(R1,CPE1)", 32, 139014),
    "two_rc": ("R0-(R1,C1)-(R2,C2)", 32, 139009),
    "two_rc_l": ("L0-R0-(R1,C1)-(R2,C2)", 32, 139561),
    "two_rq": ("R0-(R1,CPE1)-(R2,CPE2)", 32, 140127),
    "two_rq_l": ("L0-R0-(R1,CPE1)-(R2,CPE2)", 32, 140679),
    "randles": ("R0-(R1-W1,CPE1)", 32, 139015),
    "sei_randles": ("R0-(R1,CPE1)-(R2-W2,CPE2)", 64, 541576),
    "sei_randles_wo": ("R0-(R1,CPE1)-(R2-Wo2,CPE2)", 64, 542642),
}

# Default budgets (training spectra, epochs): the runs that produced the stored files, so that the
# default command reproduces each one (same seed, one thread); for the fine-tuned files, their base.
BUDGETS = {
    "rc": (400_000, 20), "rc_l": (400_000, 7), "rq": (280_000, 7), "rq_l": (320_000, 7),
    "two_rc": (320_000, 7), "two_rc_l": (320_000, 7), "two_rq": (320_000, 7), "two_rq_l": (320_000, 7),
    "randles": (320_000, 7), "sei_randles": (600_000, 5), "sei_randles_wo": (600_000, 5),
}

LOG_VARIANCE_RANGE = (-16.0, 8.0)
MSE_FRACTION = 0.05  # plain MSE first, so the variances do not lock in early guesses
WARMUP_FRACTION = 0.03
VALIDATION_SPECTRA = 5_000


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", choices=sorted(MODELS))
    parser.add_argument("--spectra", type=int, help="training spectra (default: the stored run)")
    parser.add_argument("--epochs", type=float, help="passes over the training spectra")
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--lr", type=float, default=3e-3)
    parser.add_argument("--weight-decay", type=float, default=1e-4)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--noise", type=float, nargs=2, metavar=("LOW", "HIGH"), help="relative noise range")
    parser.add_argument("--noiseless", type=float, help="fraction of noiseless spectra")
    parser.add_argument("--out", type=Path, help="weight file (default weights/<name>.ovrel)")
    parser.add_argument("--init", type=Path, help="start from this exported file and keep its normalisation")
    parser.add_argument("--measured", type=float, default=0.0, help="share of measured-like spectra (0 to 1)")
    return parser.parse_args(argv)


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


# ---------------------------------------------------------------- data


def normalisation(targets):
    """Per-parameter mean and std, rounded to float32 as they are stored."""
    mean = targets.mean(axis=0).astype(np.float32).astype(np.float64)
    std = targets.std(axis=0).astype(np.float32).astype(np.float64)
    return mean, std


def as_tensors(dataset, mean, std):
    y = (dataset.targets - mean) / std
    return (
        torch.from_numpy(dataset.features),
        torch.from_numpy(dataset.extras),
        torch.from_numpy(y.astype(np.float32)),
    )


# ---------------------------------------------------------------- optimisation


def learning_rate(step, total, peak):
    """Linear warm-up, then cosine decay to zero."""
    warmup = max(1, int(WARMUP_FRACTION * total))
    if step < warmup:
        return peak * (step + 1) / warmup
    return peak * 0.5 * (1.0 + math.cos(math.pi * (step - warmup) / max(1, total - warmup)))


def loss_fn(outputs, y, gaussian):
    """Gaussian negative log-likelihood with a learned variance per output.

    Spectra whose parameters are not identifiable get a large variance and
    stop dominating the fit of the identifiable ones.
    """
    n_params = y.shape[1]
    mu = outputs[:, :n_params]
    if not gaussian:
        return ((y - mu) ** 2).mean()
    s = outputs[:, n_params:].clamp(*LOG_VARIANCE_RANGE)
    return 0.5 * ((y - mu) ** 2 * torch.exp(-s) + s).sum(dim=1).mean()


@torch.no_grad()
def validation_error(net, tensors):
    """Median and mean squared error of the normalised means on held-out spectra."""
    x, e, y = tensors
    mu = torch.cat([net(x[i : i + 1024], e[i : i + 1024]) for i in range(0, len(x), 1024)])[:, : y.shape[1]]
    err = (mu - y).abs()
    return err.median(dim=0).values.tolist(), (err**2).mean().item()


def train(net, train_tensors, val_tensors, epochs, batch, peak_lr, weight_decay, seed, mse_fraction=MSE_FRACTION):
    x, e, y = train_tensors
    steps_per_epoch = math.ceil(len(x) / batch)
    total = int(round(epochs * steps_per_epoch))
    optimiser = torch.optim.AdamW(net.parameters(), lr=peak_lr, weight_decay=weight_decay)
    order_rng = torch.Generator().manual_seed(seed)
    started, step = time.time(), 0
    log(f"training {total} steps of {batch} ({epochs} epochs of {len(x)} spectra)")
    while step < total:
        order = torch.randperm(len(x), generator=order_rng)
        net.train()
        for start in range(0, len(x), batch):
            if step >= total:
                break
            idx = order[start : start + batch]
            for group in optimiser.param_groups:
                group["lr"] = learning_rate(step, total, peak_lr)
            loss = loss_fn(net(x[idx], e[idx]), y[idx], gaussian=step >= mse_fraction * total)
            optimiser.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(net.parameters(), 1.0)
            optimiser.step()
            step += 1
            if step % 500 == 0 or step == total:
                rate = step * batch / (time.time() - started)
                lr = optimiser.param_groups[0]["lr"]
                log(f"step {step}/{total} loss {loss.item():.4f} lr {lr:.2e} {rate:.0f} samples/s")
        net.eval()
        medians, mse = validation_error(net, val_tensors)
        log(f"epoch {step / steps_per_epoch:.2f}: validation mse {mse:.4f} median |err| {np.round(medians, 4).tolist()}")
    return time.time() - started


# ---------------------------------------------------------------- export


def tensor_order(n_blocks):
    """Network tensor names (without "w.") in the order the files store them."""
    names = ["stem.weight", "stem.bias"]
    for i in range(n_blocks):
        for layer in ("conv1", "norm1", "conv2", "norm2"):
            names += [f"blocks.{i}.{layer}.weight", f"blocks.{i}.{layer}.bias"]
    for layer in ("head.0", "head.2", "head.4"):
        names += [f"{layer}.weight", f"{layer}.bias"]
    return names


def export_weights(path, name, net, param_names, mean, std, scaling, log_flags):
    circuit, channels, expected_bytes = MODELS[name]
    header = [
        ("circuit", circuit),
        ("param_names", ",".join(param_names)),
        ("estimator", "reactive_centroid"),
        ("n_grid", str(data.N_GRID)),
        ("channels", str(channels)),
        ("kernel", str(KERNEL)),
        ("groups", str(GROUPS)),
        ("dilations", ",".join(str(d) for d in DILATIONS)),
        ("alpha_min", "0.05"),
        ("alpha_max", "1.0"),
    ]
    state = net.state_dict()
    names = tensor_order(len(DILATIONS))
    assert sorted(names) == sorted(state), "network layout differs from the weight-file layout"
    tensors = [("w." + n, ovrel.ENCODING_F16, state[n].detach().double().numpy()) for n in names]
    tensors += [
        ("target_mean", ovrel.ENCODING_F32, mean),
        ("target_std", ovrel.ENCODING_F32, std),
        ("scaling", ovrel.ENCODING_F32, scaling),
        ("log_params", ovrel.ENCODING_F32, log_flags),
    ]
    path.parent.mkdir(parents=True, exist_ok=True)
    size = ovrel.write_weight_file(path, header, tensors)
    assert size == expected_bytes, f"{path} has {size} bytes, expected {expected_bytes}"
    return size


def verify_export(path, net, mean, std, val_tensors, count=20):
    """Read the file back and check it against the trained network.

    Returns (max difference reference vs float64 torch on the stored fp16 weights,
    max difference of the normalised outputs caused by fp16 storage,
    max relative round-trip error of the output tables).
    """
    model = ovrel.read_weight_file(path)
    stored = {k[2:]: torch.from_numpy(t.array().copy()) for k, t in model.tensors.items() if k.startswith("w.")}
    exact = GuessNet(model.channels, len(model.param_names)).double()
    exact.load_state_dict(stored)
    x, e, _ = val_tensors
    with torch.no_grad():
        torch_fp16 = exact(x[:count].double(), e[:count].double()).numpy()
        torch_fp32 = net(x[:count], e[:count]).double().numpy()
    ref = np.stack([reference.run_network(model, x[i].double().numpy(), e[i].double().numpy()) for i in range(count)])
    n_params = len(model.param_names)
    tables = max(np.max(np.abs(model.target_mean - mean)), np.max(np.abs(model.target_std - std) / std))
    return (
        float(np.max(np.abs(ref - torch_fp16))),
        float(np.max(np.abs(ref[:, :n_params] - torch_fp32[:, :n_params]))),
        float(tables),
    )


# ---------------------------------------------------------------- fine-tuning


def load_exported(path, name, net):
    """Load an exported file's network into `net`; returns its stored (mean, std) tables.

    The half-precision tensors become the starting point; the tables stay as
    stored, so targets are normalised exactly as the file maps them back.
    """
    model = ovrel.read_weight_file(path)
    if model.header["circuit"] != MODELS[name][0]:
        raise ValueError(f"{path} holds {model.header['circuit']}, not {MODELS[name][0]}")
    state = {k[2:]: torch.from_numpy(t.array().astype(np.float32)) for k, t in model.tensors.items() if k.startswith("w.")}
    net.load_state_dict(state)
    return model.target_mean.astype(np.float64), model.target_std.astype(np.float64)


def file_digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


# ---------------------------------------------------------------- main


def noise_model(args):
    noise = data.NoiseModel()
    if args.noise:
        noise = dataclasses.replace(noise, low=args.noise[0], high=args.noise[1])
    if args.noiseless is not None:
        noise = dataclasses.replace(noise, noiseless=args.noiseless)
    return noise


def write_record(summary, custom_out):
    """Record the run; trial runs (custom --out) keep theirs beside the file, not among the results."""
    record = Path(__file__).resolve().parent / "results" / f"{summary['name']}.train.json"
    if custom_out is not None:
        record = custom_out.with_suffix(".train.json")
    record.parent.mkdir(parents=True, exist_ok=True)
    record.write_text(json.dumps(summary, indent=2) + "\n")


def main(argv=None):
    args = parse_args(argv)
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    circuit, channels, _ = MODELS[args.name]
    default_spectra, default_epochs = BUDGETS[args.name]
    spectra = args.spectra or default_spectra
    epochs = args.epochs or default_epochs
    out = args.out or ROOT / "weights" / f"{args.name}.ovrel"
    log(f"{args.name} {circuit}: C={channels}, {spectra} spectra, {epochs} epochs, {args.threads} thread(s)")

    noise = noise_model(args)
    measured = data.MeasuredMix(fraction=args.measured)
    log(f"noise: {noise}; measured-like: {measured}")
    param_names = movarin.Circuit(args.name).param_names()
    net = GuessNet(channels, len(param_names))
    init_digest = None
    if args.init:
        init_digest = file_digest(args.init)  # before training: --out may be the same file
        stored_tables = load_exported(args.init, args.name, net)
        log(f"starting from {args.init} (sha256 {init_digest[:16]}...)")

    t0 = time.time()
    train_set = data.build_dataset(args.name, spectra, seed=1000 * args.seed + 1, noise=noise, measured=measured)
    val_set = data.build_dataset(args.name, VALIDATION_SPECTRA, seed=1000 * args.seed + 2, noise=noise, measured=measured)
    data_seconds = time.time() - t0
    log(f"generated {spectra + VALIDATION_SPECTRA} spectra in {data_seconds:.0f} s")

    scaling, log_flags = data.scaling_table(param_names)
    mean, std = stored_tables if args.init else normalisation(train_set.targets)
    log(f"target mean {np.round(mean, 3).tolist()} std {np.round(std, 3).tolist()}")
    train_tensors, val_tensors = as_tensors(train_set, mean, std), as_tensors(val_set, mean, std)
    del train_set

    # A loaded head already has sensible variances, so fine-tuning uses the likelihood from the start.
    mse_fraction = 0.0 if args.init else MSE_FRACTION
    if args.init:
        net.eval()
        medians, mse = validation_error(net, val_tensors)
        log(f"before fine-tuning: validation mse {mse:.4f} median |err| {np.round(medians, 4).tolist()}")
    train_seconds = train(
        net, train_tensors, val_tensors, epochs, args.batch, args.lr, args.weight_decay, args.seed, mse_fraction
    )
    net.eval()

    size = export_weights(out, args.name, net, param_names, mean, std, scaling, log_flags)
    exact, fp16, tables = verify_export(out, net, mean, std, val_tensors)
    log(f"exported {out} ({size} bytes, as required)")
    log(f"reference vs torch on stored weights: max |diff| {exact:.2e}; fp16 storage moves outputs by <= {fp16:.4f}")
    summary = {
        "name": args.name, "channels": channels, "spectra": spectra, "epochs": epochs, "batch": args.batch,
        "threads": args.threads, "seed": args.seed, "lr": args.lr, "noise": dataclasses.asdict(noise),
        "measured": dataclasses.asdict(measured),
        "init": None if args.init is None else {"file": str(args.init), "sha256": init_digest},
        "data_seconds": round(data_seconds, 1),
        "train_seconds": round(train_seconds, 1), "bytes": size, "reference_vs_torch": exact,
        "fp16_output_shift": fp16, "output_table_roundtrip": tables,
    }
    write_record(summary, args.out)
    log(f"done in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
