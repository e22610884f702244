#include "structure_detection.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "detection_sample.hpp"
#include "engine/cell_type.hpp"
#include "engine/field_count_table.hpp"
#include "engine/row_store.hpp"
#include "engine/sniffer.hpp"
#include "engine/tokenizer.hpp"

namespace quillon {
namespace {

// Records of the sample looked at for the preamble and the header.
constexpr std::size_t kStructureRecords = 200;
// Rows below the first that type the columns for the header vote.
constexpr std::size_t kBodyRecords = 100;
constexpr std::size_t kMaxPreamble = 64;
// As infer_columns.
constexpr std::size_t kColumnRecords = 100;

struct RecordFacts {
    std::size_t fields = 0;
    std::size_t filled = 0;
    // No cell holds anything but white space: a blank or separator line.
    bool blank = false;
    // Exactly one cell holds something, and it is text: a title or a note.
    bool lone_text = false;
};

struct SampleRecords {
    RowStore rows;
    std::vector<RecordFacts> facts;
};

SampleRecords read_sample(std::string_view buffer, const Dialect& dialect) {
    const std::string_view sample = detection_sample(buffer);
    const bool whole_input = sample.size() == buffer.size();
    SampleRecords s;
    RecordTokenizer tokenizer(sample, dialect);
    while (s.facts.size() < kStructureRecords && tokenizer.next_record(s.rows)) {
        // A record the sample cuts off is not looked at.
        if (!whole_input && !tokenizer.ended_by_line_break()) {
            s.rows.pop_last_row();
            break;
        }
        RecordFacts f;
        std::string_view filled_cell;
        for (const FieldRef cell : s.rows[s.rows.size() - 1]) {
            ++f.fields;
            if (!is_blank_text(cell.text)) {
                ++f.filled;
                filled_cell = cell.text;
            }
        }
        f.blank = f.filled == 0;
        f.lone_text = f.filled == 1 && classify_cell(filled_cell) == CellType::kText;
        s.facts.push_back(f);
    }
    return s;
}

// The field count of most rows that hold something, preferring counts above 1.
std::size_t usual_width(const std::vector<RecordFacts>& facts) {
    FieldCountTable table;
    for (const RecordFacts& f : facts) {
        if (!f.blank) table.add(f.fields);
    }
    std::optional<FieldCountTable::Entry> mode = table.most_frequent(2);
    if (!mode) mode = table.most_frequent(1);
    return mode ? mode->fields : 0;
}

// Rows of the usual width with two filled cells or more make up at least
// four in five of such rows: a lone cell then stands out as a title.
bool rows_are_full(const std::vector<RecordFacts>& facts, std::size_t width) {
    std::size_t rows = 0;
    std::size_t full = 0;
    for (const RecordFacts& f : facts) {
        if (f.fields != width || f.blank) continue;
        ++rows;
        full += f.filled >= 2 ? 1 : 0;
    }
    return width >= 2 && rows != 0 && 5 * full >= 4 * rows;
}

// ---- Header ------------------------------------------------------------------

enum class TypeClass : std::uint8_t { kNone, kNumber, kDate, kTime, kDateTime, kBoolean, kText };

TypeClass class_of(CellType t) noexcept {
    switch (t) {
        case CellType::kEmpty:
            return TypeClass::kNone;
        case CellType::kInteger:
        case CellType::kDecimal:
            return TypeClass::kNumber;
        case CellType::kDate:
            return TypeClass::kDate;
        case CellType::kTime:
            return TypeClass::kTime;
        case CellType::kDateTime:
            return TypeClass::kDateTime;
        case CellType::kBoolean:
            return TypeClass::kBoolean;
        case CellType::kText:
            return TypeClass::kText;
    }
    return TypeClass::kText;
}

struct ColumnProfile {
    std::array<std::size_t, 7> classes{};
    std::size_t filled = 0;
    std::size_t length = 0;
    bool one_length = true;

