// What the module's salvage entry points share (module.cpp, buffer_salvage.cpp).
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "gil.hpp"
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

// Runs `salvage()` (which reads `options`) without the lock, reporting to
// `progress` (None or a callable); the result dict, or null with the failure
// raised.
template <typename Salvage>
PyObject* run_salvage(AdaptiveOptions& options, PyObject* progress, Salvage&& salvage) {
    PythonProgress reporter(progress);
    options.progress = reporter.hook();
    std::optional<IoResult<AdaptiveStats>> outcome;
    {
        GilRelease unlocked;
        outcome.emplace(salvage());
    }
    if (!*outcome) {
        raise_failure(outcome->error());
        return nullptr;
    }
    return stats_dict(outcome->value());
}

// _native.salvage_buffer(data, output, quarantine_path, options, progress=None)
PyObject* salvage_buffer_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::native
