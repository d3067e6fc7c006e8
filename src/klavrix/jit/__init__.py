"""JIT compilation policy."""
