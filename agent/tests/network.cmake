# Transport tests.
