from collections.abc import Buffer, Callable
from typing import Any

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
def detect(input_path: str, options: dict[str, Any], /) -> dict[str, Any]: ...
