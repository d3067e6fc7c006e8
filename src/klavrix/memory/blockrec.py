"""Block records of the memory layer: one span of memory, by offset and size."""

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Blockrec:
    """A free or allocated span; two records are equal when they describe the same span."""

    offset: int
    size: int
