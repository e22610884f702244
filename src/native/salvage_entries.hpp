// What the module's salvage entry points share (module.cpp, buffer_salvage.cpp).
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "gil.hpp"
#include "options.hpp"
#include "pipeline/adaptive_salvage.hpp"
#include "progress.hpp"

namespace quillon::native {

// A str argument as UTF-8; false with TypeError set otherwise.
bool path_of(PyObject* value, const char* name, std::string& out);

// The detection and the counts of a salvage, as the package reads them.
PyObject* stats_dict(const AdaptiveStats& stats);

// Raises a pipeline failure as the OSError subclass of its kind (or keeps
// the exception a signal handler or the progress callable raised).
void raise_failure(const IoError& error);

// The rest of a salvage entry point once it has read its input and output
// (args[0], args[1]): reads quarantine_path, options and the optional
// progress (args[2] to args[4]), runs `salvage(quarantine_path, options)`
// without the lock, and returns the result dict, or null with the failure
// raised.
template <typename Salvage>
PyObject* run_salvage(PyObject* const* args, Py_ssize_t nargs, Salvage&& salvage) {
    std::optional<std::string> quarantine_path;
    AdaptiveOptions options;
    if (args[2] != Py_None) {
        quarantine_path.emplace();
        if (!path_of(args[2], "quarantine_path", *quarantine_path)) return nullptr;
    }
    if (!convert_options(args[3], options)) return nullptr;
    PyObject* callable = progress_argument(args, nargs, 4);
    if (callable == nullptr) return nullptr;

    PythonProgress reporter(callable);
    options.progress = reporter.hook();
    std::optional<IoResult<AdaptiveStats>> outcome;
    {
        GilRelease unlocked;
        outcome.emplace(salvage(quarantine_path, options));
    }
    if (!*outcome) {
        raise_failure(outcome->error());
        return nullptr;
    }
    return stats_dict(outcome->value());
}

// An output argument: a path, or an open descriptor (written through a
// duplicate); false with the exception set otherwise.
bool output_of(PyObject* value, OutputTarget& out);

// _native.salvage_buffer(data, output, quarantine_path, options, progress=None)
PyObject* salvage_buffer_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// _native.salvage_stream(source, output, quarantine_path, options, progress=None)
PyObject* salvage_stream_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::native
