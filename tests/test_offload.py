"""Offload: allocation planning, chunk shapes, out-of-memory classification and headroom."""

import math
from fractions import Fraction

import pytest
from hypothesis import assume, given, strategies as st

from klavrix.gpu import offload
from klavrix.gpu.offload import (
    calculate_memory_pressure,
    calculate_optimal_chunks,
    calculate_safe_limit,
    compute_chunk_shapes,
    decide_allocation_strategy,
    estimate_allocation_bytes,
    is_chunkable_operation,
    is_oom_error,
    recommend_headroom,
    score_gpu_suitability,
)

U64 = 2**64 - 1
I63 = 2**63 - 1
NAN = float("nan")
INF = float("inf")

byte_counts = st.one_of(st.integers(0, 10**6), st.integers(0, U64))
ratios = st.one_of(st.floats(-0.5, 1.5), st.sampled_from([0.0, 0.1, 0.99, 1.0, -0.0, 0.5]))


def model_safe_limit(available, ratio):
    """available - ratio * available computed exactly from the two doubles, rounded once."""
    ratio = min(max(ratio, 0.0), 0.99)
    amount = Fraction(float(available))
    return min(int(float(amount - Fraction(ratio) * amount)), available)


class Dimension:
    """A dimension given as an object with __int__ (the native integer rule)."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


# ---------------------------------------------------------------------------------------------
# Module frame


def test_module_attributes():
    assert (offload.GPU_DIRECT, offload.GPU_CHUNKED, offload.CPU_FALLBACK) == (0, 1, 2)
    assert len(offload._CHUNKABLE_OPERATIONS) == 11 and "linspace" in offload._CHUNKABLE_OPERATIONS
    assert len(offload._NON_CHUNKABLE_OPERATIONS) == 13 and "argsort" in offload._NON_CHUNKABLE_OPERATIONS
    assert not offload._CHUNKABLE_OPERATIONS & offload._NON_CHUNKABLE_OPERATIONS
    assert offload.logger.name == "klavrix.gpu.offload"


def test_load_logs_one_info_line(python):
    out = python(
        """
        import logging, sys
        logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(name)s|%(levelname)s|%(message)s")
        import klavrix.gpu.offload
        """
    )
    assert out == "klavrix.gpu.offload|INFO|Klavrix Offload Cython module loaded - IP protected\n"


def test_signatures_and_annotations():
    import inspect

    assert str(inspect.signature(calculate_optimal_chunks)) == (
        "(total_bytes: int, available_bytes: int, headroom_ratio: float, min_chunks: int = 1, "
        "max_chunks: int = 1000) -> int"
    )
    assert str(inspect.signature(recommend_headroom)) == (
        "(current_pressure: float, base_headroom: float = 0.5) -> float")
    assert estimate_allocation_bytes.__annotations__ == {
        "shape": "tuple", "element_size": "int", "overhead_factor": "float", "return": "int"
    }
    assert is_oom_error.__annotations__ == {"error_message": "str", "error_type": "str", "return": "bool"}


# ---------------------------------------------------------------------------------------------
# estimate_allocation_bytes


@pytest.mark.parametrize(
    "args, expected",
    [
        (((1000, 1000), 8), 8_000_000),
        (((1000, 1000), 8, 1.5), 12_000_000),
        (((1000, 1000), 8, 0.5), 8_000_000),
        (((1000, 1000), 8, NAN), 8_000_000),
        (((10, 0, 10), 8), 0),
        (((10, -3), 8), 0),
        (((), 4), 4),
        (((4,), 0), 0),
        (((2**31 - 1,) * 3, 1), I63),  # the element count passes 2**63 - 1
        (((2**31 - 1,) * 2, 2**31 - 1), I63),  # the byte count passes it
        (((2**31 - 1,) * 3, 1, 4.0), I63),  # saturated counts are final, no overhead
        (((2**30,) * 2, 2**2, 1.5), int(1.5 * 2**62)),  # past 2**63 - 1 with the factor
        (((2**30,) * 2, 2**2, 1e300), U64),
        (((2**30,) * 2, 2**2, INF), U64),
    ],
)
def test_estimate_allocation_bytes(args, expected):
    assert estimate_allocation_bytes(*args) == expected


def test_estimate_stops_at_the_first_final_dimension():
    assert estimate_allocation_bytes((0, "not a dimension"), 4) == 0
    assert estimate_allocation_bytes((2**31 - 1,) * 3 + (None,), 4) == I63
    assert estimate_allocation_bytes((Dimension(3), 2.9), 2) == 12  # __int__, a float truncates
    with pytest.raises(TypeError, match="an integer is required"):
        estimate_allocation_bytes((3, "4"), 4)


def model_estimate(shape, element_size):
    """The rule over exact Python ints: dimensions in order, the first final one decides."""
    elements = 1
    for dimension in shape:
        if dimension <= 0:
            return 0
        elements *= dimension
        if elements > I63:
            return I63
    return min(elements * element_size, I63)


@given(st.lists(st.one_of(st.integers(-2, 8), st.integers(-2, 2**31 - 1)), max_size=5), st.integers(0, 2**31 - 1))
def test_estimate_matches_the_exact_product(shape, element_size):
    assert estimate_allocation_bytes(tuple(shape), element_size) == model_estimate(shape, element_size)


# ---------------------------------------------------------------------------------------------
# Safe limit, strategy, optimal chunks


@pytest.mark.parametrize(
    "available, ratio, expected",
    [(1000, 0.1, 900), (1000, 1.0, 10), (1000, -0.5, 1000), (0, 0.5, 0), (1000, INF, 10), (1000, -INF, 1000),
     (1000, NAN, 0), (U64, 0.0, U64), (U64, -1.0, U64), (2**53 + 1, 0.0, 2**53), (2**53 + 3, 0.0, 2**53 + 3)],
)
def test_calculate_safe_limit(available, ratio, expected):
    assert calculate_safe_limit(available, ratio) == expected


@given(byte_counts, ratios)
def test_safe_limit_model_and_bounds(available, ratio):
    limit = calculate_safe_limit(available, ratio)
    assert limit == model_safe_limit(available, ratio)
    assert 0 <= limit <= available


def test_decide_allocation_strategy_worked_values():
    assert decide_allocation_strategy(100, 0, 0.1, True) == (2, 0, 1, "No GPU memory available")
    assert decide_allocation_strategy(900, 1000, 0.1, True) == (0, 0, 1, "Allocation fits in GPU memory")
    assert decide_allocation_strategy(2000, 1000, 0.1, True) == (1, 900, 3, "Chunking into 3 GPU passes")
    assert decide_allocation_strategy(2000, 1000, 0.1, []) == (2, 0, 1, "Operation not chunkable, falling back to CPU")
    assert decide_allocation_strategy(U64, 1, 0.0, 1) == (1, 1, U64, f"Chunking into {U64} GPU passes")


def test_strategy_constants_are_read_at_each_call(monkeypatch):
    marker = object()
    monkeypatch.setattr(offload, "GPU_CHUNKED", marker)
    assert decide_allocation_strategy(2000, 1000, 0.1, True)[0] is marker
    monkeypatch.delattr(offload, "CPU_FALLBACK")
    with pytest.raises(NameError, match="CPU_FALLBACK"):
        decide_allocation_strategy(1, 0, 0.1, True)


@given(byte_counts, byte_counts, ratios, st.booleans())
def test_decide_allocation_strategy_plans_cover_the_request(requested, available, ratio, chunkable):
    strategy, chunk_bytes, passes, reason = decide_allocation_strategy(requested, available, ratio, chunkable)
    safe = calculate_safe_limit(available, ratio)
    if strategy == offload.GPU_CHUNKED:
        assert chunkable and requested > safe > 0 and chunk_bytes == safe
        assert passes * safe >= requested  # the passes cover every byte
        if requested < 2**53:
            assert passes == math.ceil(requested / safe)
        assert reason == f"Chunking into {passes} GPU passes"
    else:
        assert (chunk_bytes, passes) == (0, 1)
        assert strategy == (offload.GPU_DIRECT if 0 < safe and requested <= safe else offload.CPU_FALLBACK)


def test_passes_cover_requests_past_the_double_precision():
    # Divided in double precision, 2**60 + 1 bytes over a 2**60 limit is exactly 1.0.
    safe = calculate_safe_limit(2**60, 0.0)
    assert decide_allocation_strategy(2**60 + 1, 2**60, 0.0, True) == (1, safe, 2, "Chunking into 2 GPU passes")
    assert calculate_optimal_chunks(2**60 + 1, 2**60, 0.0) == 2


@pytest.mark.parametrize(
    "args, expected",
    [
        ((10**9, 10**8, 0.0), 10),
        ((10**9, 10**8, 0.0, 1, 4), 4),
        ((10**9, 10**8, 0.0, 20), 20),
        ((10**9, 0, 0.0), 1000),
        ((10**9, 10**8, NAN), 1000),  # no safe memory
        ((0, 10**8, 0.0), 1),
        ((0, 10**8, 0.0, 0), 0),
        ((U64, 1, 0.0, 1, 2**31 - 1), 2**31 - 1),  # saturates at the int range
        ((10, 1, 0.0, 50, 5), 50),  # min_chunks wins when the bounds cross
        ((10, 1, 0.0, -(2**31), -5), -5),
    ],
)
def test_calculate_optimal_chunks(args, expected):
    assert calculate_optimal_chunks(*args) == expected


# ---------------------------------------------------------------------------------------------
# compute_chunk_shapes


@pytest.mark.parametrize(
    "args, expected",
    [
        (((10, 4), 8, 64), [(2, 4)] * 5),
        (((10, 4), 8, 16), [(1, 4)] * 10),
        (((7,), 4, 12), [(3,), (3,), (1,)]),
        (((), 4, 1), [()]),
        (((1_000_000,), 4, 2**34), [(1_000_000,)]),
        (((0, 4), 4, 64), []),
        (((-5, 4), 4, 64), []),
        (((7, 3, 0), 4, 1), [(7, 3, 0)]),  # rows of no bytes: the whole axis in one chunk
        (((3, 2**40, 2**40, 0), 4, 1), [(3, 2**40, 2**40, 0)]),
        (((3, 2**40, 2**40), 4, U64), [(1, 2**40, 2**40)] * 3),  # a row past 64 bits never fits
        (((5, 2**32, 2**32), 1, U64), [(1, 2**32, 2**32)] * 5),  # exactly 2**64 bytes per row
        (((2**31 - 1,), 1, U64), [(2**31 - 1,)]),
    ],
)
def test_compute_chunk_shapes(args, expected):
    assert compute_chunk_shapes(*args) == expected


def test_chunk_shapes_reuse_the_callers_objects():
    empty = ()
    assert compute_chunk_shapes(empty, 4, 1)[0] is empty
    width, depth = 2**63 + 1, Dimension(3)  # trailing dimensions are kept, not converted back
    chunks = compute_chunk_shapes((5, width, depth), 1, U64)
    assert len(chunks) == 5 and all(c[1] is width and c[2] is depth for c in chunks)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (((10, 4), 0, 64), ValueError, "element_size must be positive"),
        (((10, 4), 0, 0), ValueError, "element_size must be positive"),
        (((10, 4), -1, 64), ValueError, "element_size must be positive"),
        (((10, 4), 4, 0), ValueError, "max_chunk_bytes must be positive"),
        ((None, 0, 0), ValueError, "element_size must be positive"),
        ((None, 4, 64), TypeError, "object of type 'NoneType' has no len()"),
        (([10, 4], 4, 64), TypeError, "Argument 'shape' has incorrect type (expected tuple, got list)"),
        (((10, -4), 4, 64), OverflowError, "can't convert negative value to uint64_t"),
        (((2**31, 4), 4, 64), OverflowError, "value too large to convert to int"),
        ((("10", 4), 4, 64), TypeError, "an integer is required"),
        (((10, 4), 4, -1), OverflowError, "can't convert negative value to uint64_t"),
        (((10, 4), 2**31, 64), OverflowError, "value too large to convert to int"),
    ],
)
def test_compute_chunk_shapes_errors(args, error, message):
    with pytest.raises(error) as info:
        compute_chunk_shapes(*args)
    assert str(info.value) == message


@given(
    st.integers(-3, 5000),
    st.lists(st.integers(0, 64), max_size=3),
    st.integers(1, 16),
    st.one_of(st.integers(1, 10**5), st.integers(1, U64)),
)
def test_chunks_cover_the_first_axis(first, rest, element_size, max_chunk_bytes):
    shape = (first, *rest)
    chunks = compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    assert all(type(c) is tuple and c[1:] == tuple(rest) for c in chunks)
    rows = [c[0] for c in chunks]
    assert sum(rows) == max(first, 0) and all(n > 0 for n in rows)
    assert len(set(rows[:-1])) <= 1 and (len(rows) < 2 or rows[-1] <= rows[0])
    row_bytes = element_size * math.prod(rest)
    if 0 < row_bytes <= max_chunk_bytes:
        assert all(n * row_bytes <= max_chunk_bytes for n in rows)
        assert len(rows) == -(-max(first, 0) // (max_chunk_bytes // row_bytes))  # as few as fit
    elif row_bytes > max_chunk_bytes:
        assert rows == [1] * max(first, 0)
    else:
        assert len(rows) == (1 if first > 0 else 0)


# ---------------------------------------------------------------------------------------------
# Out-of-memory classification


OOM_TEXTS = [
    # PyTorch
    ("CUDA out of memory. Tried to allocate 20.00 MiB (GPU 0; 7.93 GiB total capacity; 6.94 GiB already "
     "allocated; 12.56 MiB free; 7.07 GiB reserved in total by PyTorch)", "OutOfMemoryError"),
    ("CUDA out of memory. Tried to allocate 2.00 GiB. GPU 0 has a total capacity of 23.65 GiB of which "
     "1.20 GiB is free.", "OutOfMemoryError"),
    ("MPS backend out of memory (MPS allocated: 17.11 GB, other allocations: 1.02 GB, max allowed: 18.13 GB). "
     "Tried to allocate 256.00 MB on private pool.", "RuntimeError"),
    # CuPy
    ("Out of memory allocating 1,073,741,824 bytes (allocated so far: 0 bytes).", "OutOfMemoryError"),
    # JAX / XLA
    ("RESOURCE_EXHAUSTED: Out of memory while trying to allocate 4294967296 bytes.", "XlaRuntimeError"),
    ("RESOURCE_EXHAUSTED: Failed to allocate request for 2.00GiB (2147483648B) on device ordinal 0",
     "XlaRuntimeError"),
    # CUDA runtime and driver, Numba
    ("cudaErrorMemoryAllocation: out of memory", "RuntimeError"),
    ("CUDA_ERROR_OUT_OF_MEMORY: out of memory", "CudaAPIError"),
    ("[2] Call to cuMemAlloc results in CUDA_ERROR_OUT_OF_MEMORY", "CudaAPIError"),
    # TensorFlow's device allocator; a CUDA error raised from inside a cuDNN / cuBLAS call
    ("failed to allocate 2.00G (2147483648 bytes) from device: CUDA_ERROR_OUT_OF_MEMORY: out of memory",
     "InternalError"),
    ("CUDA error: out of memory\nCUDA kernel errors might be asynchronously reported at some other API call",
     "RuntimeError"),
    ("", "torch.cuda.OutOfMemoryError"),
    ("", "oUtOfMeMoRyErRoR"),
]

NON_OOM_TEXTS = [
    ("CUDA error: device-side assert triggered", "RuntimeError"),
    ("Expected all tensors to be on the same device, but found at least two devices, cuda:0 and cpu!",
     "RuntimeError"),
    ("CUDA driver version is insufficient for CUDA runtime version", "CUDARuntimeError"),
    ("mat1 and mat2 shapes cannot be multiplied (64x128 and 256x10)", "RuntimeError"),
    ("allocation succeeded", "Info"),
    ("No module named 'cupy'", "ModuleNotFoundError"),
    ("", ""),
]

# Real out-of-memory texts the keyword rules miss (kept as the rules are written).
MISSED_OOM_TEXTS = [
    ("CUDA error: CUBLAS_STATUS_ALLOC_FAILED when calling `cublasCreate(handle)`", "RuntimeError"),
    ("cuDNN error: CUDNN_STATUS_ALLOC_FAILED", "RuntimeError"),
    ("CUBLAS_STATUS_ALLOC_FAILED", "CUBLASError"),
    ("cuFFT error: CUFFT_ALLOC_FAILED", "RuntimeError"),
    ("OOM when allocating tensor with shape[1024,1024,256] and type float on "
     "/job:localhost/replica:0/task:0/device:GPU:0 by allocator GPU_0_bfc", "ResourceExhaustedError"),
]

# Failures that are not out-of-memory but which the keyword rules accept.
ACCEPTED_NON_OOM_TEXTS = [
    ("CUDA error: an illegal memory access was encountered", "RuntimeError"),
    ("cudaErrorIllegalAddress: an illegal memory access was encountered", "RuntimeError"),
    ("Failed to allocate a CUDA stream", "RuntimeError"),
]


@pytest.mark.parametrize("message, error_type", OOM_TEXTS + ACCEPTED_NON_OOM_TEXTS)
def test_oom_texts_are_recognised(message, error_type):
    assert is_oom_error(message, error_type) is True


@pytest.mark.parametrize("message, error_type", NON_OOM_TEXTS + MISSED_OOM_TEXTS)
def test_other_texts_are_not(message, error_type):
    assert is_oom_error(message, error_type) is False


@pytest.mark.parametrize(
    "message, expected",
    [
        ("GPU 0: CUDA error 2, out of memory", True),
        ("Allocation FAILED", True),
        ("insufficient memory", True),
        ("GPU memory exhausted", True),
        ("cuda launch failure", False),
        ("memory", False),
        ("insufficient", False),
        ("OUT OF MEMORY", True),
        ("ÜBER: out of memory", True),  # non-ASCII text goes through str.lower
        ("Ø memory on GPU", True),
        ("Ø CUDA launch failure", False),
        ("İnsufficient memory", False),  # str.lower turns İ into "i" plus a combining dot
        ("\ud800 out of memory", True),  # a lone surrogate is still a str
    ],
)
def test_oom_rules(message, expected):
    assert is_oom_error(message, "RuntimeError") is expected
    assert is_oom_error(message, "OutOfMemoryError") is True


@pytest.mark.parametrize("args", [(None, "RuntimeError"), ("out of memory", None), (None, None)])
def test_oom_texts_may_not_be_none(args):
    with pytest.raises(TypeError, match="descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType'"):
        is_oom_error(*args)


def test_oom_texts_must_be_exact_strings():
    with pytest.raises(TypeError, match=r"Argument 'error_type' has incorrect type \(expected str, got bytes\)"):
        is_oom_error("out of memory", b"OutOfMemoryError")

    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Text"):
        is_oom_error(Text("out of memory"), "x")


# ---------------------------------------------------------------------------------------------
# Operations, suitability, pressure, headroom


def test_is_chunkable_operation():
    for name in ("zeros", "random.standard_normal", "random.uniform", "linspace"):
        assert is_chunkable_operation(name) is True
    for name in ("matmul", "sort", "ZEROS", "add", "", None, "zeros "):
        assert is_chunkable_operation(name) is False
    with pytest.raises(TypeError, match=r"Argument 'operation' has incorrect type \(expected str, got int\)"):
        is_chunkable_operation(1)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((800, "zeros", 1000, 0.0), 0.9),
        ((2000, "matmul", 1000, 0.0), 0.35),
        ((400, "add", 1000, 0.0), 0.25),
        ((400, None, 1000, 0.0), 0.25),
        ((400, "zeros", 0, 0.0), 0.0),
        ((0, "fft", 1000, 0.1), 0.0),
        ((U64, "eig", U64, 0.0), 0.7),
        ((400, "svd", 1000, NAN), 0.0),
    ],
)
def test_score_gpu_suitability(args, expected):
    assert score_gpu_suitability(*args) == pytest.approx(expected, abs=1e-15)


@given(byte_counts, st.sampled_from(["zeros", "matmul", "add"]), byte_counts, ratios)
def test_suitability_follows_the_memory_score(data, operation, available, ratio):
    factor = {"zeros": 0.9, "matmul": 0.7, "add": 0.5}[operation]
    safe = calculate_safe_limit(available, ratio)
    if safe == 0:
        memory = 0.0
    elif data > safe:
        memory = float(safe) / float(data)
    else:
        memory = min(float(data) / (float(safe) * 0.8), 1.0)
    assert score_gpu_suitability(data, operation, available, ratio) == factor * memory


@pytest.mark.parametrize(
    "used, total, expected",
    [(50, 100, 0.5), (150, 100, 1.0), (0, 0, 1.0), (10, 0, 1.0), (0, 100, 0.0), (U64, U64, 1.0), (1, U64, 2**-64)],
)
def test_calculate_memory_pressure(used, total, expected):
    assert calculate_memory_pressure(used, total) == expected


@pytest.mark.parametrize(
    "args, expected",
    [((0.9,), 0.8), ((0.7,), 0.6), ((0.5,), 0.5), ((0.2,), 0.4), ((0.2, 0.35), 0.3), ((0.7, 0.9), 0.8),
     ((0.8,), 0.5 + (0.8 * 0.5 - 0.25)), ((0.6,), 0.5), ((0.3,), 0.4), ((NAN,), 0.4), ((0.5, NAN), 0.8),
     ((0.5, -INF), 0.3), ((0.5, INF), 0.8), ((INF, 0.5), 0.8)],
)
def test_recommend_headroom(args, expected):
    assert recommend_headroom(*args) == expected


@given(st.floats(allow_nan=True), st.floats(allow_nan=True))
def test_recommend_headroom_stays_in_range(pressure, base):
    assert 0.3 <= recommend_headroom(pressure, base) <= 0.8


# ---------------------------------------------------------------------------------------------
# Argument rules


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: calculate_safe_limit(-1, 0.1), "can't convert negative value to uint64_t"),
        (lambda: calculate_safe_limit(2**64, 0.1), "Python int too large to convert to C unsigned long"),
        (lambda: decide_allocation_strategy(1, -(2**70), 0.1, True), "can't convert negative value to uint64_t"),
        (lambda: calculate_memory_pressure(1, -1), "can't convert negative value to uint64_t"),
        (lambda: score_gpu_suitability(-1, "zeros", 1, 0.1), "can't convert negative value to uint64_t"),
        (lambda: calculate_optimal_chunks(1, 1, 0.1, 2**31), "value too large to convert to int"),
        (lambda: estimate_allocation_bytes((2**31,), 4), "value too large to convert to int"),
        (lambda: estimate_allocation_bytes((1,), -(2**31) - 1), "value too large to convert to int"),
    ],
)
def test_overflowing_counts(call, message):
    with pytest.raises(OverflowError) as info:
        call()
    assert str(info.value) == message


def test_conversions_and_keywords():
    assert calculate_safe_limit(Dimension(1000), Fraction(1, 10)) == 900  # __int__ and __float__
    assert calculate_safe_limit(1000.9, 0) == 1000  # a float count truncates
    assert calculate_optimal_chunks(headroom_ratio=0.0, available_bytes=10**8, total_bytes=10**9, max_chunks=4) == 4
    assert recommend_headroom(base_headroom=0.35, current_pressure=0.2) == 0.3
    with pytest.raises(TypeError, match="must be real number, not str"):
        recommend_headroom("0.5")
    with pytest.raises(TypeError, match="an integer is required"):
        calculate_safe_limit("1000", 0.1)
    with pytest.raises(TypeError, match=r"Argument 'shape' has incorrect type \(expected tuple, got range\)"):
        estimate_allocation_bytes(range(3), 4)
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        estimate_allocation_bytes(None, 4)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: calculate_safe_limit(1000), r"calculate_safe_limit() takes exactly 2 positional arguments (1 given)"),
        (lambda: estimate_allocation_bytes((1,), 4, 1.0, 2),
         r"estimate_allocation_bytes() takes at most 3 positional arguments (4 given)"),
        (lambda: recommend_headroom(), r"recommend_headroom() takes at least 1 positional argument (0 given)"),
        (lambda: is_oom_error("x", error_kind="y"), r"is_oom_error() takes exactly 2 positional arguments (1 given)"),
        (lambda: is_chunkable_operation("zeros", operation="ones"),
         r"is_chunkable_operation() got multiple values for keyword argument 'operation'"),
        (lambda: calculate_memory_pressure(1, 2, unit=3),
         r"calculate_memory_pressure() got an unexpected keyword argument 'unit'"),
    ],
)
def test_arity(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
