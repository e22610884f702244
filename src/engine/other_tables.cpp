#include "other_tables.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace quillon {

namespace {

std::string first_line_of(std::string_view text, std::size_t begin) {
    std::string_view line = text.substr(begin);
    line = line.substr(0, std::min({line.find_first_of("\r\n"), line.size(), kFirstLineBytes}));
    // A cut inside a UTF-8 sequence backs off to its lead byte.
    if (line.size() == kFirstLineBytes) {
        std::size_t cut = line.size();
        while (cut > 0 && (static_cast<unsigned char>(line[cut - 1]) & 0xC0) == 0x80) --cut;
        if (cut > 0 && static_cast<unsigned char>(line[cut - 1]) >= 0xC0) --cut;
        line = line.substr(0, cut);
    }
    return std::string(line);
}

// A break and the records below it that may start a table.
struct Candidate {
    bool open = false;
    std::size_t boundary = 0;
    // The first record that holds something, once met, and its line.
    std::size_t begin = SIZE_MAX;
    std::size_t line = 0;
    std::size_t titles = 0;
    // The field count of the records after the break, and how many so far.
    std::size_t width = 0;
    std::size_t rows = 0;

    void start(std::size_t at) noexcept { *this = Candidate{.open = true, .boundary = at}; }
    void first(std::size_t at, std::size_t on_line) noexcept {
        if (begin != SIZE_MAX) return;
        begin = at;
        line = on_line;
    }
};

}  // namespace

bool may_hold_other_tables(std::string_view text, std::uint8_t delimiter) noexcept {
    const char d = static_cast<char>(delimiter);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        const std::size_t cr = line.find('\r');
        if (line.find(d) == std::string_view::npos || (cr != std::string_view::npos && cr + 1 < line.size())) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::vector<OtherTable> find_other_tables(RecordTokenizer& records, std::string_view text,
                                          std::size_t width, std::string_view comment,
                                          std::uint8_t delimiter) {
    std::vector<OtherTable> tables;
    if (width < 2) return tables;
    Candidate c;
    for (;;) {
        const std::size_t line = records.line();
        const std::optional<RecordShape> shape = records.next_shape();
        if (!shape) break;
        const std::size_t at = records.record_begin();
        if (!comment.empty() && text.substr(at).starts_with(comment)) continue;
        const bool title =
            !shape->blank && shape->fields == 1 &&
            text.substr(at, records.content_end() - at).find(static_cast<char>(delimiter)) ==
                std::string_view::npos;
        if (shape->blank || title) {
            // A break inside the records after a break starts over.
            if (!c.open || c.rows != 0) c.start(at);
            if (title) {
                c.first(at, line);
                if (++c.titles > kMaxTitleLines) c = Candidate{};
            }
            continue;
        }
        if (!c.open) continue;
        if (c.rows == 0) {
            c.width = shape->fields;
            c.first(at, line);
        } else if (shape->fields != c.width) {
            c = Candidate{};
            continue;
        }
        if (++c.rows < kOtherTableRecords) continue;
        if (c.width != width) {
            if (!tables.empty()) tables.back().end = c.boundary;
            tables.push_back(OtherTable{.boundary = c.boundary,
                                        .begin = c.begin,
                                        .line = c.line,
                                        .end = text.size(),
                                        .first_line = first_line_of(text, c.begin)});
            width = c.width;
        }
        c = Candidate{};
    }
    return tables;
}

}  // namespace quillon
