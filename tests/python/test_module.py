"""The module object: attributes, their order and texts, functions, classes, initialisation."""

import importlib
import importlib.util
import inspect
import shutil
import subprocess
import sys
import sysconfig
import types

import pytest

import _quillon_backend

MODULE_DOC = (
    "High-performance, fault-tolerant quillon and reconstruction engine.\n\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

SALVAGE_FILE_DOC = (
    'salvage_file(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)\n"
    "--\n"
    "\n"
    "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.\n"
    "\n"
    "Args:\n"
    "    input_path: Path to the corrupted CSV file.\n"
    "    output_path: Path where the repaired CSV file will be written.\n"
    "    quarantine_path: Optional path to write unrecoverable / quarantined rows.\n"
    '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.\n'
    "    quote_char: Optional single-character quote enclosure (default '\"').\n"
    "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.\n"
    "    merge_overflow: If True, merges extra tokens into the last column. Default True.\n"
    "    expected_columns: Optional explicit column count. If None, inferred automatically.\n"
    "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True."
)

SNIFF_DOC = "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample."

OPEN_DOC = (
    'open(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
    "expected_columns=None, repair_quotes=True)\n--\n\n"
    "Convenience function to open and stream a salvaged CSV file."
)

READER_DOC = (
    'SalvageReader(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
    "In-memory streaming reader iterating over salvaged rows."
)

IMPORT_MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

P = inspect.Parameter


def params(*spec):
    return [P(name, P.POSITIONAL_OR_KEYWORD, **({"default": d[0]} if d else {})) for name, *d in spec]


OPTION_PARAMS = (
    ("delimiter", None),
    ("quote_char", '"'),
    ("fill_ragged_rows", True),
    ("merge_overflow", True),
    ("expected_columns", None),
    ("repair_quotes", True),
)


def stored_doc(function) -> str:
    """The doc text as stored: the interpreter splits it into signature and doc."""
    return f"{function.__name__}{function.__text_signature__}\n--\n\n{function.__doc__}"


def fresh_module():
    """A second module object executed from the same extension."""
    spec = importlib.util.find_spec("_quillon_backend")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class TestAttributes:
    def test_version(self):
        assert _quillon_backend.__version__ == "0.2.0"

    def test_doc(self):
        assert _quillon_backend.__doc__ == MODULE_DOC

    def test_all(self):
        assert type(_quillon_backend.__all__) is list
        assert _quillon_backend.__all__ == ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]

    def test_attributes_in_order(self):
        names = [name for name in vars(_quillon_backend) if name not in IMPORT_MACHINERY]
        assert names == [
            "__version__",
            "__all__",
            "salvage_file",
            "sniff",
            "open",
            "SalvageSummary",
            "SalvageReader",
        ]

    def test_star_import_binds_open(self):
        namespace = {}
        exec("from _quillon_backend import *", namespace)
        assert namespace["open"] is _quillon_backend.open
        assert namespace["open"] is not open
        assert set(namespace) - {"__builtins__"} == set(_quillon_backend.__all__)


