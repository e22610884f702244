// The options dictionary that the quillon package hands to its native module.
//
// The package validates every option before the call, so what arrives here
// is well formed: absent keys and None mean "detect" (or the default), bytes
// are ints 0..255, counts are non-negative ints.
#pragma once

#include <Python.h>

#include "pipeline/adaptive_salvage.hpp"

namespace quillon::native {

// Fills `options` from the dict; false with a Python exception set when a
// value has the wrong type.
bool convert_options(PyObject* dict, AdaptiveOptions& options);

}  // namespace quillon::native
