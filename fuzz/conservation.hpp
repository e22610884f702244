// The conservation law of a salvage result, asserted by the fuzz targets on
// every input: each record the run read is in exactly one place (a kept row
// or a quarantine entry, the entries at their own bytes of the input, in
// order and apart), and the counts add up, by kind too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/salvage.hpp"
#include "fuzz_support.hpp"

namespace fuzz {

inline void check_conservation(const quillon::SalvageResult& r, std::string_view buffer) {
    const auto counts = [&] {
        return "total " + std::to_string(r.total_rows) + " kept " + std::to_string(r.salvaged_rows) +
               " quarantined " + std::to_string(r.quarantined_rows) + " rows held " +
               std::to_string(r.rows.size()) + " entries " + std::to_string(r.quarantine.size());
    };
    check(r.total_rows == r.salvaged_rows + r.quarantined_rows, "every record kept or quarantined", counts);
    check(r.rows.size() == r.salvaged_rows, "one kept row per kept record", counts);
    check(r.quarantine.size() == r.quarantined_rows, "one quarantine entry per quarantined record", counts);

    std::size_t by_reason[7] = {};
    std::size_t end = 0;
    std::size_t line = 1;
    for (std::size_t i = 0; i < r.quarantine.size(); ++i) {
        const quillon::QuarantinedRow q = r.quarantine[i];
        const auto context = [&] {
            return "entry " + std::to_string(i) + " bytes " + std::to_string(q.place.begin) + ":" +
                   std::to_string(q.place.end) + " lines " + std::to_string(q.place.first_line) + "-" +
                   std::to_string(q.line);
        };
        ++by_reason[static_cast<std::size_t>(q.code)];
        check(q.place.begin <= q.place.end && q.place.end <= buffer.size(), "an entry lies in the input",
              context);
        check(i == 0 || q.place.begin >= end, "entries follow each other without sharing a byte", context);
        check(q.place.first_line <= q.line && q.line == q.place.line && q.place.first_line >= line,
              "an entry's lines follow the one before", context);
        end = q.place.end;
        line = q.line;
    }
    const auto kinds = [&] {
        return counts() + " too few " + std::to_string(r.too_few_rows) + "/" + std::to_string(by_reason[0]) +
               " extra " + std::to_string(r.extra_rows) + "/" + std::to_string(by_reason[1]) + " preamble " +
               std::to_string(r.preamble_rows) + "/" + std::to_string(by_reason[2]) + " repeated header " +
               std::to_string(r.repeated_header_rows) + "/" + std::to_string(by_reason[3]) + " comment " +
               std::to_string(r.comment_rows) + "/" + std::to_string(by_reason[4]) + " footer " +
               std::to_string(r.footer_rows) + "/" + std::to_string(by_reason[5]) + " other table " +
               std::to_string(r.other_table_rows) + "/" + std::to_string(by_reason[6]);
    };
    check(r.too_few_rows == by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kTooFewColumns)] &&
              r.extra_rows == by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kExtraColumns)] &&
              r.preamble_rows == by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kPreamble)] &&
              r.repeated_header_rows ==
                  by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kRepeatedHeader)] &&
              r.comment_rows == by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kComment)] &&
              r.footer_rows == by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kFooter)] &&
              r.other_table_rows ==
                  by_reason[static_cast<std::size_t>(quillon::QuarantineReason::kOtherTable)],
          "the rejects by kind count the entries of each reason", kinds);

    // Each repaired row has one kind of repair, or only the runaway-quote
    // guard's, which has no kind of its own.
    const std::size_t repairs =
        r.padded_rows + r.merged_rows + r.dropped_empty_rows + r.rejoined_rows + r.split_rows;
    check(repairs <= r.repaired_rows && r.repaired_rows <= repairs + r.runaway_quote_rows &&
              r.repaired_rows <= r.salvaged_rows,
          "the repairs by kind make up the repaired rows", [&] {
              return counts() + " repaired " + std::to_string(r.repaired_rows) + " by kind " +
                     std::to_string(repairs) + " runaway quotes " + std::to_string(r.runaway_quote_rows);
          });
}

}  // namespace fuzz
