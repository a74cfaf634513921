# Capture tests. Filled in by the capture work.
