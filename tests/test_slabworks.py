"""Slab header (CRC, binary form, bitmap), bucket allocator, stats collector, module functions."""

from __future__ import annotations

import copy
import ctypes
import gc
import logging
import pickle
import struct
import threading
import tracemalloc

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

from klavrix.memory import slabworks
from klavrix.memory.slabworks import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)
from threads import run_threads

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
HEADER = struct.Struct("<BBLHQ")
LOGGER = "klavrix.memory.slabworks"
REDUCE_MESSAGE = "no default __reduce__ due to non-trivial __cinit__"
MAX_BUCKETS = 1 << 20
int32s = st.integers(INT32_MIN, INT32_MAX)


def crc16_modbus(data: bytes) -> int:
    """Bit by bit, independent of the module's table."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def header_bytes(size_class=0, flags=0, count=0, bitmap=0, crc=None) -> bytes:
    """A binary header; its CRC is the correct one unless given."""
    if crc is None:
        crc = crc16_modbus(struct.pack("<BBL", size_class, flags, count))
    return HEADER.pack(size_class, flags, count, crc, bitmap)


def fields(ops: FastSlabHeaderOps) -> tuple:
    """(size_class_index, flags, modification_count, bitmap) as pack_header writes them."""
    size_class, flags, count, crc, bitmap = HEADER.unpack(ops.pack_header())
    assert crc == crc16_modbus(ops.pack_header()[:6])
    return size_class, flags, count, bitmap


def loaded(size_class=0, flags=0, count=0, bitmap=0, objects_per_slab=64) -> FastSlabHeaderOps:
    ops = FastSlabHeaderOps(size_class, objects_per_slab)
    ops.unpack_header(header_bytes(size_class, flags, count, bitmap))
    return ops


def warnings(caplog) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]


def wrap32(value: int) -> int:
    return (value - INT32_MIN) % 2**32 + INT32_MIN


def round_up(size: int, step: int) -> int:
    total = wrap32(size + step - 1)
    quotient = abs(total) // step * (1 if total >= 0 else -1)  # truncating division
    return quotient * step


def model_fits(offset: int, block_size: int, size: int, alignment: int) -> bool:
    aligned = wrap32(offset + alignment - 1) & ~wrap32(alignment - 1)
    return wrap32(aligned + size) <= wrap32(offset + block_size)


# ---------------------------------------------------------------------------------------------
# CRC and binary header


def test_crc_check_values_and_table():
    assert crc16_modbus(b"123456789") == 0x4B37
    packed = FastSlabHeaderOps(0, 10).pack_header()
    assert type(packed) is bytes and packed == bytes(6) + b"\x00\x1b" + (2**10 - 1).to_bytes(8, "little")
    # Byte 0 meets the initial 0xFFFF, so its 256 values reach every table entry; the other
    # positions check the chaining.
    for position in range(6):
        for value in range(256):
            prefix = bytearray(6)
            prefix[position] = value
            packed = loaded(*struct.unpack("<BBL", prefix)).pack_header()
            assert packed[6:8] == crc16_modbus(bytes(prefix)).to_bytes(2, "little")


@given(st.integers(0, 255), st.integers(0, 255), st.integers(0, 2**32 - 1), st.integers(0, 2**64 - 1))
def test_unpack_pack_round_trip(size_class, flags, count, bitmap):
    data = header_bytes(size_class, flags, count, bitmap)
    ops = FastSlabHeaderOps(7, 3)
    assert ops.unpack_header(data) is None
    assert ops.pack_header() == data


def test_round_trip_of_a_used_header_logs_nothing(caplog):
    ops = FastSlabHeaderOps(5, 20)
    ops.py_allocate_object_at(3)
    other = FastSlabHeaderOps(0, 20)
    other.unpack_header(data=ops.pack_header())
    assert other.pack_header() == ops.pack_header() and warnings(caplog) == []
    assert other.py_is_object_free(3) is False and other.py_find_free_object() == 0


def test_bit_flips_in_bytes_0_to_7_are_detected_once_and_in_the_bitmap_never(caplog):
    good = header_bytes(0x2A, 0x10, 0x01020304, 0xF0F0_0000_FFFF_0001)
    for bit in range(128):
        data = bytearray(good)
        data[bit // 8] ^= 1 << (bit % 8)
        caplog.clear()
        ops = FastSlabHeaderOps(0, 64)
        ops.unpack_header(bytes(data))
        size_class, flags, count, stored, bitmap = HEADER.unpack(bytes(data))
        if bit < 64:  # bytes 0-5, or the stored CRC itself
            computed = crc16_modbus(bytes(data[:6]))
            assert warnings(caplog) == [f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"]
            flags |= 0x80
        else:
            assert warnings(caplog) == []
        assert fields(ops) == (size_class, flags, count, bitmap)


def test_corruption_warning_goes_through_the_module_logger(monkeypatch):
    seen = []
    monkeypatch.setattr(slabworks, "logger", type("Logger", (), {"warning": lambda self, text: seen.append(text)})())
    ops = FastSlabHeaderOps(0, 1)
    ops.unpack_header(header_bytes(crc=0x000A))
    assert seen == ["Header corruption detected: stored=000a, computed=1b00"]
    # Repacking writes a CRC over the flagged fields: loading that again is clean.
    FastSlabHeaderOps(0, 1).unpack_header(ops.pack_header())
    assert len(seen) == 1


def test_unpack_header_rejects_bad_data_and_keeps_the_object():
    ops = loaded(9, 0x10, 1234, 0xABCDEF)
    before = ops.pack_header()
    for data in (b"", bytes(15), bytes(17), before * 2):
        with pytest.raises(ValueError):
            ops.unpack_header(data)
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        ops.unpack_header(None)
    for data, name in ((bytearray(before), "bytearray"), (memoryview(before), "memoryview"), ("x" * 16, "str")):
        with pytest.raises(TypeError, match=rf"^Argument 'data' has incorrect type \(expected bytes, got {name}\)$"):
            ops.unpack_header(data)

    class Sub(bytes):
        pass

    with pytest.raises(TypeError, match="expected bytes, got Sub"):
        ops.unpack_header(Sub(before))
    assert ops.pack_header() == before


# ---------------------------------------------------------------------------------------------
# Constructor and bitmap


@pytest.mark.parametrize(
    "objects, bitmap", [(0, 0), (1, 1), (10, 0x3FF), (63, 2**63 - 1), (64, 2**64 - 1), (1000, 2**64 - 1), (-5, 0)]
)
def test_constructor_bitmap(objects, bitmap):
    ops = FastSlabHeaderOps(0, objects)
    assert fields(ops) == (0, 0, 0, bitmap)
    assert ops.py_find_free_object() == (0 if bitmap else -1)


def test_size_class_keeps_its_low_eight_bits_and_arguments_are_32_bit():
    assert fields(FastSlabHeaderOps(300, 1))[0] == 44
    assert fields(FastSlabHeaderOps(-1, 1))[0] == 255
    assert fields(FastSlabHeaderOps(size_class_index=2.9, objects_per_slab=3.5)) == (2, 0, 0, 7)
    for args in ((2**31, 1), (0, -(2**31) - 1)):
        with pytest.raises(OverflowError, match="value too large to convert to int"):
            FastSlabHeaderOps(*args)
    with pytest.raises(TypeError, match="an integer is required"):
        FastSlabHeaderOps("1", 1)
    assert not hasattr(FastSlabHeaderOps(1, 1), "bitmap")


def test_ten_object_slab_allocate_and_free():
    ops = FastSlabHeaderOps(3, 10)
    assert ops.py_find_free_object() == 0
    assert ops.py_is_object_free(9) is True and ops.py_is_object_free(10) is False
    for i in range(10):
        assert ops.py_allocate_object_at(i) is None
    assert ops.py_find_free_object() == -1
    assert fields(ops) == (3, 0x10, 10, 0)
    for i in range(9, -1, -1):
        ops.py_deallocate_object_at(i)
        assert bool(fields(ops)[1] & 0x10) == (i != 0)
        assert ops.py_find_free_object() == i
    assert fields(ops) == (3, 0, 20, 0x3FF)


def test_indices_outside_the_bitmap_name_no_object():
    ops = FastSlabHeaderOps(0, 64)
    for index in (64, 70, INT32_MAX, -1, -64, INT32_MIN):
        assert ops.py_is_object_free(index) is False
    ops.py_allocate_object_at(70)
    ops.py_allocate_object_at(-1)
    assert fields(ops) == (0, 0x10, 2, 2**64 - 1)
    ops.py_deallocate_object_at(-3)  # counts, and the slab is entirely free: 0x10 goes
    assert fields(ops) == (0, 0, 3, 2**64 - 1)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        ops.py_allocate_object_at(2**31)
    with pytest.raises(TypeError, match="an integer is required"):
        ops.py_is_object_free(None)
    assert fields(ops) == (0, 0, 3, 2**64 - 1)


def test_modification_count_wraps():
    ops = loaded(count=2**32 - 1, bitmap=1, objects_per_slab=1)
    ops.py_allocate_object_at(0)
    assert fields(ops) == (0, 0x10, 0, 0)


@given(st.lists(st.tuples(st.booleans(), st.integers(-2, 66)), max_size=60), st.integers(-1, 70))
def test_bitmap_against_a_model(operations, objects):
    ops = FastSlabHeaderOps(1, objects)
    all_free = (1 << max(0, min(objects, 64))) - 1
    bitmap, flags, count = all_free, 0, 0
    for allocate, index in operations:
        bit = 1 << index if 0 <= index < 64 else 0
        if allocate:
            ops.py_allocate_object_at(index)
            bitmap, flags = bitmap & ~bit, flags | 0x10
        else:
            ops.py_deallocate_object_at(index)
            bitmap |= bit
            if bitmap == all_free:
                flags &= ~0x10
        count += 1
        lowest = (bitmap & -bitmap).bit_length() - 1
        assert ops.py_find_free_object() == lowest
        assert ops.py_is_object_free(index) is bool(bitmap & bit)
    assert fields(ops) == (1, flags, count, bitmap)


class HeaderApi(ctypes.Structure):
    _fields_ = [
        ("is_object_free", ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.py_object, ctypes.c_int32)),
        ("allocate_object", ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_int32)),
        ("deallocate_object", ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_int32)),
        ("find_free_object", ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.py_object)),
        ("compute_checksum", ctypes.CFUNCTYPE(ctypes.c_uint16, ctypes.py_object)),
    ]


class AllocatorApi(ctypes.Structure):
    _fields_ = [("get_bucket_size_fast", ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.py_object, ctypes.c_int32))]


class StatsApi(ctypes.Structure):
    _fields_ = [
        ("record_allocation",
         ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_int32, ctypes.c_int32, ctypes.c_bool)),
        ("record_deallocation", ctypes.CFUNCTYPE(None, ctypes.py_object)),
    ]


def native_api(cls, structure):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    name = f"{cls.__module__}.{cls.__name__}.__native_api__".encode()
    return structure.from_address(get_pointer(cls.__native_api__, name))


def test_internal_entry_points_run_without_the_interpreter_lock():
    # CFUNCTYPE functions are called with the interpreter lock released.
    api = native_api(FastSlabHeaderOps, HeaderApi)
    ops = FastSlabHeaderOps(0, 3)
    assert api.compute_checksum(ops) == 0x1B00
    api.allocate_object(ops, 0)
    api.allocate_object(ops, -7)
    assert api.is_object_free(ops, 0) is False and api.is_object_free(ops, 1) is True
    assert api.find_free_object(ops) == 1
    api.deallocate_object(ops, 0)
    assert fields(ops) == (0, 0, 3, 0b111)
    assert api.compute_checksum(ops) == crc16_modbus(ops.pack_header()[:6])

    allocator = FastBucketAllocator(16, 64, 128)
    get_bucket = native_api(FastBucketAllocator, AllocatorApi).get_bucket_size_fast
    assert [get_bucket(allocator, size) for size in (1, 16, 17, 64, 65, 128, 129)] == [16, 16, 32, 64, 80, 128, -1]

    stats_api, stats = native_api(FastStatsCollector, StatsApi), FastStatsCollector()
    stats_api.record_allocation(stats, 100, 7, True)
    stats_api.record_allocation(stats, 100, -2, False)
    stats_api.record_deallocation(stats)
    assert stats.get_stats() == {"total_allocations": 2, "total_deallocations": 1, "bucketed_allocations": 1,
                                 "fallback_allocations": 1, "bucketed_allocation_ratio": "50.0%",
                                 "alignment_padding_bytes": 5}


@pytest.mark.parametrize("make", [lambda: FastSlabHeaderOps(0, 1), FastBucketAllocator, FastStatsCollector])
def test_classes_refuse_pickling(make):
    obj = make()
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match=REDUCE_MESSAGE):
            attempt(obj)
    with pytest.raises(TypeError, match=REDUCE_MESSAGE):
        obj.__setstate__({})


# ---------------------------------------------------------------------------------------------
# FastBucketAllocator


def test_allocator_examples():
    allocator = FastBucketAllocator()
    assert allocator.add_to_bucket(100, 24) is True
    assert allocator.add_to_bucket(100, 20) is False  # 20 rounds to 24
    assert allocator.remove_from_bucket(20) == 100
    assert allocator.remove_from_bucket(20) is None
    assert allocator.add_to_bucket(0, 8192) is False
    assert allocator.add_to_bucket(0, 0) is False and allocator.add_to_bucket(0, -8) is False
    assert allocator.remove_from_bucket(0) is None and allocator.remove_from_bucket(5000) is None
    assert allocator.add_to_bucket(1, 8) and allocator.add_to_bucket(2, 8) and allocator.add_to_bucket(3, 4096)
    assert [allocator.remove_from_bucket(1) for _ in range(3)] == [2, 1, None]
    assert allocator.remove_from_bucket(4090) == 3


def test_best_fit_tests_alignment_against_the_bucket():
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(8, 24)
    assert allocator.find_best_fit_bucket(24, 16) is None  # 16 + 24 > 8 + 24: offset 8 stays
    allocator.add_to_bucket(16, 24)
    assert allocator.find_best_fit_bucket(24, 16) == 16
    assert allocator.find_best_fit_bucket(24, 8) == 8  # an allocation that ends at the bucket end fits
    allocator.add_to_bucket(128, 64)
    assert allocator.find_best_fit_bucket(24, 8) == 128
    assert allocator.remove_from_bucket(64) is None


def test_best_fit_falls_back_to_larger_buckets_in_ascending_order():
    allocator = FastBucketAllocator()
    for offset, size in ((300, 32), (500, 48), (1000, 4096)):
        allocator.add_to_bucket(offset, size)
    # At alignment 64: 320 + 24 > 300 + 32, 512 + 24 <= 500 + 48.
    assert allocator.find_best_fit_bucket(24, 64) == 500
    assert allocator.find_best_fit_bucket(24, 64) == 1000
    assert allocator.find_best_fit_bucket(24, 4) == 300
    # Only the newest offset of each list is tried: 64 would fit, 1 is tested and does not.
    allocator.add_to_bucket(64, 48)
    allocator.add_to_bucket(1, 48)
    assert allocator.find_best_fit_bucket(40, 64) is None
    assert allocator.find_best_fit_bucket(8192, 1) is None
    assert [allocator.remove_from_bucket(48) for _ in range(3)] == [1, 64, None]


def test_allocator_arguments():
    allocator = FastBucketAllocator(bucket_size_step=16, small_block_max=64, medium_block_max=256)
    assert allocator.add_to_bucket(size=48, offset=5) is True
    assert allocator.find_best_fit_bucket(alignment=1, size=33) == 5
    for call in (lambda: allocator.add_to_bucket(2**31, 16), lambda: allocator.remove_from_bucket(-(2**31) - 1),
                 lambda: allocator.find_best_fit_bucket(16, 2**31), lambda: FastBucketAllocator(2**31)):
        with pytest.raises(OverflowError, match="value too large to convert to int"):
            call()
    with pytest.raises(TypeError, match="an integer is required"):
        allocator.add_to_bucket("5", 16)
    with pytest.raises(TypeError, match="unexpected keyword argument 'step'"):
        FastBucketAllocator(step=8)
    assert allocator.remove_from_bucket(48) is None


@pytest.mark.parametrize("step", [0, -1, -8, INT32_MIN])
def test_non_positive_steps_are_refused(step):
    with pytest.raises(ValueError, match="bucket_size_step must be positive"):
        FastBucketAllocator(step)
    with pytest.raises(ValueError, match="step must be positive"):
        fast_get_bucket_size(10, step)


def test_absurd_bucket_counts_fail_at_once():
    for args in ((1, INT32_MAX, INT32_MAX), (1, 0, MAX_BUCKETS + 1), (1, MAX_BUCKETS, MAX_BUCKETS + 1)):
        with pytest.raises(ValueError, match=r"buckets \(at most 1048576\)"):
            FastBucketAllocator(*args)
    # The largest step: one bucket, and no 32-bit overflow while laying them out.
    allocator = FastBucketAllocator(2**30, INT32_MAX, INT32_MAX)
    assert allocator.add_to_bucket(1, 2**30) is True
    assert allocator.find_best_fit_bucket(2**30, 1) == 1


def test_unusual_layouts():
    # small_block_max not a multiple of the step: the medium sizes are 20 + k * 8.
    allocator = FastBucketAllocator(8, 20, 60)
    assert allocator.add_to_bucket(1, 16) is True
    assert allocator.add_to_bucket(1, 28) is False and allocator.add_to_bucket(1, 32) is False
    assert allocator.find_best_fit_bucket(17, 1) is None  # 24 is not a bucket; 28, 36, ... are empty
    # Empty ranges.
    empty = FastBucketAllocator(8, 0, -5)
    assert empty.add_to_bucket(1, 8) is False and empty.find_best_fit_bucket(1, 1) is None


def test_init_buckets_empties_every_list():
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(3, 64)
    assert allocator._init_buckets() is None
    assert allocator.remove_from_bucket(64) is None


def test_constructor_ends_with_a_subclass_init_buckets():
    calls = []

    class Seeded(FastBucketAllocator):
        def _init_buckets(self):
            calls.append(self.remove_from_bucket(8))  # the buckets do not exist yet
            super()._init_buckets()
            self.add_to_bucket(40, 8)

    seeded = Seeded(8, 16, 32)
    assert calls == [None] and seeded.remove_from_bucket(8) == 40

    class Bare(FastBucketAllocator):
        def _init_buckets(self):
            pass

    assert Bare().add_to_bucket(0, 8) is False  # no bucket was made

    class Failing(FastBucketAllocator):
        def _init_buckets(self):
            raise RuntimeError("no buckets today")

    with pytest.raises(RuntimeError, match="no buckets today"):
        Failing()

    class Plain(FastBucketAllocator):
        pass

    assert Plain().add_to_bucket(0, 4096) is True


def test_sizes_near_the_32_bit_limit_wrap():
    allocator = FastBucketAllocator(2**28, 2**28, INT32_MAX)
    # INT32_MAX + 2**28 - 1 wraps negative: rounds to a negative bucket, which is never one.
    assert allocator.add_to_bucket(0, INT32_MAX) is False
    assert allocator.remove_from_bucket(INT32_MAX) is None
    assert fast_get_bucket_size(INT32_MAX) == round_up(INT32_MAX, 8) == -2147483640
    assert fast_get_bucket_size(INT32_MIN, 3) == round_up(INT32_MIN, 3)
    assert fast_align_size(INT32_MAX, 8) == INT32_MIN
    assert fast_can_fit_aligned(INT32_MAX - 3, 8, 8, 8) is model_fits(INT32_MAX - 3, 8, 8, 8)


class AllocatorModel:
    """The allocator in plain Python: dict of stacks, exact class first, then larger keys."""

    def __init__(self, step, small, medium):
        self.small, self.medium, self.step = small, medium, step
        sizes = list(range(step, small + 1, step)) + list(range(small + step, medium + 1, step))
        self.buckets = {size: [] for size in sizes}

    def bucket(self, size):
        return round_up(size, self.step) if size <= max(self.small, self.medium) else -1

    def add(self, offset, size):
        bucket = self.bucket(size)
        if bucket <= 0 or bucket != size or bucket not in self.buckets:
            return False
        self.buckets[bucket].append(offset)
        return True

    def remove(self, size):
        bucket = self.bucket(size)
        stack = self.buckets.get(bucket) if bucket > 0 else None
        return stack.pop() if stack else None

    def best_fit(self, size, alignment):
        bucket = self.bucket(size)
        keys = ([bucket] if bucket in self.buckets else []) + [k for k in sorted(self.buckets) if k > bucket]
        for key in keys:
            stack = self.buckets[key]
            if stack and model_fits(stack[-1], key, size, alignment):
                return stack.pop()
        return None


class AllocatorMachine(RuleBasedStateMachine):
    LAYOUTS = [(8, 256, 4096), (8, 64, 256), (16, 40, 200), (3, 10, 30), (8, 200, 40)]

    @initialize(layout=st.sampled_from(LAYOUTS))
    def start(self, layout):
        self.native, self.model = FastBucketAllocator(*layout), AllocatorModel(*layout)

    @rule(offset=st.integers(-1000, 1 << 20), size=st.one_of(st.integers(-4, 300), st.sampled_from([24, 4096])))
    def add(self, offset, size):
        assert self.native.add_to_bucket(offset, size) is self.model.add(offset, size)

    @rule(size=st.one_of(st.integers(-4, 300), st.sampled_from([4096, 4097])))
    def remove(self, size):
        assert self.native.remove_from_bucket(size) == self.model.remove(size)

    @rule(size=st.one_of(st.integers(-4, 300), st.sampled_from([4096, 4097])), alignment=st.integers(1, 64))
    def best_fit(self, size, alignment):
        assert self.native.find_best_fit_bucket(size, alignment) == self.model.best_fit(size, alignment)


TestAllocatorModel = AllocatorMachine.TestCase
TestAllocatorModel.settings = settings(max_examples=150, stateful_step_count=60, deadline=None)


def test_allocator_under_threads():
    allocator, taken = FastBucketAllocator(), [[] for _ in range(4)]

    def work(i):
        for n in range(2000):
            allocator.add_to_bucket(i * 10_000 + n, 8 * (1 + n % 16))
        for n in range(2000):
            found = allocator.find_best_fit_bucket(8, 1)
            if found is not None:
                taken[i].append(found)

    run_threads(4, work)
    rest = [offset for size in range(8, 129, 8) for offset in iter(lambda: allocator.remove_from_bucket(size), None)]
    everything = sorted(rest + [offset for part in taken for offset in part])
    assert everything == sorted(i * 10_000 + n for i in range(4) for n in range(2000))


# ---------------------------------------------------------------------------------------------
# FastStatsCollector


def test_stats_ratio_padding_and_reset():
    stats = FastStatsCollector()
    assert list(stats.get_stats().items()) == [
        ("total_allocations", 0), ("total_deallocations", 0), ("bucketed_allocations", 0),
        ("fallback_allocations", 0), ("bucketed_allocation_ratio", "0.0%"), ("alignment_padding_bytes", 0)]
    for bucketed in (True, 1, "yes", []):
        stats.py_record_allocation(16, 4, bucketed)
    stats.py_record_deallocation()
    result = stats.get_stats()
    assert result["bucketed_allocation_ratio"] == "75.0%" and result["alignment_padding_bytes"] == 16
    assert (result["total_allocations"], result["bucketed_allocations"], result["fallback_allocations"]) == (4, 3, 1)
    assert result is not stats.get_stats()
    stats.py_record_allocation(0, 0, False)
    stats.py_record_allocation(0, 0, False)
    assert stats.get_stats()["bucketed_allocation_ratio"] == "50.0%"
    assert stats.reset_stats() is None
    assert set(stats.get_stats().values()) == {0, "0.0%"}
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        stats.py_record_allocation(2**31, 0, True)  # size is unused, but still a 32-bit integer
    stats.py_record_allocation(size=1, padding=2, is_bucketed=0)
    assert stats.get_stats()["fallback_allocations"] == 1


def test_stats_ratio_rounding_and_negative_padding():
    stats = FastStatsCollector()
    for bucketed in (True, False, False):
        stats.py_record_allocation(0, -1, bucketed)
    result = stats.get_stats()
    assert result["bucketed_allocation_ratio"] == f"{1 / 3 * 100:.1f}%" == "33.3%"
    assert result["alignment_padding_bytes"] == 2**64 - 3  # an unsigned running sum wraps
    stats.py_record_allocation(0, 3, True)
    assert stats.get_stats()["alignment_padding_bytes"] == 0


def test_stats_under_threads_are_exact():
    stats = FastStatsCollector()

    def work(i):
        for n in range(5000):
            stats.py_record_allocation(n, i, n % 4 == 0)
            if n % 2:
                stats.py_record_deallocation()

    run_threads(4, work)
    assert stats.get_stats() == {
        "total_allocations": 20_000, "total_deallocations": 10_000, "bucketed_allocations": 5000,
        "fallback_allocations": 15_000, "bucketed_allocation_ratio": "25.0%",
        "alignment_padding_bytes": 5000 * (0 + 1 + 2 + 3)}


# ---------------------------------------------------------------------------------------------
# Module functions


def test_fast_align_size():
    assert fast_align_size(13, 8) == 16 and fast_align_size(16, 8) == 16 and fast_align_size(0, 1) == 0
    assert fast_align_size(-13, 8) == -8
    for alignment in (6, 0, -8, 3, INT32_MIN):
        with pytest.raises(ValueError, match="^Alignment must be a power of 2$"):
            fast_align_size(5, alignment)
    assert fast_align_size(1, 2**30) == 2**30


def test_fast_get_bucket_size():
    assert fast_get_bucket_size(1) == 8 and fast_get_bucket_size(17, 16) == 32 and fast_get_bucket_size(0) == 0
    assert fast_get_bucket_size(-20) == -8 and fast_get_bucket_size(size=9, step=1) == 9
    assert fast_get_bucket_size.__text_signature__ == "(size, step=8)"


@given(int32s, st.integers(1, INT32_MAX))
def test_fast_get_bucket_size_against_a_model(size, step):
    assert fast_get_bucket_size(size, step) == round_up(size, step)


def test_fast_bitmap_operations():
    assert fast_bitmap_operations(0b1010, 1, "is_set") is True
    assert fast_bitmap_operations(0b1010, 0, "is_set") is False
    assert fast_bitmap_operations(0b1010, 64, "set") == 0b1010
    assert fast_bitmap_operations(0b1010, -1, "set") == 0b1010
    assert fast_bitmap_operations(0, 63, "set") == 2**63
    assert fast_bitmap_operations(2**64 - 1, 63, "clear") == 2**63 - 1
    assert fast_bitmap_operations(0b1010, 64, "clear") == 0b1010
    assert fast_bitmap_operations(0, 0, "find_first") == -1
    assert fast_bitmap_operations(0b1000, 99, "find_first") == 3
    assert fast_bitmap_operations(2**63, -5, "find_first") == 63
    assert fast_bitmap_operations(2**64 - 1, -1, "is_set") is False
    for operation in ("flip", "", "SET", None):
        with pytest.raises(ValueError, match=rf"^Unknown operation: {operation}$"):
            fast_bitmap_operations(1, 0, operation)
    with pytest.raises(TypeError, match=r"^Argument 'operation' has incorrect type \(expected str, got bytes\)$"):
        fast_bitmap_operations(1, 0, b"set")
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        fast_bitmap_operations(-1, 0, "set")
    with pytest.raises(OverflowError):
        fast_bitmap_operations(2**64, 0, "set")


def test_fast_can_fit_aligned_accepts_an_exact_fit():
    assert fast_can_fit_aligned(0, 64, 64, 8) is True
    assert fast_can_fit_aligned(0, 64, 63, 8) is True
    assert fast_can_fit_aligned(0, 64, 65, 8) is False
    assert fast_can_fit_aligned(1, 64, 57, 8) is True and fast_can_fit_aligned(1, 64, 58, 8) is False
    assert fast_can_fit_aligned(5, 10, 0, 0) is True  # no check of alignment: aligned is 0 then


@given(st.integers(-(2**20), 2**20), st.integers(0, 2**20), st.integers(0, 2**20), st.sampled_from([1, 2, 8, 64, 4096]))
def test_fit_test_matches_exact_arithmetic_away_from_the_limits(offset, block, size, alignment):
    expected = (offset + alignment - 1) // alignment * alignment + size <= offset + block
    assert fast_can_fit_aligned(offset, block, size, alignment) is expected


def test_hot_paths_keep_no_references():
    ops, allocator, stats = FastSlabHeaderOps(1, 64), FastBucketAllocator(), FastStatsCollector()

    def work():
        for n in range(2000):
            ops.unpack_header(ops.pack_header())
            ops.py_allocate_object_at(n % 64)
            ops.py_deallocate_object_at(n % 64)
            allocator.add_to_bucket(100_000 + 8 * n, 8 * (3 + n % 6))  # one in, one out
            allocator.find_best_fit_bucket(24, 8)
            allocator.remove_from_bucket(8)
            stats.py_record_allocation(n, 1, n % 2)
            stats.get_stats()
            fast_bitmap_operations(2**63 + n, 3, "set")
            with pytest.raises(ValueError):
                fast_bitmap_operations(n, 3, "flip")

    work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        work()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 20_000  # one object kept per call would be far more


def test_module_names_and_load_line(python):
    out = python(
        """
        import logging
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        root = logging.getLogger()
        root.addHandler(Keep())
        root.setLevel(logging.DEBUG)
        import klavrix.memory.slabworks as m
        print([n for n in vars(m) if not n.startswith("__")])
        print(ascii([(r.name, r.levelname, r.getMessage()) for r in records if r.name.startswith("klavrix")]))
        print(m.logger is logging.getLogger("klavrix.memory.slabworks"), "struct" in vars(m))
        """
    )
    names, records, last = out.splitlines()
    assert names == str(["logging", "threading", "logger", "FastSlabHeaderOps", "FastBucketAllocator",
                         "FastStatsCollector", "fast_align_size", "fast_get_bucket_size", "fast_bitmap_operations",
                         "fast_can_fit_aligned"])
    assert records == ascii([("klavrix.memory.slabworks", "INFO",
                              "Klavrix Slabworks Cython module loaded - targeting 1.8-3\u00d7 performance improvement")])
    assert last == "True False"
