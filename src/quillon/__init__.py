"""Rescues damaged CSV files that strict parsers reject.

``salvage`` detects the input's encoding, dialect and structure, writes a
clean standard CSV file and keeps every record it sets aside, byte for byte,
in a quarantine file; ``detect`` tells what it would detect; their results
are ``SalvageReport`` and ``InputFormat``. ``salvage_many`` salvages many
files (directories, globs, compressed files) on a thread pool or any
``concurrent.futures`` executor, with a ``SalvageFailure`` for each file
that could not be salvaged.

The fixed-rule functions and classes of the native module
``_quillon_backend`` are re-exported unchanged: ``salvage_file`` writes a
clean file and, on request, a quarantine file of the rows it could not
repair; ``open`` and ``SalvageReader`` hand the salvaged rows to Python one
at a time; ``sniff`` detects the delimiter of a text sample;
``SalvageSummary`` holds the counts of one such salvage.
"""

from _quillon_backend import SalvageReader, SalvageSummary, open, salvage_file, sniff
from _quillon_backend import __version__ as __version__

from quillon._many import SalvageFailure, salvage_many
from quillon.adaptive import detect, salvage
from quillon.report import InputFormat, SalvageReport
from quillon.table import ColumnSchema, SalvagedTable, read

__all__ = [
    "salvage",
    "salvage_many",
    "detect",
    "SalvageReport",
    "InputFormat",
    "SalvageFailure",
    "salvage_file",
    "sniff",
    "open",
    "SalvageSummary",
    "SalvageReader",
    "read",
    "SalvagedTable",
    "ColumnSchema",
]
