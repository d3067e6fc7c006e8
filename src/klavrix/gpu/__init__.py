"""GPU planning."""
