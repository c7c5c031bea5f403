# Types of the companion extension built from the module's worker watch.
from collections.abc import Callable, Iterable, Sequence
from typing import Any

POLL_SECONDS: float
GRACE_SECONDS: float

def map_in_slices(
    pool: Any,
    function: Callable[[Any], Any],
    items: Iterable[Any],
    items_per_slice: int,
    name_of_item: Callable[[Any], str] | None = None,
    on_slice: Callable[[int, list[Any]], object] | None = None,
) -> list[Any]: ...
def how_it_ended(exit_code: int) -> str: ...
def worker_death(
    how: str, items: Sequence[Any], name_of_item: Callable[[Any], str] | None = None
) -> RuntimeError: ...

class WorkerWatch:
    def __init__(self, pool: Any) -> None: ...
    def refresh(self) -> None: ...
    def death(self) -> int | None: ...
    def end_all(self) -> None: ...
