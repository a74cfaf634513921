# Transport benchmarks.
