// Everything a salvage result says, as lines of text: each kept row, each
// quarantine entry with its lines, offsets and reason, then every count. Two
// results are the same result exactly when their descriptions are equal, and
// a difference reads as text.
#pragma once

#include <string>
#include <vector>

#include "engine/salvage.hpp"
#include "reference_tokenizer.hpp"

namespace reference {

inline std::string describe_fields(const std::vector<std::string>& fields) {
    std::string out = "[";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) out += ", ";
        out += '"' + escaped(fields[i]) + '"';
    }
    return out + "]";
}

inline std::vector<std::string> describe_result(const quillon::SalvageResult& r) {
    std::vector<std::string> out;
    for (const quillon::RowView row : r.rows) out.push_back(describe_fields(row.to_strings()));
    for (const quillon::QuarantinedRow q : r.quarantine) {
        out.push_back(std::to_string(q.place.first_line) + "-" + std::to_string(q.line) + "@" +
                      std::to_string(q.place.begin) + ":" + std::to_string(q.place.end) + " " +
                      std::string(q.reason) + " " + describe_fields(q.fields.to_strings()));
    }
    out.push_back("delimiter " + std::to_string(std::size_t{r.detected_delimiter}) + " columns " +
                  std::to_string(r.inferred_columns) + " stopped " + std::to_string(r.stopped) +
                  " ends in open quote " + std::to_string(r.ends_in_open_quote));
    for (const quillon::CountName& c : quillon::kCounts) {
        out.push_back(std::string(c.name) + " " + std::to_string(r.*c.count));
    }
    return out;
}

}  // namespace reference
