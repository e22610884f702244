#include "row_repair.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "utf8.hpp"

namespace quillon {

namespace {

bool has_non_ascii(std::string_view text) noexcept {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool utf8_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

RowRepairer::RowRepairer(ColumnProfiles profiles, std::uint8_t delimiter, bool skip_initial_space)
    : profiles_(std::move(profiles)), delimiter_(delimiter) {
    separator_length_ = encode_byte_as_code_point(delimiter, separator_);
    if (skip_initial_space) separator_[separator_length_++] = ' ';
    separator_flags_ = static_cast<std::uint16_t>(field_flags::kSpecial |
                                                  (delimiter >= 0x80 ? field_flags::kNonAscii : 0));
}

RowRepair RowRepairer::repair_last_row(RowStore& rows) {
    const std::size_t expected = profiles_.columns();
    const std::size_t fields = rows.row(rows.size() - 1).size();
    if (fields > expected && fields - expected <= kMaxSurplus) return repair_surplus(rows);
    if (fields + 1 == expected && expected >= 2) return repair_short(rows);
    return RowRepair::kNone;
}

void RowRepairer::load_fields(const RowView& row) {
    fields_.clear();
    for (const FieldRef f : row) fields_.push_back(f);
}

bool RowRepairer::rejoinable(std::size_t f) const noexcept {
    // An empty piece is a doubled delimiter, which a drop explains. A field
    // holding the delimiter, a quote or a line break was quoted, so no
    // delimiter next to it was meant as text: rejoining it would only
    // gather surplus into a cell that already pays for holding a delimiter.
    // The merge alone still takes such pieces.
    return !fields_[f].text.empty() && !fields_[f].special();
}

void RowRepairer::join_into(std::size_t first, std::size_t span, std::string& out) const {
    for (std::size_t i = first; i < first + span; ++i) {
        if (i != first) out.append(separator_, separator_length_);
        out.append(fields_[i].text);
    }
}

void RowRepairer::offer(std::size_t to, const Step& step) {
    Step* kept = &steps_[to * kKeep];
    std::uint8_t& count = kept_[to];
    // Ties keep the earlier offer first: the order of offers is fixed, so
    // the choice is too.
    std::size_t at = count;
    while (at > 0 && kept[at - 1].score < step.score) --at;
    if (at == kKeep) return;
    const std::size_t last = std::min<std::size_t>(count, kKeep - 1);
    for (std::size_t i = last; i > at; --i) kept[i] = kept[i - 1];
    kept[at] = step;
    if (count < kKeep) ++count;
}

void RowRepairer::cells_of(std::size_t st, std::size_t rank, std::vector<Cell>& out) const {
    out.clear();
    while (st != 0) {
        const Step& step = steps_[st * kKeep + rank];
        const std::size_t from = step.from_state;
        if (step.span != 0) {
            const std::size_t cells = from / 2 / (surplus_ + 1);
            const std::size_t used = from / 2 % (surplus_ + 1);
            out.push_back(Cell{static_cast<std::uint32_t>(cells + used), step.span});
        }
        st = from;
        rank = step.from_rank;
    }
    std::reverse(out.begin(), out.end());
}

RowRepair RowRepairer::repair_surplus(RowStore& rows) {
    load_fields(rows.row(rows.size() - 1));
    const std::size_t n = fields_.size();
    const std::size_t expected = profiles_.columns();
    surplus_ = n - expected;
    const std::size_t widest = surplus_ + 1;

    // The merge first: where every cell of it fits its column and no field
    // is empty (a doubled delimiter leaves one, which may fit an often
    // empty column), nothing says the fault lies anywhere but in a free-text
    // last column.
    groups_.assign(n * widest, CellShape{});
    bool merge_fits = std::none_of(fields_.begin(), fields_.end(),
                                   [](const FieldRef& f) { return f.text.empty(); });
    std::size_t shaped = 0;
    for (; shaped + 1 < expected && merge_fits; ++shaped) {
        groups_[shaped * widest] = profiles_.shape(fields_[shaped].text);
        merge_fits = profiles_.fits(shaped, groups_[shaped * widest]);
    }
    text_.clear();
    join_into(expected - 1, widest, text_);
    groups_[(expected - 1) * widest + widest - 1] = profiles_.shape(text_);
    if (merge_fits && profiles_.fits(expected - 1, group_shape(expected - 1, widest))) {
        return RowRepair::kNone;
    }

    // The shapes of the other single fields and of the rejoins the search
    // may take.
    for (std::size_t f = 0; f < n; ++f) {
        if (f >= shaped) groups_[f * widest] = profiles_.shape(fields_[f].text);
        for (std::size_t span = 2; span <= widest && f + span <= n; ++span) {
            if (!rejoinable(f) || !rejoinable(f + span - 1)) break;
            text_.clear();
            join_into(f, span, text_);
            groups_[f * widest + span - 1] = profiles_.shape(text_);
        }
    }

    const std::size_t states = (expected + 1) * widest * 2;
    steps_.resize(states * kKeep);
    kept_.assign(states, 0);
    kept_[0] = 1;
    steps_[0] = Step{0.0, 0, 0, 0};
    for (std::size_t f = 0; f < n; ++f) {
        const bool empty = fields_[f].text.empty();
        const bool run_start = f == 0 || !fields_[f - 1].text.empty();
        const std::size_t lowest = f > surplus_ ? f - surplus_ : 0;
        for (std::size_t cells = lowest; cells <= std::min(f, expected); ++cells) {
            const std::size_t used = f - cells;
            // What taking 1, 2, ... fields from f as cell `cells` scores,
            // the same for every sequence that reaches this state.
            double take[kMaxSurplus + 1];
            std::size_t spans = 0;
            if (cells < expected) {
                for (std::size_t span = 1; span <= widest - used && f + span <= n; ++span) {
                    if (span > 1 && (!rejoinable(f) || !rejoinable(f + span - 1))) break;
                    take[spans++] =
                        profiles_.score(cells, group_shape(f, span)) - (span > 1 ? kStepCost : 0.0);
                }
            }
            for (const bool dropped : {false, true}) {
                const std::size_t from = state(cells, used, dropped);
                for (std::size_t rank = 0; rank < kept_[from]; ++rank) {
                    const double base = steps_[from * kKeep + rank].score;
                    const auto r = static_cast<std::uint8_t>(rank);
                    const auto from32 = static_cast<std::uint32_t>(from);
                    for (std::size_t i = 0; i < spans; ++i) {
                        offer(state(cells + 1, used + i, false),
                              Step{base + take[i], from32, r, static_cast<std::uint8_t>(i + 1)});
                    }
                    if (empty && used < surplus_ && (run_start || dropped)) {
                        offer(state(cells, used + 1, true), Step{base - kStepCost, from32, r, 0});
                    }
                }
            }
        }
    }

    // The fixed rule's merge, scored as a sequence like any other.
    double merge = -kStepCost;
    for (std::size_t c = 0; c + 1 < expected; ++c) merge += profiles_.score(c, group_shape(c, 1));
    merge += profiles_.score(expected - 1, group_shape(expected - 1, widest));

    // The finishing sequences of both final states, best first.
    std::pair<double, std::size_t> finals[2 * kKeep];
    std::size_t count = 0;
    for (const bool dropped : {false, true}) {
        const std::size_t st = state(expected, surplus_, dropped);
        for (std::size_t rank = 0; rank < kept_[st]; ++rank) {
            finals[count++] = {steps_[st * kKeep + rank].score, st * kKeep + rank};
        }
    }
    if (count == 0) return RowRepair::kNone;
    std::stable_sort(finals, finals + count,
                     [](const auto& a, const auto& b) { return a.first > b.first; });

    const double best = finals[0].first;
    cells_of(finals[0].second / kKeep, finals[0].second % kKeep, best_cells_);
    const bool is_merge = best_cells_.size() == expected &&
                          best_cells_.back() == Cell{static_cast<std::uint32_t>(expected - 1),
                                                     static_cast<std::uint32_t>(widest)};
    if (is_merge || best < merge + kMargin) return RowRepair::kNone;
    for (std::size_t i = 1; i < count; ++i) {
        cells_of(finals[i].second / kKeep, finals[i].second % kKeep, other_cells_);
        if (other_cells_ == best_cells_) continue;
        if (best < finals[i].first + kMargin) return RowRepair::kNone;
        break;
    }

    text_.clear();
    lengths_.clear();
    flags_.clear();
    bool rejoined = false;
    for (const Cell& cell : best_cells_) {
        const std::size_t before = text_.size();
        std::uint16_t flags = cell.span > 1 ? separator_flags_ : 0;
        for (std::size_t i = cell.first; i < cell.first + cell.span; ++i) flags |= fields_[i].flags;
        join_into(cell.first, cell.span, text_);
        lengths_.push_back(text_.size() - before);
        flags_.push_back(flags);
        rejoined = rejoined || cell.span > 1;
    }
    rewrite_last_row(rows);
    return rejoined ? RowRepair::kRejoined : RowRepair::kDroppedEmpty;
}

RowRepair RowRepairer::repair_short(RowStore& rows) {
    load_fields(rows.row(rows.size() - 1));
    const std::size_t n = fields_.size();
    const std::size_t expected = profiles_.columns();

    // shifted_[f]: the fields from f on, each one column to the right.
    shifted_.assign(n + 1, 0.0);
    groups_.resize(n);
    for (std::size_t f = n; f-- > 0;) {
        groups_[f] = profiles_.shape(fields_[f].text);
        shifted_[f] = shifted_[f + 1] + profiles_.score(f + 1, groups_[f]);
    }
    double padded = profiles_.score(expected - 1, CellShape{});
    for (std::size_t f = 0; f < n; ++f) padded += profiles_.score(f, groups_[f]);
    const double bar = padded + kMargin;

    // The best split that counts, and the score of the next best.
    double best = -std::numeric_limits<double>::infinity();
    double runner_up = best;
    std::size_t split_field = 0;
    std::size_t split_at = 0;
    double before = 0.0;  // the fields before f in their own columns
    for (std::size_t f = 0; f < n; ++f) {
        const std::string_view text = fields_[f].text;
        // Scores are at most 0: halves cannot lift the row above this.
        const double base = before + shifted_[f + 1];
        before += profiles_.score(f, groups_[f]);
        // A glued field fits neither column; one that fits its own column
        // as it is gives no sign of a lost delimiter, however much better
        // the fields after it would fit one column further right.
        if (base < bar || text.size() < 2 || text.size() > kMaxSplitLength ||
            fields_[f].special() || profiles_.fits(f, groups_[f])) {
            continue;
        }
        for (std::size_t at = 1; at < text.size(); ++at) {
            if (utf8_continuation(text[at]) || !profiles_.length_fits(f, at) ||
                !profiles_.length_fits(f + 1, text.size() - at)) {
                continue;
            }
            const CellShape left = profiles_.shape(text.substr(0, at));
            if (!profiles_.fits(f, left)) continue;
            const CellShape right = profiles_.shape(text.substr(at));
            if (!profiles_.fits(f + 1, right)) continue;
            const double total = base + profiles_.score(f, left) + profiles_.score(f + 1, right);
            if (total < bar) continue;
            if (total > best) {
                runner_up = best;
                best = total;
                split_field = f;
                split_at = at;
            } else if (total > runner_up) {
                runner_up = total;
            }
        }
    }
    if (best < bar || best < runner_up + kMargin) return RowRepair::kNone;

    text_.clear();
    lengths_.clear();
    flags_.clear();
    for (std::size_t f = 0; f < n; ++f) {
        const std::string_view text = fields_[f].text;
        if (f == split_field) {
            for (const std::string_view half : {text.substr(0, split_at), text.substr(split_at)}) {
                text_.append(half);
                lengths_.push_back(half.size());
                flags_.push_back(has_non_ascii(half) ? field_flags::kNonAscii : 0);
            }
            continue;
        }
        text_.append(text);
        lengths_.push_back(text.size());
        flags_.push_back(fields_[f].flags);
    }
    rewrite_last_row(rows);
    return RowRepair::kSplit;
}

void RowRepairer::rewrite_last_row(RowStore& rows) {
    // The fields' views point into the row being replaced: the new text was
    // copied out first.
    rows.pop_last_row();
    std::size_t at = 0;
    for (std::size_t i = 0; i < lengths_.size(); ++i) {
        rows.append_field(std::string_view(text_).substr(at, lengths_[i]), flags_[i]);
        at += lengths_[i];
    }
    rows.end_row();
}

}  // namespace quillon
