// The engine's dialect for a dialect of the reference tokenizer, for the
// differential tests and fuzz targets (the reference itself shares nothing
// with the engine).
#pragma once

#include "engine/dialect.hpp"
#include "reference_tokenizer.hpp"

namespace reference {

inline quillon::Dialect engine_dialect(const Dialect& d) {
    return quillon::Dialect{.delimiter = d.delimiter,
                            .quote = d.quote,
                            .escape = d.escape,
                            .skip_initial_space = d.skip_initial_space,
                            .repair_quotes = d.repair_quotes};
}

}  // namespace reference
