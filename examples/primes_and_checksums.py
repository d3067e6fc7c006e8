"""A small CPU-bound program to profile: a prime count and the checksums of many text blocks."""

import math
import sys


def is_prime(n):
    if n < 2:
        return False
    for d in range(2, math.isqrt(n) + 1):
        if n % d == 0:
            return False
    return True


def count_primes(limit):
    return sum(1 for n in range(limit) if is_prime(n))


def checksum(block):
    return sum(map(ord, block)) % 65521


def main(argv):
    limit = int(argv[1]) if len(argv) > 1 else 200_000
    blocks = [str(i) * 200 for i in range(5_000)]
    total = sum(checksum(text) for text in blocks)
    print(f"{count_primes(limit)} primes below {limit:,}; checksum {total}")


if __name__ == "__main__":
    main(sys.argv)
