"""The benchmark's package, which scripts/bench runs: what is measured
(plan.py), the payloads and the installers made of them (payloads.py), one
metered run under Wine (metering.py), the rounds of runs (measuring.py),
and the report of what was measured (reporting.py). Kept apart from the
tests: no test asserts a time."""
