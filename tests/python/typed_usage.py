"""Typical use of quillon, checked with mypy --strict against the installed stubs."""

from collections.abc import Iterator

import quillon
from _quillon_backend import SalvageReader, SalvageSummary


def salvage(path: str, clean: str, rejected: str | None = None) -> dict[str, int | str]:
    summary: SalvageSummary = quillon.salvage_file(
        path,
        clean,
        quarantine_path=rejected,
        delimiter=";",
        quote_char="'",
        fill_ragged_rows=False,
        merge_overflow=True,
        expected_columns=3,
        repair_quotes=True,
    )
    kept: int = summary.salvaged_rows
    counts = summary.to_dict()
    delimiter: str = counts["detected_delimiter"]
    total: int = counts["total_rows"]
    return {"kept": kept, "total": total, "delimiter": delimiter}


def rows(path: str) -> Iterator[list[str]]:
    with quillon.open(path, expected_columns=None) as reader:
        yield from reader


def first_fields(path: str) -> list[str]:
    reader: SalvageReader = quillon.SalvageReader(path, delimiter=None)
    fields = [row[0] for row in reader]
    assert len(fields) == len(reader) == reader.summary.salvaged_rows
    return fields


def delimiter_of(sample: str) -> str:
    return quillon.sniff(sample)

