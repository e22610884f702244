#include "column_profile.hpp"

#include <cmath>
#include <cstring>
#include <string>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tokenizer.hpp"

namespace quillon {

namespace {

// Added to every count before it becomes a share, so that a type or class
// never seen costs a lot (about ln 2R for R rows) but not without bound.
constexpr double kPrior = 0.5;
// What a length costs per factor e outside the column's range.
constexpr double kLengthWeight = 1.0;

std::size_t type_index(CellType type) noexcept { return static_cast<std::size_t>(type); }

}  // namespace

// The columns are made with the first row that fits: a column count that no
// row has (one given by the caller, say) costs nothing.
ColumnProfiles::ColumnProfiles(std::size_t columns, std::uint8_t delimiter)
    : expected_(columns), delimiter_(delimiter) {
    for (std::size_t b = 0; b < 256; ++b) {
        std::uint8_t c = char_class::kPunctuation;
        if (b >= '0' && b <= '9') {
            c = char_class::kDigit;
        } else if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b >= 0x80) {
            c = char_class::kLetter;
        } else if (b == ' ' || b == '\t') {
            c = char_class::kSpace;
        }
        class_of_[b] = c;
    }
    class_of_[delimiter] = char_class::kDelimiter;
}

// The classes of a long text and its hash, 16 bytes at a time: a byte at a
// time, the hash's multiply chain alone costs several cycles per byte, and
// long text cells (notes, descriptions) are most of such a table's bytes.
// Equal texts have equal lengths and so take the same path: a hash is only
// ever compared with hashes of texts of its own length.
std::uint8_t ColumnProfiles::long_text_classes(std::string_view text, std::uint64_t& hash) const noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::uint8_t classes = 0;
    std::uint64_t h = 0xcbf29ce484222325ULL ^ n;
    std::size_t i = 0;
#ifdef __SSE2__
    // As class_of_ says: the delimiter first, whatever else it is; then
    // digits, letters (ASCII and every byte of 0x80 and above), space and
    // tab; the rest punctuation. Compares are signed, so bytes of 0x80 and
    // above are below zero.
    const __m128i delimiter = _mm_set1_epi8(static_cast<char>(delimiter_));
    __m128i any_delimiter = _mm_setzero_si128();
    __m128i any_digit = _mm_setzero_si128();
    __m128i any_letter = _mm_setzero_si128();
    __m128i any_space = _mm_setzero_si128();
    __m128i any_punctuation = _mm_setzero_si128();
    for (; n - i >= 16; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i is_delimiter = _mm_cmpeq_epi8(x, delimiter);
        const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8('0' - 1)),
                                            _mm_cmplt_epi8(x, _mm_set1_epi8('9' + 1)));
        const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));
        const __m128i letter = _mm_or_si128(
            _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                          _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1))),
            _mm_cmplt_epi8(x, _mm_setzero_si128()));
        const __m128i space =
            _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\t')));
        any_delimiter = _mm_or_si128(any_delimiter, is_delimiter);
        any_digit = _mm_or_si128(any_digit, _mm_andnot_si128(is_delimiter, digit));
        any_letter = _mm_or_si128(any_letter, _mm_andnot_si128(is_delimiter, letter));
        any_space = _mm_or_si128(any_space, _mm_andnot_si128(is_delimiter, space));
        any_punctuation = _mm_or_si128(
            any_punctuation,
            _mm_andnot_si128(_mm_or_si128(_mm_or_si128(is_delimiter, digit), _mm_or_si128(letter, space)),
                             _mm_set1_epi8(-1)));
        std::uint64_t lo;
        std::uint64_t hi;
        std::memcpy(&lo, p + i, 8);
        std::memcpy(&hi, p + i + 8, 8);
        h = (h ^ lo) * 0x9E3779B97F4A7C15ULL;
        h = (h ^ hi ^ (h >> 29)) * 0x9E3779B97F4A7C15ULL;
    }
    const auto any = [](__m128i m) { return _mm_movemask_epi8(m) != 0; };
    if (any(any_delimiter)) classes |= char_class::kDelimiter;
    if (any(any_digit)) classes |= char_class::kDigit;
    if (any(any_letter)) classes |= char_class::kLetter;
    if (any(any_space)) classes |= char_class::kSpace;
    if (any(any_punctuation)) classes |= char_class::kPunctuation;
#endif
    for (; i < n; ++i) {
        classes |= class_of_[p[i]];
        h = (h ^ p[i]) * 0x100000001b3ULL;
    }
    hash = h ^ (h >> 32);
    return classes;
}

CellShape ColumnProfiles::shape(std::string_view text) const noexcept {
    CellShape s;
    s.type = classify_cell(text);
    s.length = text.size();
    if (text.size() >= kLongText) {
        s.classes = long_text_classes(text, s.hash);
    } else {
        // FNV-1a.
        std::uint64_t hash = 0xcbf29ce484222325ULL;
        for (const char ch : text) {
            const auto b = static_cast<unsigned char>(ch);
            s.classes |= class_of_[b];
            hash = (hash ^ b) * 0x100000001b3ULL;
        }
        s.hash = hash;
    }
    if (text.empty()) return s;
    const auto edge = [&](std::size_t i) { return class_of_[static_cast<unsigned char>(text[i])]; };
    std::size_t first = 0;
    std::size_t last = text.size() - 1;
    if (edge(first) == char_class::kSpace || edge(last) == char_class::kSpace) {
        s.classes |= char_class::kEdgeSpace;
        while (first < last && edge(first) == char_class::kSpace) ++first;
        while (last > first && edge(last) == char_class::kSpace) --last;
    }
    if (edge(first) == char_class::kDelimiter || edge(last) == char_class::kDelimiter) {
        s.classes |= char_class::kEdgeDelimiter;
    }
    return s;
}

