// The type of one column of a read table, and how its cells are written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "typed_value_parse.hpp"

namespace quillon::arrow::typed {

enum class ValueType : std::uint8_t {
    kString,
    kBool,
    kInt64,
    kFloat64,
    kDecimal,
    kDate,
    kTimestamp,
};

struct ColumnType {
    ValueType type = ValueType::kString;
    // decimal128(precision, scale).
    int precision = 0;
    int scale = 0;
    // A timestamp column whose texts carry a zone: values are UTC.
    bool utc = false;
    // How the column's texts write numbers and dates.
    NumberStyle style = kPointDecimal;
    DateOrder order = DateOrder::kYearMonthDay;

    bool typed() const noexcept { return type != ValueType::kString; }
};

// The Arrow C data interface format: "b", "l", "g", "d:38,2", "tdD",
// "tsu:", "tsu:UTC", or "u" for a string column.
std::string arrow_format(const ColumnType& type);

// The name reports use: "int64", "float64", "bool", "decimal128(38, 2)",
// "date32", "timestamp[us]", "timestamp[us, tz=UTC]", "string".
std::string type_name(const ColumnType& type);

// A type as users write it: int64 (or int), float64 (float), bool, date
// (date32), timestamp (timestamp[us]), timestamp[us, UTC], decimal(P,S)
// (decimal128(P,S), P up to 38), string (str). Nothing when unknown.
std::optional<ColumnType> parse_type_name(std::string_view name);

}  // namespace quillon::arrow::typed
