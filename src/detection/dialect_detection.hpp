// Which delimiter, quote, escape and space skipping an input is written in.
//
// Candidates are scored by data consistency (van den Burg, Nazábal and
// Sutton, "Wrangling messy CSV files by detecting row and type patterns",
// 2019, as CleverCSV implements it): a dialect that cuts the sample into
// records of few distinct field counts, with many fields each, and into
// cells that read as values of simple types, is the likely one.
//
//   pattern score P = (1/K) * sum over the K distinct field counts L_k of
//                     N_k * max(0.001, L_k - 1) / L_k   (N_k records have L_k)
//   type score    T = share of cells that is_known_cell accepts (at least 1e-10)
//   consistency   Q = P * T
//
// The highest Q wins, except that a delimiter other than the one the
// fixed-rule sniffer (sniff_delimiter) picks must reach 1.5 times the Q of
// the pick: P divides by the number of distinct field counts, so ragged rows
// weigh on the true delimiter, and one that only cuts a time column
// (12:30:00) into the same pieces in every row can come out ahead by a
// little. Ties (equal Q) go, in this order, to the sniffer's delimiter, the
// earlier delimiter of , ; TAB | space : (then other punctuation by byte
// value), space skipping when most fields after a record's first start with
// a space as read without it and most of those are not padded on both sides
// (skipping would strip such values by half), the double
// quote, then no quote, then the apostrophe (before no quote only when it
// changes how the sample reads), and an escape only when it changes how the
// sample reads.
//
// Candidates: the delimiters above that occur in the sample, and any other
// ASCII punctuation byte (not a quote or the backslash) that cuts nine lines
// in ten of the sample into the same number of pieces as the first line
// does (+ ~ ^ ! / separated files), found from byte counts per line before
// any scoring; space skipping
// only where a delimiter is followed by a space; the double quote, no quote
// and the apostrophe, each only where it opens a field somewhere (else the
// double quote stands for no quote); the backslash as escape only where it
// precedes that quote. Q never exceeds P, so candidates are typed in order
// of falling P and the rest skipped once P drops below the best Q. An input
// offering many candidates is scored on a prefix of the sample, so that the
// cost stays bounded (a few milliseconds) whatever the bytes.
//
// Where the fixed-rule sniffer is unambiguous, its pick stands: when every
// record it samples gets the same field count above 1, the delimiter is
// fixed to its pick, and when besides no field, as the module's dialect
// reads the sample, starts with a space or an apostrophe or holds a
// backslash before a double quote, the result is the module's own dialect
// (that delimiter, the double quote, no escape, no space skipping) without
// scoring, unless other punctuation cuts every line into more fields than
// the pick (it is then scored beside the pick, under the same margin). So
// every input the module reads cleanly is read the same way.
//
// With the runaway-quote guard hinted, a quoted candidate whose records run
// across line breaks is scored as the salvage will read it: guarded at the
// most frequent field count of the records that kept to one line, so a file
// of many cut-off quoted fields is not taken for an unquoted one.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/dialect.hpp"

namespace quillon {

// What the caller already knows; everything given is used as it is.
struct DialectHints {
    std::optional<std::uint8_t> delimiter = std::nullopt;
    // quote given: `quote` is the quote byte, or none for no quoting.
    bool quote_given = false;
    std::optional<std::uint8_t> quote = std::nullopt;
    // escape given: `escape` is the escape byte, or none for no escaping.
    bool escape_given = false;
    std::optional<std::uint8_t> escape = std::nullopt;
    std::optional<bool> skip_initial_space = std::nullopt;
    // The salvage will read with the runaway-quote guard: candidates are
    // scored as it reads them.
    bool guard_runaway_quotes = false;
};

// Reads at most detection_sample(buffer) (and the fixed-rule sniffer's 50
// records). A leading UTF-8 byte-order mark is skipped. Deterministic; any
// bytes are accepted.
Dialect detect_dialect(std::string_view buffer, const DialectHints& hints);

}  // namespace quillon