    void add(std::string_view text) {
        const TypeClass c = class_of(classify_cell(text));
        if (c == TypeClass::kNone) return;
        ++classes[static_cast<std::size_t>(c)];
        if (filled == 0) length = text.size();
        one_length = one_length && text.size() == length;
        ++filled;
    }
    // The type nearly all filled cells share, if not text.
    TypeClass typed_as() const noexcept {
        for (std::size_t c = 1; c < classes.size(); ++c) {
            const auto cls = static_cast<TypeClass>(c);
            if (cls != TypeClass::kText && filled != 0 && 10 * classes[c] >= 9 * filled) return cls;
        }
        return TypeClass::kNone;
    }
};

struct Table {
    const SampleRecords& sample;
    std::size_t first;
    std::size_t width;
};

bool same_fields(const RowView& a, const RowView& b) {
    if (a.text() != b.text()) return false;
    auto i = a.begin();
    auto j = b.begin();
    for (; i != a.end() && j != b.end(); ++i, ++j) {
        if ((*i).text.size() != (*j).text.size()) return false;
    }
    return i == a.end() && j == b.end();
}

// The rows below the first that take part in the vote: not blank, not a
// repeat of the first (concatenated exports repeat their header), at most
// kBodyRecords.
std::vector<RowView> body_rows(const Table& t) {
    std::vector<RowView> body;
    const RowView first = t.sample.rows[t.first];
    for (std::size_t i = t.first + 1; i < t.sample.facts.size() && body.size() < kBodyRecords;
         ++i) {
        if (t.sample.facts[i].blank || same_fields(t.sample.rows[i], first)) continue;
        body.push_back(t.sample.rows[i]);
    }
    return body;
}

template <typename Fn>
void for_each_cell(const RowView& row, std::size_t columns, Fn&& fn) {
    std::size_t j = 0;
    for (auto it = row.begin(); it != row.end() && j < columns; ++it, ++j) fn(j, (*it).text);
}

// A first row of distinct filled cells, none of which occurs in its column below.
bool stands_apart(const RowView& first, const std::vector<RowView>& body, std::size_t width) {
    std::vector<std::string_view> cells;
    for (const FieldRef f : first) cells.push_back(f.text);
    if (cells.size() != width) return false;
    for (const std::string_view c : cells) {
        if (is_blank_text(c)) return false;
    }
    std::vector<std::string_view> sorted = cells;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return false;
    for (const RowView& row : body) {
        bool repeated = false;
        for_each_cell(row, width, [&](std::size_t j, std::string_view text) {
            repeated = repeated || text == cells[j];
        });
        if (repeated) return false;
    }
    return true;
}

bool looks_like_header(const Table& t) {
    const std::vector<RowView> body = body_rows(t);
    if (body.empty() || t.width == 0) return false;
    std::vector<ColumnProfile> columns(t.width);
    for (const RowView& row : body) {
        for_each_cell(row, t.width,
                      [&](std::size_t j, std::string_view text) { columns[j].add(text); });
    }
    const RowView first = t.sample.rows[t.first];
    int votes = 0;
    bool voted = false;
    for_each_cell(first, t.width, [&](std::size_t j, std::string_view text) {
        const ColumnProfile& col = columns[j];
        const TypeClass own = class_of(classify_cell(text));
        if (own == TypeClass::kNone) return;
        const TypeClass typed = col.typed_as();
        if (typed != TypeClass::kNone) {
            votes += own == typed ? -1 : 1;
            voted = true;
        } else if (col.filled >= 2 && col.one_length && own == TypeClass::kText) {
            votes += text.size() == col.length ? -1 : 1;
            voted = true;
        }
    });
    if (voted && votes != 0) return votes > 0;
    return !voted && stands_apart(first, body, t.width);
}

// ---- Preamble ---------------------------------------------------------------

std::size_t find_preamble(const SampleRecords& s, std::size_t width) {
    const std::vector<RecordFacts>& facts = s.facts;
    const bool titles_stand_out = rows_are_full(facts, width);
    std::size_t start = 0;
    // Whether a line of another width waits for a blank line below it, and
    // whether anything but titles came before the table.
    bool unseparated = false;
    bool only_titles = true;
    for (; start < facts.size() && start <= kMaxPreamble; ++start) {
        const RecordFacts& f = facts[start];
        if (f.blank) {
            unseparated = false;
            only_titles = false;
        } else if (f.lone_text && titles_stand_out) {
            continue;
        } else if (f.lone_text || f.fields != width) {
            unseparated = true;
            only_titles = false;
        } else {
            break;
        }
    }
    if (start == 0 || start > kMaxPreamble || unseparated) return 0;
    std::size_t table_rows = 0;
    for (std::size_t i = start; i < facts.size(); ++i) {
        table_rows += facts[i].fields == width && !facts[i].blank ? 1 : 0;
    }
    if (table_rows < 2 || table_rows < 2 * start) return 0;
    if (only_titles && !looks_like_header(Table{s, start, width})) return 0;
    return start;
}

std::size_t count_columns(std::string_view buffer, const Dialect& dialect, std::size_t skip) {
    RecordTokenizer tokenizer(buffer, dialect);
    for (std::size_t i = 0; i < skip; ++i) {
        if (!tokenizer.next_shape()) return 0;
    }
    FieldCountTable table;
    while (table.records() < kColumnRecords) {
        const std::optional<RecordShape> shape = tokenizer.next_shape();
        if (!shape) break;
        if (!shape->blank) table.add(shape->fields);
    }
    const std::optional<FieldCountTable::Entry> mode = table.most_frequent(1);
    return mode ? mode->fields : 0;
}

}  // namespace

TableStructure detect_structure(std::string_view buffer, const Dialect& dialect,
                                std::optional<bool> header_hint) {
    const SampleRecords sample = read_sample(buffer, dialect);
    const std::size_t width = usual_width(sample.facts);
    TableStructure out;
    out.preamble_rows = find_preamble(sample, width);
    out.columns = count_columns(buffer, dialect, out.preamble_rows);
    if (header_hint) {
        out.header = *header_hint;
    } else if (out.preamble_rows < sample.facts.size()) {
        out.header = looks_like_header(Table{sample, out.preamble_rows, width});
    }
    return out;
}

}  // namespace quillon
