#include "structure_detection.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
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
    // Blank cells after the last filled one: a line ending in a delimiter.
    std::size_t trailing_blank = 0;
    // No cell holds anything but white space: a blank or separator line.
    bool blank = false;
    // Exactly one cell holds something, and it is text: a title or a note.
    bool lone_text = false;
    // The record's bytes in the input.
    std::string_view raw;
};

struct SampleRecords {
    RowStore rows;
    std::vector<RecordFacts> facts;
    // The sample holds the whole input.
    bool whole_input = false;
    std::uint8_t delimiter = ',';
};

// The facts of the record the tokenizer returned last, the last row of `rows`;
// `text` is what the tokenizer reads.
RecordFacts facts_of(const RowStore& rows, const RecordTokenizer& tokenizer,
                     std::string_view text) {
    RecordFacts f;
    std::string_view filled_cell;
    for (const FieldRef cell : rows[rows.size() - 1]) {
        ++f.fields;
        if (!is_blank_text(cell.text)) {
            ++f.filled;
            filled_cell = cell.text;
            f.trailing_blank = 0;
        } else {
            ++f.trailing_blank;
        }
    }
    f.blank = f.filled == 0;
    f.raw = text.substr(tokenizer.record_begin(), tokenizer.content_end() - tokenizer.record_begin());
    f.lone_text = f.filled == 1 && classify_cell(filled_cell) == CellType::kText;
    return f;
}

