"""A script whose work happens at module level: a Monte Carlo estimate of pi with NumPy, from
batches of random points, with the spread between batches."""

import sys

import numpy as np

SAMPLES = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
BATCH = 100_000

rng = np.random.default_rng(seed=0)
estimates = []
for start in range(0, SAMPLES, BATCH):
    points = rng.random((min(BATCH, SAMPLES - start), 2))
    inside = np.sum(points**2, axis=1) <= 1.0  # in the quarter circle
    estimates.append(4.0 * np.mean(inside))
print(f"pi is about {np.mean(estimates):.5f} +- {np.std(estimates):.5f} from {SAMPLES:,} samples")
