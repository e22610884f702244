#include "field_count_table.hpp"

#include "tokenizer.hpp"

namespace quillon {

FieldCountTable sample_field_counts(std::string_view buffer, std::uint8_t delimiter,
                                    std::size_t limit) {
    RecordTokenizer tokenizer(buffer, delimiter, '"', true);
    FieldCountTable table;
    while (table.records() < limit) {
        const std::optional<RecordShape> shape = tokenizer.next_shape();
        if (!shape) break;
        if (!shape->blank) table.add(shape->fields);
    }
    return table;
}

}  // namespace quillon