SampleRecords read_sample(std::string_view buffer, const Dialect& dialect) {
    const std::string_view sample = detection_sample(buffer);
    const bool whole_input = sample.size() == buffer.size();
    SampleRecords s;
    s.whole_input = whole_input;
    s.delimiter = dialect.delimiter;
    RecordTokenizer tokenizer(sample, dialect);
    while (s.facts.size() < kStructureRecords && tokenizer.next_record(s.rows)) {
        // A record the sample cuts off is not looked at.
        if (!whole_input && !tokenizer.ended_by_line_break()) {
            s.rows.pop_last_row();
            break;
        }
        s.facts.push_back(facts_of(s.rows, tokenizer, sample));
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

// A record of the table's width, or wider only by blank cells at its end: a
// header written with a delimiter after its last name (`id,name,`) over rows
// without one.
bool fits_width(const RecordFacts& f, std::size_t width) noexcept {
    return f.fields == width || (f.fields > width && f.fields - f.trailing_blank == width);
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

// A header over yearly columns names them by year (`region,2019,2020`);
// such a name is a number too, but rarely one of the column's values.
bool is_year(std::string_view text) noexcept {
    if (text.size() != 4) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return text >= "1800" && text <= "2199";
}

struct ColumnProfile {
    std::array<std::size_t, 7> classes{};
    std::size_t filled = 0;
    std::size_t length = 0;
    bool one_length = true;
    bool all_years = true;

    void add(std::string_view text) {
        const TypeClass c = class_of(classify_cell(text));
        if (c == TypeClass::kNone) return;
        ++classes[static_cast<std::size_t>(c)];
        if (filled == 0) length = text.size();
        one_length = one_length && text.size() == length;
        all_years = all_years && is_year(text);
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

// A first row one name short of the table, every name text, over rows whose
// first cell is a name (text), or the row's number from 1 with write.table's
// space or tab between fields: R's write.table, which writes row names first
// without naming their column. A comma table whose rows start with their
// number is as likely a short header over an id column; and one row is too
// little to tell.
bool names_rows(const Table& t) {
    const RecordFacts& f = t.sample.facts[t.first];
    if (t.width < 2 || f.fields + 1 != t.width || f.filled != f.fields) return false;
    for (const FieldRef cell : t.sample.rows[t.first]) {
        if (classify_cell(cell.text) != CellType::kText) return false;
    }
    std::size_t rows = 0;
    std::size_t named = 0;
    for (std::size_t i = t.first + 1; i < t.sample.facts.size() && rows < kBodyRecords; ++i) {
        if (t.sample.facts[i].fields != t.width) continue;
        ++rows;
        const std::string_view name = (*t.sample.rows[i].begin()).text;
        const bool numbered = (t.sample.delimiter == ' ' || t.sample.delimiter == '\t') &&
                              name == std::to_string(rows);
        named += numbered || classify_cell(name) == CellType::kText ? 1 : 0;
    }
    return rows >= 2 && 10 * named >= 9 * rows;
}

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

// A first row of distinct filled cells, none of which occurs in its column
// below. The first cell may be blank (the unnamed column of an index), and
// blank cells past the table's width do not count.
bool stands_apart(const RowView& first, const std::vector<RowView>& body, std::size_t width) {
    std::vector<std::string_view> cells;
    for (const FieldRef f : first) cells.push_back(f.text);
    while (cells.size() > width && is_blank_text(cells.back())) cells.pop_back();
    if (cells.size() != width) return false;
    for (std::size_t j = 1; j < cells.size(); ++j) {
        if (is_blank_text(cells[j])) return false;
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
    // Row names shift the names one column to the right of their columns.
    const std::size_t shift = names_rows(t) ? 1 : 0;
    int votes = 0;
    bool voted = false;
    for_each_cell(first, t.width - shift, [&](std::size_t j, std::string_view text) {
        const ColumnProfile& col = columns[j + shift];
        const TypeClass own = class_of(classify_cell(text));
        if (own == TypeClass::kNone) return;
        const TypeClass typed = col.typed_as();
        if (typed != TypeClass::kNone) {
            const bool year_name = typed == TypeClass::kNumber && is_year(text) && !col.all_years;
            votes += own == typed && !year_name ? -1 : 1;
            voted = true;
        } else if (col.filled >= 2 && col.one_length && own == TypeClass::kText) {
            votes += text.size() == col.length ? -1 : 1;
            voted = true;
        }
    });
    if (voted && votes != 0) return votes > 0;
    return !voted && (shift != 0 || stands_apart(first, body, t.width));
}

// A lone record of distinct text names in an input that holds nothing else:
// a header over no rows, as an export of an empty table writes it.
bool lone_header(const SampleRecords& s, std::size_t first) {
    if (!s.whole_input || first >= s.facts.size()) return false;
    for (std::size_t i = first + 1; i < s.facts.size(); ++i) {
        if (!s.facts[i].blank) return false;
    }
    const RecordFacts& f = s.facts[first];
    if (f.fields < 2 || f.filled != f.fields) return false;
    std::vector<std::string_view> names;
    for (const FieldRef cell : s.rows[first]) {
        if (classify_cell(cell.text) != CellType::kText) return false;
        names.push_back(cell.text);
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

HeaderShape header_shape_of(const Table& t) {
    const RecordFacts& f = t.sample.facts[t.first];
    if (f.fields > t.width && fits_width(f, t.width)) return HeaderShape::kTrailingBlank;
    if (names_rows(t)) return HeaderShape::kRowNames;
    return HeaderShape::kWidth;
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
    bool only_blank = true;
    for (; start < facts.size() && start <= kMaxPreamble; ++start) {
        const RecordFacts& f = facts[start];
        if (f.blank) {
            unseparated = false;
            only_titles = false;
        } else if (f.lone_text && titles_stand_out) {
            only_blank = false;
        } else if (f.lone_text || !fits_width(f, width)) {
            unseparated = true;
            only_titles = false;
            only_blank = false;
        } else {
            break;
        }
    }
    if (start == 0 || start > kMaxPreamble || unseparated) return 0;
    std::size_t table_rows = 0;
    for (std::size_t i = start; i < facts.size(); ++i) {
        table_rows += fits_width(facts[i], width) && !facts[i].blank ? 1 : 0;
    }
    // Blank lines alone cannot be rows: a table of one row below them
    // still has its header found.
    if (only_blank ? table_rows == 0 : table_rows < 2 || table_rows < 2 * start) return 0;
    if (only_titles && !looks_like_header(Table{s, start, width})) return 0;
    return start;
}

// `until`: where a table below the first begins (its rows are not counted).
std::size_t count_columns(std::string_view buffer, const Dialect& dialect, std::size_t skip,
                          std::string_view comment, std::size_t until) {
    RecordTokenizer tokenizer(buffer, dialect);
    for (std::size_t i = 0; i < skip; ++i) {
        if (!tokenizer.next_shape()) return 0;
    }
    FieldCountTable table;
    // Comment lines are passed over up to the sample's length of lines, so
    // that a long run of them cannot make this read the whole input.
    std::size_t comments = 0;
    while (table.records() < kColumnRecords && comments < kSampleLines) {
        const std::optional<RecordShape> shape = tokenizer.next_shape();
        if (!shape || tokenizer.record_begin() >= until) break;
        const bool commented =
            !comment.empty() && buffer.substr(tokenizer.record_begin()).starts_with(comment);
        comments += commented ? 1 : 0;
        if (!shape->blank && !commented) table.add(shape->fields);
    }
    const std::optional<FieldCountTable::Entry> mode = table.most_frequent(1);
    return mode ? mode->fields : 0;
}

// ---- Comments ---------------------------------------------------------------

// Line prefixes that mark comments in data files: shell and R, C, MATLAB
// and LaTeX, INI and assembler.
constexpr std::array<std::string_view, 4> kCommentPrefixes = {"#", "//", "%", ";"};

// The first prefix that some records of the sample begin with, most of
// which lack the table's shape (its width, two cells filled or more): those
// are notes, where rows of the table that happen to begin so would have the
// shape (a note with the table's commas by chance is outvoted). A prefix
// holding the delimiter is not one; nor is any over a table of one column,
// which has no shape to tell a note by.
std::string_view find_comment(const std::vector<RecordFacts>& facts, std::size_t width,
                              std::uint8_t delimiter) {
    if (width < 2) return {};
    for (const std::string_view prefix : kCommentPrefixes) {
        if (prefix.find(static_cast<char>(delimiter)) != std::string_view::npos) continue;
        std::size_t lines = 0;
        std::size_t shaped = 0;
        for (const RecordFacts& f : facts) {
            if (!f.raw.starts_with(prefix)) continue;
            ++lines;
            shaped += f.fields == width && f.filled >= 2 ? 1 : 0;
        }
        if (lines != 0 && 2 * shaped < lines) return prefix;
    }
    return {};
}

// Takes the comments out of the sample: the table's shape is read from the
// other records. Returns where each record left stood in the sample, and
// after them the sample's record count.
std::vector<std::size_t> drop_comments(SampleRecords& s, std::string_view comment) {
    std::vector<std::size_t> places;
    SampleRecords kept;
    kept.whole_input = s.whole_input;
    kept.delimiter = s.delimiter;
    for (std::size_t i = 0; i < s.facts.size(); ++i) {
        if (!comment.empty() && s.facts[i].raw.starts_with(comment)) continue;
        places.push_back(i);
        kept.rows.append_row(s.rows[i]);
        kept.facts.push_back(s.facts[i]);
    }
    places.push_back(s.facts.size());
    s = std::move(kept);
    return places;
}

// ---- Footer -----------------------------------------------------------------

// Notes below a table: at most this many.
constexpr std::size_t kMaxFooter = 8;

// A cell that names something (`Total`, `Source: survey`): letters, no digit.
bool is_wording(std::string_view text) noexcept {
    bool letter = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') return false;
        letter = letter || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }
    return letter;
}

struct FooterContext {
    std::size_t width = 0;
    bool titles_stand_out = false;
    // What the table's first column holds; kNone when text or mixed.
    TypeClass first_column = TypeClass::kNone;
    std::string_view comment;
};

// A record below the table that is a note rather than a row: a lone text
// cell over full rows, or a short record whose first cell is wording over a
// first column of numbers or dates (`Total,1234` under ids). A row cut
// short, its first cell fitting its column, stays a row.
bool is_note(const RecordFacts& f, std::string_view first_cell, const FooterContext& c) {
    if (f.lone_text && c.titles_stand_out) return true;
    return f.fields < c.width && c.first_column != TypeClass::kNone && is_wording(first_cell);
}

// Where the notes below the table begin, with the blank lines above them,
// or kNoFooter: read from the tail sample, walking up from the end over
// notes and blank lines to the last row of the table.
// A table of one column has no shape to tell a note by.
std::size_t find_footer(std::string_view buffer, const Dialect& dialect, const FooterContext& c) {
    if (c.width < 2) return TableStructure::kNoFooter;
    const std::size_t from = tail_sample_start(buffer);
    const std::string_view tail = buffer.substr(from);
    struct TailRecord {
        std::size_t begin;
        bool blank;
        bool note;
    };
    std::vector<TailRecord> records;
    RecordTokenizer tokenizer(tail, dialect);
    RowStore rows;
    while (tokenizer.next_record(rows)) {
        const RecordFacts f = facts_of(rows, tokenizer, tail);
        if (c.comment.empty() || !f.raw.starts_with(c.comment)) {
            const std::string_view first = (*rows[0].begin()).text;
            records.push_back({from + tokenizer.record_begin(), f.blank, !f.blank && is_note(f, first, c)});
        }
        rows.clear();
    }
    std::size_t notes = 0;
    std::size_t i = records.size();
    for (; i > 0 && (records[i - 1].blank || records[i - 1].note); --i) {
        notes += records[i - 1].note ? 1 : 0;
    }
    if (notes == 0 || notes > kMaxFooter || i == 0) return TableStructure::kNoFooter;
    return records[i].begin;
}

// ---- Tables below the table ---------------------------------------------------

// The tables below the one of `width` fields within the sample, read as the
// engine reads them: past `preamble` records and `header` more (a comment
// where the header would be moves it down), comments aside.
std::vector<OtherTable> tables_after(std::string_view buffer, const Dialect& dialect,
                                     std::size_t preamble, std::size_t header, std::size_t width,
                                     std::string_view comment) {
    const std::string_view sample = detection_sample(buffer);
    RecordTokenizer tokenizer(sample, dialect);
    std::size_t head = preamble + header;
    std::size_t header_at = preamble;
    for (std::size_t i = 0; i < head; ++i) {
        if (!tokenizer.next_shape()) return {};
        if (i == header_at && !comment.empty() &&
            sample.substr(tokenizer.record_begin()).starts_with(comment)) {
            ++header_at;
            ++head;
        }
    }
    return find_other_tables(tokenizer, sample, width, comment, dialect.delimiter);
}

}  // namespace

TableStructure detect_structure(std::string_view buffer, const Dialect& dialect,
                                std::optional<bool> header_hint,
                                std::optional<std::string_view> comment_hint) {
    SampleRecords sample = read_sample(buffer, dialect);
    TableStructure out;
    out.comment = comment_hint.value_or(
        find_comment(sample.facts, usual_width(sample.facts), dialect.delimiter));
    const std::vector<std::size_t> places = drop_comments(sample, out.comment);
    const std::size_t width = usual_width(sample.facts);
    const std::size_t start = find_preamble(sample, width);
    // Comments above the table's first row are records of the preamble.
    out.preamble_rows = places[start];
    // A second table bigger than the first must not lend it its width: the
    // count stops where one begins, found against the first record's width.
    const std::vector<OtherTable> below =
        start < sample.facts.size()
            ? tables_after(buffer, dialect, out.preamble_rows, 0, sample.facts[start].fields,
                           out.comment)
            : std::vector<OtherTable>{};
    out.columns = count_columns(buffer, dialect, out.preamble_rows, out.comment,
                                below.empty() ? SIZE_MAX : below.front().boundary);
    if (start >= sample.facts.size()) {
        out.header = header_hint.value_or(false);
        return out;
    }
    const Table table{sample, start, width};
    if (header_hint) {
        out.header = *header_hint;
    } else {
        out.header = looks_like_header(table) || lone_header(sample, start);
    }
    out.other_tables = tables_after(buffer, dialect, out.preamble_rows, out.header ? 1 : 0,
                                    out.columns, out.comment);
    // `below` was looked for with the first record's width. When the table's
    // own width finds no table there, the count had no reason to stop at it.
    if (out.other_tables.empty() && !below.empty()) {
        out.columns = count_columns(buffer, dialect, out.preamble_rows, out.comment, SIZE_MAX);
        out.other_tables = tables_after(buffer, dialect, out.preamble_rows, out.header ? 1 : 0,
                                        out.columns, out.comment);
    }
    if (out.header && width == out.columns) out.header_shape = header_shape_of(table);
    ColumnProfile first_column;
    for (const RowView& row : body_rows(table)) {
        if (row.size() == out.columns) first_column.add((*row.begin()).text);
    }
    const FooterContext footer{out.columns, width == out.columns && rows_are_full(sample.facts, width),
                               first_column.typed_as(), out.comment};
    out.footer_from = find_footer(buffer, dialect, footer);
    return out;
}

}  // namespace quillon
