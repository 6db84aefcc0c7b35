"""Build a Randles circuit two ways, print it and evaluate its impedance."""

import numpy as np

import movarin


def main() -> None:
    # From a circuit string: every element carries a label and placeholder values.
    parsed = movarin.Circuit("R0-(R1-W1,CPE1)")
    randles = parsed.with_named_values(
        {"R0.r": 12.0, "R1.r": 85.0, "W1.aw": 40.0, "CPE1.q": 2.2e-5, "CPE1.alpha": 0.87}
    )
    print(randles)

    # The same circuit from element objects.
    built = movarin.Series(
        [
            movarin.R(12.0),
            movarin.Parallel(
                [movarin.Series([movarin.R(85.0), movarin.W(40.0)]), movarin.Cpe(2.2e-5, 0.87)]
            ),
        ]
    )
    print(built)

    frequencies = np.logspace(5, -2, 8)
    from_string = randles.impedance(frequencies)
    from_elements = built.impedance(frequencies)
    assert np.array_equal(from_string, from_elements)

    print(f"\n{'f / Hz':>12}  {'Re Z / ohm':>12}  {'-Im Z / ohm':>12}")
    for f, z in zip(frequencies, from_string):
        print(f"{f:12.4g}  {z.real:12.4f}  {-z.imag:12.4f}")


if __name__ == "__main__":
    main()
