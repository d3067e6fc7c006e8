"""Test-only native helpers (built with -DKLAVRIX_TEST_PROBE=ON)."""