void ColumnProfiles::add_row(const RowView& row) {
    if (row.size() != expected_) return;
    if (columns_.empty()) columns_.resize(expected_);
    std::size_t j = 0;
    for (const FieldRef f : row) {
        Column& col = columns_[j++];
        const CellShape s = shape(f.text);
        ++col.types[type_index(s.type)];
        if (s.type == CellType::kEmpty) continue;
        ++col.filled;
        for (std::size_t c = 0; c < char_class::kCount; ++c) {
            if ((s.classes >> c) & 1u) ++col.classes[c];
        }
        if (s.length < col.min_length) col.min_length = s.length;
        if (s.length > col.max_length) col.max_length = s.length;
        if (col.distinct <= kMaxValues && !has_value(col, s.hash)) {
            if (col.distinct < kMaxValues) col.values[col.distinct] = s.hash;
            ++col.distinct;
        }
    }
    ++rows_;
}

void ColumnProfiles::finish() {
    const double rows = static_cast<double>(rows_);
    for (Column& col : columns_) {
        col.fitting_types = 0;
        for (std::size_t t = 0; t < col.types.size(); ++t) {
            const double n = col.types[t];
            col.type_score[t] = std::log((n + kPrior) / (rows + kPrior * 8));
            if (rows_ != 0 && n >= kFitShare * rows) {
                col.fitting_types |= static_cast<std::uint8_t>(1u << t);
            }
        }
        const double filled = col.filled;
        col.fitting_classes = 0;
        col.class_score.fill(0.0);
        for (std::size_t c = 0; c < char_class::kCount; ++c) {
            const double n = col.classes[c];
            const double present = std::log((n + kPrior) / (filled + 2 * kPrior));
            const double absent = std::log((filled - n + kPrior) / (filled + 2 * kPrior));
            for (std::size_t mask = 0; mask < col.class_score.size(); ++mask) {
                col.class_score[mask] += ((mask >> c) & 1u) ? present : absent;
            }
            if (col.filled != 0 && n >= kFitShare * filled) {
                col.fitting_classes |= static_cast<std::uint8_t>(1u << c);
            }
        }
        if (col.filled == 0) col.min_length = col.max_length = 0;
        col.few_values = col.filled != 0 && col.distinct <= kMaxValues &&
                         col.distinct * kValueRepeats <= col.filled;
        // A new value is as likely as a value seen once.
        col.unseen_value_score = std::log(1.0 / (filled + 1));
    }
}

double ColumnProfiles::score(std::size_t column, const CellShape& cell) const noexcept {
    const Column& col = columns_[column];
    double s = col.type_score[type_index(cell.type)];
    if (cell.type == CellType::kEmpty) return s;
    s += col.class_score[cell.classes];
    // Length ratios with one added, so that a column of empty cells (a
    // range of 0 to 0) needs no case of its own.
    const double length = static_cast<double>(cell.length) + 1;
    if (cell.length < col.min_length) {
        s -= kLengthWeight * std::log((static_cast<double>(col.min_length) + 1) / length);
    } else if (cell.length > col.max_length) {
        s -= kLengthWeight * std::log(length / (static_cast<double>(col.max_length) + 1));
    }
    if (col.few_values && !has_value(col, cell.hash)) s += col.unseen_value_score;
    return s;
}

bool ColumnProfiles::has_value(const Column& col, std::uint64_t hash) noexcept {
    const std::size_t n = col.distinct < kMaxValues ? col.distinct : kMaxValues;
    for (std::size_t i = 0; i < n; ++i) {
        if (col.values[i] == hash) return true;
    }
    return false;
}

bool ColumnProfiles::fits(std::size_t column, const CellShape& cell) const noexcept {
    const Column& col = columns_[column];
    if (((col.fitting_types >> type_index(cell.type)) & 1u) == 0) return false;
    if (cell.type == CellType::kEmpty) return true;
    return (cell.classes & ~col.fitting_classes) == 0 && cell.length >= col.min_length &&
           cell.length <= col.max_length && (!col.few_values || has_value(col, cell.hash));
}

ColumnProfiles learn_column_profiles(RecordTokenizer& tokenizer, std::size_t skip,
                                     std::size_t columns, std::uint8_t delimiter) {
    ColumnProfiles profiles(columns, delimiter);
    RowStore scratch;
    std::string header;
    for (std::size_t i = 0; i < skip + 1 + kProfileRecords; ++i) {
        if (tokenizer.position() >= kProfileBytes || !tokenizer.next_record(scratch)) break;
        const RowView row = scratch.row(0);
        if (i == skip) {
            header.assign(row.text());
        } else if (i > skip && row.text() != header) {
            profiles.add_row(row);
        }
        scratch.pop_last_row();
    }
    profiles.finish();
    return profiles;
}

}  // namespace quillon
