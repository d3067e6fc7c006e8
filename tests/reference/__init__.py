"""The plain-Python reference rules of the native modules, written for obviousness: the tests check
the native modules against them and the benchmarks time them against them."""
