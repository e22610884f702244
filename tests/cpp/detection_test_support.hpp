// What the detection suites share: building and printing dialects, and a
// generator of tables in the module's own dialect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dialect.hpp"

namespace detection_test {

using quillon::Dialect;

inline std::string describe(const Dialect& d) {
    const auto byte = [](std::optional<std::uint8_t> b) {
        if (!b) return std::string("none");
        std::string s(3, '\'');
        s[1] = static_cast<char>(*b);
        return s;
    };
    return "delimiter " + byte(d.delimiter) + ", quote " + byte(d.quote) + ", escape " +
           byte(d.escape) + (d.skip_initial_space ? ", skipping spaces" : "");
}

inline Dialect dialect(std::uint8_t delimiter, std::optional<std::uint8_t> quote = '"',
                       std::optional<std::uint8_t> escape = std::nullopt, bool skip = false) {
    Dialect d;
    d.delimiter = delimiter;
    d.quote = quote;
    d.escape = escape;
    d.skip_initial_space = skip;
    return d;
}

inline std::string repeat(std::string_view unit, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += unit;
    return s;
}

// Tables of the module's dialect: numbers, words, quoted cells holding the
// delimiter, line breaks, doubled quotes, ", " and apostrophes, empty cells,
// blank lines, CR LF. Nothing that space skipping, an apostrophe quote or an
// escape would read differently: no cell starts with a space or an
// apostrophe, no backslash.
class TableGenerator {
  public:
    explicit TableGenerator(unsigned seed) : rng_(seed) {}

    std::string next(std::uint8_t delimiter, std::size_t columns, std::size_t rows) {
        const std::string eol = pick(4) == 0 ? "\r\n" : "\n";
        std::string out;
        for (std::size_t r = 0; r < rows; ++r) {
            if (pick(15) == 0) out += eol;
            for (std::size_t c = 0; c < columns; ++c) {
                if (c != 0) out += static_cast<char>(delimiter);
                out += cell(delimiter);
            }
            out += eol;
        }
        return out;
    }

  private:
    std::size_t pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }

    std::string cell(std::uint8_t delimiter) {
        static const std::vector<std::string> words = {"Ada",   "New York",    "O'Brien",
                                                       "12:30", "2024-01-31",  "x-ray",
                                                       "a.b",   "Jos\xC3\xA9", "TRUE"};
        switch (pick(8)) {
            case 0:
                return std::to_string(pick(100000));
            case 1:
                return std::to_string(pick(1000)) + "." + std::to_string(pick(100));
            case 2:
                return "";
            case 3:
                return "\"" + words[pick(words.size())] + static_cast<char>(delimiter) + " more\"";
            case 4:
                return "\"line\nbreak\"";
            case 5:
                return "\"say \"\"hi\"\"\"";
            default:
                return words[pick(words.size())];
        }
    }

    std::mt19937 rng_;
};

}  // namespace detection_test
