"""CPU-bound work spread over processes: prime counting and image tiles."""

import math
import multiprocessing
from concurrent.futures import ProcessPoolExecutor


def count_primes(limit):
    """Number of primes below `limit`, by trial division."""
    count = 0
    for candidate in range(2, limit):
        if all(candidate % d for d in range(2, math.isqrt(candidate) + 1)):
            count += 1
    return count


def count_primes_parallel(limit, chunk_size=10_000):
    """Cut [0, limit) into chunks and count the primes of each chunk in a worker process."""
    bounds = [(start, min(start + chunk_size, limit)) for start in range(0, limit, chunk_size)]
    with ProcessPoolExecutor() as pool:
        return sum(pool.map(_count_primes_between, *zip(*bounds)))


def _count_primes_between(low, high):
    return count_primes(high) - count_primes(low)


def blur_tiles(tiles, radius=2):
    """Blur each image tile in its own process of a multiprocessing pool."""
    with multiprocessing.Pool() as pool:
        return pool.starmap(box_blur, [(tile, radius) for tile in tiles])


def box_blur(tile, radius):
    """Compute the mean of the (2r+1)^2 neighbourhood of every pixel of a tile (a list of rows)."""
    height, width = len(tile), len(tile[0])
    out = [[0.0] * width for _ in range(height)]
    for y in range(height):
        for x in range(width):
            total = count = 0
            for dy in range(-radius, radius + 1):
                for dx in range(-radius, radius + 1):
                    if 0 <= y + dy < height and 0 <= x + dx < width:
                        total += tile[y + dy][x + dx]
                        count += 1
            out[y][x] = total / count
    return out
