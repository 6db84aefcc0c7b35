"""Blend a fine-tuned weight file with the file it was fine-tuned from.

    .venv/bin/python -m training.blend two_rq BASE FINE_TUNED --weight 0.5 --out weights/two_rq.ovrel

Every network tensor becomes (1 - weight) * base + weight * fine-tuned; the
normalisation tables, which fine-tuning keeps, are copied. Interpolating the
weights trades what fine-tuning gained on measured-like spectra against what
it cost on the synthetic ones, without another training run. Development only.
"""

import argparse
import json
import sys
from pathlib import Path

import movarin
import numpy as np
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402
import train  # noqa: E402
from model import GuessNet  # noqa: E402


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("name", choices=sorted(train.MODELS))
    parser.add_argument("base", type=Path)
    parser.add_argument("fine_tuned", type=Path)
    parser.add_argument("--weight", type=float, required=True, help="share of the fine-tuned file (0 to 1)")
    parser.add_argument("--out", type=Path, required=True)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    channels = train.MODELS[args.name][1]
    param_names = movarin.Circuit(args.name).param_names()
    base, tuned = GuessNet(channels, len(param_names)), GuessNet(channels, len(param_names))
    mean, std = train.load_exported(args.base, args.name, base)
    tuned_mean, tuned_std = train.load_exported(args.fine_tuned, args.name, tuned)
    if not (np.array_equal(mean, tuned_mean) and np.array_equal(std, tuned_std)):
        raise ValueError(f"{args.fine_tuned} normalises its targets unlike {args.base}: not fine-tuned from it")
    tuned_state = tuned.state_dict()
    blended = {k: (1.0 - args.weight) * v + args.weight * tuned_state[k] for k, v in base.state_dict().items()}
    net = GuessNet(channels, len(param_names))
    net.load_state_dict(blended)
    with torch.no_grad():
        scaling, log_flags = data.scaling_table(param_names)
        size = train.export_weights(args.out, args.name, net, param_names, mean, std, scaling, log_flags)
    record = {
        "name": args.name, "blend_weight": args.weight, "bytes": size,
        "base": {"file": str(args.base), "sha256": train.file_digest(args.base)},
        "fine_tuned": {"file": str(args.fine_tuned), "sha256": train.file_digest(args.fine_tuned)},
        "sha256": train.file_digest(args.out),
    }
    print(json.dumps(record, indent=1))


if __name__ == "__main__":
    main()
