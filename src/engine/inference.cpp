#include "inference.hpp"

#include "field_count_table.hpp"

namespace quillon {

std::size_t infer_columns(std::string_view buffer, std::uint8_t delimiter) {
    constexpr std::size_t kSampleRecords = 100;
    const std::optional<FieldCountTable::Entry> mode =
        sample_field_counts(buffer, delimiter, kSampleRecords).most_frequent(1);
    return mode ? mode->fields : 0;
}

}  // namespace quillon
