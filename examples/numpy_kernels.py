"""Numerical kernels on NumPy arrays: row normalisation, distances, a regularised least-squares
solve, a power spectrum and a moving average."""

import numpy as np


def normalize_rows(matrix):
    """Scale each row of a 2-D array to unit Euclidean length (zero rows stay zero)."""
    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    norms[norms == 0] = 1.0
    return matrix / norms


def pairwise_distances(points):
    """Euclidean distance between every pair of rows, by broadcasting instead of loops."""
    diff = points[:, np.newaxis, :] - points[np.newaxis, :, :]
    return np.sqrt(np.sum(diff**2, axis=-1))


def ridge_regression(design, target, alpha=1e-3):
    """Solve (X^T X + alpha I) w = X^T y for the weights w."""
    gram = np.matmul(design.T, design) + alpha * np.eye(design.shape[1])
    return np.linalg.solve(gram, np.dot(design.T, target))


def power_spectrum(signal, sample_rate):
    """Frequencies and power of a real signal under a Hann window, scaled by the window's energy."""
    window = np.hanning(len(signal))
    spectrum = np.fft.rfft(signal * window)
    frequencies = np.fft.rfftfreq(len(signal), d=1.0 / sample_rate)
    return frequencies, np.abs(spectrum) ** 2 / np.sum(window**2)


def standardize_columns(samples):
    """Zero mean and unit variance per column; constant columns are only centred."""
    mean = samples.mean(axis=0)
    std = samples.std(axis=0)
    return (samples - mean) / np.where(std > 0, std, 1.0)


def stack_batches(batches, width):
    """Pad 1-D batches of different lengths with zeros and concatenate them into one matrix."""
    out = np.zeros((len(batches), width))
    for row, batch in enumerate(batches):
        out[row, : min(len(batch), width)] = batch[:width]
    return out.reshape(len(batches), width)
