#include "sniffer.hpp"

#include <algorithm>
#include <cmath>

#include "field_count_table.hpp"
#include "utf8.hpp"

namespace quillon {
namespace {

constexpr std::size_t kSampleRecords = 50;

bool is_white_space(std::uint32_t cp) noexcept {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

double score_candidate(std::string_view buffer, std::uint8_t candidate) {
    const FieldCountTable table = sample_field_counts(buffer, candidate, kSampleRecords);
    const std::size_t sampled = table.records();
    if (sampled < 2) return 0.0;
    const std::optional<FieldCountTable::Entry> mode = table.most_frequent(2);
    if (!mode) return 0.0;
    const double share = static_cast<double>(mode->records) / static_cast<double>(sampled);
    return share * std::max(std::log(static_cast<double>(mode->fields)), 1.0);
}

}  // namespace

bool is_blank_text(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (valid_utf8_prefix(p, n) != n) return false;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        std::uint32_t cp;
        std::size_t len;
        if (lead < 0x80) {
            cp = lead;
            len = 1;
        } else if (lead < 0xE0) {
            cp = lead & 0x1Fu;
            len = 2;
        } else if (lead < 0xF0) {
            cp = lead & 0x0Fu;
            len = 3;
        } else {
            cp = lead & 0x07u;
            len = 4;
        }
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3Fu);
        if (!is_white_space(cp)) return false;
        i += len;
    }
    return true;
}

std::uint8_t sniff_delimiter(std::string_view buffer) {
    double best = -1.0;
    std::uint8_t result = ',';
    for (const char c : kDelimiterCandidates) {
        const auto candidate = static_cast<std::uint8_t>(c);
        const double score = score_candidate(buffer, candidate);
        if (score > best) {
            best = score;
            result = candidate;
        }
    }
    return result;
}

}  // namespace quillon
