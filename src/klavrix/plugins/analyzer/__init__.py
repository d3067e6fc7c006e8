"""Workload analyzer: scoring and pool steering rules."""
