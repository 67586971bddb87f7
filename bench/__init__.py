"""Benchmarks for tallyvox. Run with ``python -m bench``."""
