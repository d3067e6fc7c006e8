"""Slab header round trip and bucket best fit against pure-Python equivalents and crcmod."""

from __future__ import annotations

import logging
import operator
import struct
import threading

from harness import report, section

from klavrix.memory.slabworks import FastBucketAllocator, FastSlabHeaderOps

try:
    import crcmod.predefined
except ImportError:  # the bench extra is not installed
    crcmod = None

OPS = 50_000
HEADER = struct.Struct("<BBLHQ")
CHECKSUMMED = struct.Struct("<BBL")
logger = logging.getLogger("bench_slabworks")


def make_crc16_table() -> list[int]:
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC16_TABLE = make_crc16_table()


def table_crc16(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc = (crc >> 8) ^ CRC16_TABLE[(crc ^ byte) & 0xFF]
    return crc


class PySlabHeader:
    """The header in plain Python: struct for the binary form, a table-driven CRC-16/MODBUS."""

    def __init__(self, size_class_index: int, objects_per_slab: int, crc=table_crc16) -> None:
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.modification_count = 0
        self.checksum = 0
        self.bitmap = (1 << min(max(objects_per_slab, 0), 64)) - 1
        self.crc = crc

    def compute_checksum(self) -> int:
        return self.crc(CHECKSUMMED.pack(self.size_class_index, self.flags, self.modification_count))

    def pack_header(self) -> bytes:
        self.checksum = self.compute_checksum()
        return HEADER.pack(self.size_class_index, self.flags, self.modification_count, self.checksum, self.bitmap)

    def unpack_header(self, data: bytes) -> None:
        if type(data) is not bytes:
            raise TypeError(f"Argument 'data' has incorrect type (expected bytes, got {type(data).__name__})")
        if len(data) != HEADER.size:
            raise ValueError(f"Header must be exactly {HEADER.size} bytes, got {len(data)}")
        self.size_class_index, self.flags, self.modification_count, stored, self.bitmap = HEADER.unpack(data)
        computed = self.compute_checksum()
        if computed != stored:
            self.flags |= 0x80
            logger.warning(f"Header corruption detected: stored={stored:04x}, computed={computed:04x}")


class PlainBuckets:
    """The simplest Python a caller would write instead: a dict of lists used as stacks, no lock,
    the sizes sorted once."""

    def __init__(self, bucket_size_step: int = 8, small_block_max: int = 256, medium_block_max: int = 4096) -> None:
        self.step, self.small, self.medium = bucket_size_step, small_block_max, medium_block_max
        self.buckets = {size: [] for size in range(self.step, self.small + 1, self.step)}
        self.buckets.update((size, []) for size in range(self.small + self.step, self.medium + 1, self.step))
        self.sizes = sorted(self.buckets)

    def add_to_bucket(self, offset: int, size: int) -> bool:
        stack = self.buckets.get(size)
        if stack is None:
            return False
        stack.append(offset)
        return True

    def find_best_fit_bucket(self, size: int, alignment: int):
        bucket = (size + self.step - 1) // self.step * self.step
        mask = alignment - 1
        stack = self.buckets.get(bucket)
        if stack:
            offset = stack.pop()
            if ((offset + mask) & ~mask) + size <= offset + bucket:
                return offset
            stack.append(offset)
        for key in self.larger_sizes():
            if key > bucket:
                stack = self.buckets[key]
                if stack:
                    offset = stack.pop()
                    if ((offset + mask) & ~mask) + size <= offset + key:
                        return offset
                    stack.append(offset)
        return None

    def larger_sizes(self):
        return self.sizes


class PyBucketAllocator(PlainBuckets):
    """The allocator as the native module behaves, in plain Python: sizes rounded to their class and
    above the maxima refused, every method under a lock, the keys sorted on each fallback search."""

    def __init__(self, *args) -> None:
        super().__init__(*args)
        self.lock = threading.Lock()

    def bucket_size(self, size: int) -> int:
        if size <= self.small or size <= self.medium:
            return (size + self.step - 1) // self.step * self.step
        return -1

    def add_to_bucket(self, offset: int, size: int) -> bool:
        bucket = self.bucket_size(size)
        if bucket <= 0 or bucket != size:
            return False
        with self.lock:
            return super().add_to_bucket(offset, size)

    def find_best_fit_bucket(self, size: int, alignment: int):
        with self.lock:
            return super().find_best_fit_bucket(size, alignment)

    def larger_sizes(self):
        return sorted(self.buckets)


class FloorCalls:
    """The same loop calling the cheapest native callable of two arguments twice."""

    add_to_bucket = find_best_fit_bucket = staticmethod(operator.is_)


def main() -> None:
    section("slabworks: FastSlabHeaderOps, FastBucketAllocator")

    def round_trips(header):
        pack, unpack = header.pack_header, header.unpack_header

        def run():
            for _ in range(OPS):
                unpack(pack())
        return run

    native = FastSlabHeaderOps(3, 48)
    native.py_allocate_object_at(5)
    python = PySlabHeader(3, 48)
    cases = {"native": round_trips(native), "pure-Python (struct + table CRC)": round_trips(python)}
    if crcmod is not None:
        cases["pure-Python with crcmod CRC"] = round_trips(PySlabHeader(3, 48, crc=crcmod.predefined.mkCrcFun("modbus")))
    report("pack_header() + unpack_header()", cases, OPS)

    sizes = [8 * (1 + i % 64) for i in range(OPS)]
    alignments = [1 << (i % 4) for i in range(OPS)]

    def exact_fits(allocator):
        add, fit = allocator.add_to_bucket, allocator.find_best_fit_bucket

        def run():
            for offset, (size, alignment) in enumerate(zip(sizes, alignments)):
                add(offset * 64, size)
                fit(size, alignment)
        return run

    report("add_to_bucket + find_best_fit_bucket (own size class)",
           {"native": exact_fits(FastBucketAllocator()), "pure-Python dict of lists": exact_fits(PyBucketAllocator()),
            "plain dict of lists, no lock": exact_fits(PlainBuckets()),
            "floor: operator.is_ twice": exact_fits(FloorCalls())}, OPS)

    fallback_ops = OPS // 10

    def larger_fits(allocator):
        add, fit = allocator.add_to_bucket, allocator.find_best_fit_bucket

        def run():
            for offset in range(fallback_ops):
                add(offset * 64, 2048)
                fit(24, 8)  # bucket 24 is empty: the larger buckets are searched in order
        return run

    report("add_to_bucket + find_best_fit_bucket (larger bucket)",
           {"native": larger_fits(FastBucketAllocator()), "pure-Python dict of lists": larger_fits(PyBucketAllocator())},
           fallback_ops)
