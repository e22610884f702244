#include "inference.hpp"

#include "field_count_table.hpp"
#include "tokenizer.hpp"

namespace quillon {

namespace {
constexpr std::size_t kSampleRecords = 100;
}

std::size_t infer_columns(std::string_view buffer, std::uint8_t delimiter) {
    RecordTokenizer tokenizer(buffer, delimiter, '"', true);
    FieldCountTable table;
    std::size_t sampled = 0;
    while (sampled < kSampleRecords) {
        const std::optional<RecordShape> shape = tokenizer.next_shape();
        if (!shape) break;
        if (shape->blank) continue;
        table.add(shape->fields);
        ++sampled;
    }
    const std::optional<FieldCountTable::Entry> mode = table.most_frequent(1);
    return mode ? mode->fields : 0;
}

}  // namespace quillon
