"""Which Dask workers are still there, and what was lost when a call to a
cluster worker failed: its Dask worker, the client or the scheduler."""
from __future__ import annotations

import asyncio
import math
from typing import Any

import distributed

# How long a list of the cluster's workers stays good, and so how often a
# wait for an answer looks whether its Dask worker is still there (one that
# went silently is noticed this way, when the scheduler drops it).
WATCH_INTERVAL = 1.0
# Upper bound for the scheduler to tell its workers.
ASK_TIMEOUT = 5.0


class Roster:
    """The Dask workers the scheduler knows, asked at most once per
    ``WATCH_INTERVAL`` however many handles of a pool want to know."""

    def __init__(self, client: distributed.Client) -> None:
        self._client = client
        self._known: frozenset[str] = frozenset()
        self._asked_at = -math.inf
        self._asking: asyncio.Future[frozenset[str]] | None = None

    async def workers(self, fresh: bool = False) -> frozenset[str]:
        """The workers' addresses; raises OSError or TimeoutError when the
        scheduler does not answer."""
        loop = asyncio.get_running_loop()
        if not fresh and loop.time() - self._asked_at < WATCH_INTERVAL:
            return self._known
        if self._asking is None:
            self._asking = asyncio.ensure_future(self._ask())
        return await asyncio.shield(self._asking)

    async def _ask(self) -> frozenset[str]:
        try:
            scheduler: Any = self._client.scheduler
            info = await asyncio.wait_for(scheduler.identity(n_workers=-1), ASK_TIMEOUT)
            self._known = frozenset(info.get("workers", {}))
            self._asked_at = asyncio.get_running_loop().time()
            return self._known
        finally:
            self._asking = None

    async def present(self, address: str) -> bool:
        """Whether the Dask worker at `address` is there, as far as this
        client can tell."""
        if self._client.status != "running":
            return False
        try:
            return address in await self.workers()
        except (OSError, TimeoutError):
            return False

    async def loss(self, address: str) -> tuple[str, bool]:
        """What was lost when a call to the Dask worker at `address` failed,
        and whether that Dask worker may still be reached."""
        status = self._client.status
        if status in ("closing", "closed"):
            return "the client was closed", False
        if status != "running":
            return "the client lost its connection to the scheduler", False
        try:
            workers = await self.workers(fresh=True)
        except (OSError, TimeoutError):
            return "the scheduler could not be reached", False
        if address not in workers:
            return "its Dask worker was lost", False
        return "its host on the Dask worker failed", True
