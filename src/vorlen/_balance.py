"""Dealing a batch to whichever worker becomes free first.

The loop runs in C++ (``vorlen._wire.deal``), which waits on every worker
at once, takes each answer as it arrives and sends the next request to the
worker that gave it, keeping only a few requests in flight per worker (as
many as cover about a millisecond of work, from a running estimate of the
requests' durations).
"""

# A fixed number of requests in flight per worker instead of the one
# derived from the requests' durations (set by the benchmark to compare).
FIXED_IN_FLIGHT = 0