class TestFunctions:
    @pytest.mark.parametrize("name", ["salvage_file", "sniff", "open"])
    def test_builtin_function_of_the_module(self, name):
        function = getattr(_quillon_backend, name)
        assert isinstance(function, types.BuiltinFunctionType)
        assert function.__name__ == name
        assert function.__module__ == "_quillon_backend"
        assert function.__self__ is _quillon_backend

    @pytest.mark.parametrize(
        ("name", "doc"), [("salvage_file", SALVAGE_FILE_DOC), ("sniff", SNIFF_DOC), ("open", OPEN_DOC)]
    )
    def test_stored_doc(self, name, doc):
        assert stored_doc(getattr(_quillon_backend, name)) == doc

    def test_salvage_file_doc_length(self):
        assert len(stored_doc(_quillon_backend.salvage_file)) == 967

    def test_doc_without_signature(self):
        assert _quillon_backend.sniff.__doc__ == "Detects the most likely delimiter from a CSV string sample."
        assert _quillon_backend.open.__doc__ == "Convenience function to open and stream a salvaged CSV file."
        assert _quillon_backend.salvage_file.__doc__.startswith("Salvages a corrupted CSV file")

    def test_salvage_file_signature(self):
        signature = inspect.signature(_quillon_backend.salvage_file)
        assert list(signature.parameters.values()) == params(
            ("input_path",), ("output_path",), ("quarantine_path", None), *OPTION_PARAMS
        )
        assert len(signature.parameters) == 9

    def test_sniff_signature(self):
        assert list(inspect.signature(_quillon_backend.sniff).parameters.values()) == params(("sample",))

    @pytest.mark.parametrize("name", ["open", "SalvageReader"])
    def test_reader_signatures(self, name):
        signature = inspect.signature(getattr(_quillon_backend, name))
        assert list(signature.parameters.values()) == params(("file_path",), *OPTION_PARAMS)

    def test_quote_char_default_is_one_double_quote(self):
        default = inspect.signature(_quillon_backend.salvage_file).parameters["quote_char"].default
        assert default == '"'
        assert len(default) == 1


class TestClasses:
    @pytest.mark.parametrize("name", ["SalvageSummary", "SalvageReader"])
    def test_names(self, name):
        cls = getattr(_quillon_backend, name)
        assert isinstance(cls, type)
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert cls.__module__ == "builtins"

    def test_reader_doc(self):
        cls = _quillon_backend.SalvageReader
        assert cls.__doc__ == "In-memory streaming reader iterating over salvaged rows."
        assert f"{cls.__name__}{cls.__text_signature__}\n--\n\n{cls.__doc__}" == READER_DOC

    @pytest.mark.parametrize("name", ["SalvageSummary", "SalvageReader"])
    def test_not_subclassable(self, name):
        cls = getattr(_quillon_backend, name)
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("name", ["SalvageSummary", "SalvageReader"])
    def test_immutable(self, name):
        cls = getattr(_quillon_backend, name)
        with pytest.raises(TypeError):
            cls.extra = 1
        assert not hasattr(cls, "extra")


class TestInitialisation:
    def test_second_module_object_reuses_the_types(self):
        module = fresh_module()
        assert module is not _quillon_backend
        assert module.SalvageSummary is _quillon_backend.SalvageSummary
        assert module.SalvageReader is _quillon_backend.SalvageReader
        assert module.__all__ == _quillon_backend.__all__
        assert module.__all__ is not _quillon_backend.__all__
        assert module.salvage_file is not _quillon_backend.salvage_file
        assert module.salvage_file.__self__ is module

    def test_reload_keeps_a_working_module(self, monkeypatch):
        # The interpreter runs an extension's execution slot once per module
        # object; a reload hands back the same, still complete module.
        module = fresh_module()
        monkeypatch.setitem(sys.modules, "_quillon_backend", module)
        reloaded = importlib.reload(module)
        assert reloaded is module
        assert reloaded.__version__ == "0.2.0"
        assert reloaded.sniff("a;b\nc;d\n") == ";"
        assert reloaded.SalvageReader is _quillon_backend.SalvageReader

    def test_import_raises_no_warning(self):
        code = "import warnings; warnings.simplefilter('error'); import _quillon_backend"
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr

    @pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
    def test_import_keeps_the_gil_disabled(self):
        code = "import sys, _quillon_backend; print(sys._is_gil_enabled())"
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert result.stdout.strip() == "False", result.stderr

    @pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
    def test_exports_only_the_init_function(self):
        result = subprocess.run(
            ["nm", "-D", "--defined-only", _quillon_backend.__file__], capture_output=True, text=True, check=True
        )
        symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
        assert symbols == ["PyInit__quillon_backend"]
