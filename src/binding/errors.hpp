// Turning failures into Python exceptions at the interpreter boundary.
#pragma once

#include <Python.h>

#include <type_traits>

#include "pipeline/io_error.hpp"

namespace quillon::binding {

enum class IoErrorStyle {
    // OSError itself, whatever the kind (salvage_file).
    kPlain,
    // The OSError subclass that names the kind (the reader).
    kByKind,
};

// Raises `error` with its text as the only argument. An invalid-input error
// names a bad argument combination and becomes ValueError in both styles.
[[gnu::cold]] void raise_io_error(const IoError& error, IoErrorStyle style);

// The pipeline's InterruptCheck: runs the interpreter's signal handlers after
// a system call was interrupted, and says to give up when one of them raised
// (Ctrl-C: KeyboardInterrupt). raise_io_error then keeps that exception.
// Once one has raised, every later check of the call gives up at once.
bool python_signal_raised();

// Adds the note "while processing '<parameter>'" to the exception being raised.
[[gnu::cold]] void add_parameter_note(const char* parameter);

// TypeError "'<type>' object is not an instance of '<expected>'" (or the
// None form), with the note for `parameter`.
[[gnu::cold]] void raise_not_instance(PyObject* value, const char* expected, const char* parameter);

// Sets the Python exception for the C++ exception being handled; call only
// inside a catch block.
[[gnu::cold]] void raise_from_current_exception() noexcept;

// Wraps a C-API entry point so that no C++ exception reaches the
// interpreter: std::bad_alloc becomes MemoryError, anything else SystemError,
// and the function returns its type's failure value (null or -1).
template <auto Fn>
struct EntryPoint;

template <typename R, typename... Args, R (*Fn)(Args...)>
struct EntryPoint<Fn> {
    static R call(Args... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            raise_from_current_exception();
        }
        if constexpr (std::is_pointer_v<R>) {
            return nullptr;
        } else if constexpr (!std::is_void_v<R>) {
            return R(-1);
        }
    }
};

template <auto Fn>
inline constexpr auto guarded = &EntryPoint<Fn>::call;

}  // namespace quillon::binding
