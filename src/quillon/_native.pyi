from collections.abc import Buffer, Callable
from typing import Any, final

def salvage(
    input_path: str,
    output_path: str,
    quarantine_path: str | None,
    options: dict[str, Any],
    progress: Callable[[int, int], object] | None = None,
    /,
) -> dict[str, Any]: ...
def salvage_buffer(
    data: Buffer,
    output: str | int,
    quarantine_path: str | None,
    options: dict[str, Any],
    progress: Callable[[int, int], object] | None = None,
    /,
) -> dict[str, Any]: ...
def salvage_stream(
    source: str | Callable[[], bytes],
    output: str | int,
    quarantine_path: str | None,
    options: dict[str, Any],
    progress: Callable[[int, int], object] | None = None,
    /,
) -> dict[str, Any]: ...
def detect(input: str | Buffer | Callable[[], bytes], options: dict[str, Any], /) -> dict[str, Any]: ...

# The stats dict's counters as (key, kind) pairs; kind is "rows", "repair" or "reject".
COUNTS: tuple[tuple[str, str], ...]

@final
class RecordBatches:
    @property
    def columns(self) -> tuple[str, ...]: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

def read(
    input: str | Buffer, quarantine_path: str | None, options: dict[str, Any], /
) -> tuple[RecordBatches, dict[str, Any]]: ...
def type_columns(
    batches: RecordBatches, infer: bool, given: dict[int, str], delimiter: int, threads: int, /
) -> tuple[RecordBatches, RecordBatches, tuple[str, ...], tuple[int, ...]]: ...
