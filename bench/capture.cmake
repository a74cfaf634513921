# Capture benchmarks. Filled in by the capture work.
