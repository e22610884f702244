"""Rescues damaged CSV files that strict parsers reject.

The functions and classes are those of the native module ``_quillon_backend``,
re-exported unchanged: ``salvage_file`` writes a clean file and, on request, a
quarantine file of the rows it could not repair; ``open`` and ``SalvageReader``
hand the salvaged rows to Python one at a time; ``sniff`` detects the delimiter
of a text sample; ``SalvageSummary`` holds the counts of one salvage.
"""

from _quillon_backend import SalvageReader, SalvageSummary, open, salvage_file, sniff
from _quillon_backend import __version__ as __version__

__all__ = ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]
