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

OtherTableFinder::OtherTableFinder(std::size_t width, std::string_view comment,
                                   std::uint8_t delimiter)
    : width_(width), comment_(comment), delimiter_(static_cast<char>(delimiter)) {}

void OtherTableFinder::first(std::size_t at, std::size_t line, std::string_view from_begin) {
    Candidate& c = candidate_;
    if (c.begin != SIZE_MAX) return;
    c.begin = at;
    c.line = line;
    c.first_line = first_line_of(from_begin, 0);
}

void OtherTableFinder::take(const RecordShape& shape, std::size_t begin, std::size_t line,
                            std::string_view content, std::string_view from_begin) {
    // A table of one column has no shape to tell a title by.
    if (width_ < 2) return;
    if (!comment_.empty() && content.starts_with(comment_)) return;
    Candidate& c = candidate_;
    const bool title =
        !shape.blank && shape.fields == 1 && content.find(delimiter_) == std::string_view::npos;
    if (shape.blank || title) {
        // A break inside the records after a break starts over.
        if (!c.open || c.rows != 0) {
            c = Candidate{};
            c.open = true;
            c.boundary = begin;
        }
        if (title) {
            first(begin, line, from_begin);
            if (++c.titles > kMaxTitleLines) c = Candidate{};
        }
        return;
    }
    if (!c.open) return;
    if (c.rows == 0) {
        c.width = shape.fields;
        first(begin, line, from_begin);
    } else if (shape.fields != c.width) {
        c = Candidate{};
        return;
    }
    if (++c.rows < kOtherTableRecords) return;
    if (c.width != width_) {
        if (!tables_.empty()) tables_.back().end = c.boundary;
        tables_.push_back(OtherTable{.boundary = c.boundary,
                                     .begin = c.begin,
                                     .line = c.line,
                                     .end = SIZE_MAX,
                                     .first_line = std::move(c.first_line)});
        width_ = c.width;
    }
    c = Candidate{};
}

void OtherTableFinder::finish(std::size_t end) noexcept {
    candidate_ = Candidate{};
    if (!tables_.empty()) tables_.back().end = end;
}

std::size_t OtherTableFinder::undecided_from() const noexcept {
    return candidate_.open ? candidate_.boundary : SIZE_MAX;
}

std::vector<OtherTable> find_other_tables(RecordTokenizer& records, std::string_view text,
                                          std::size_t width, std::string_view comment,
                                          std::uint8_t delimiter) {
    OtherTableFinder finder(width, comment, delimiter);
    for (;;) {
        const std::size_t line = records.line();
        const std::optional<RecordShape> shape = records.next_shape();
        if (!shape) break;
        const std::size_t at = records.record_begin();
        finder.take(*shape, at, line, text.substr(at, records.content_end() - at), text.substr(at));
    }
    finder.finish(text.size());
    return finder.tables();
}

}  // namespace quillon
