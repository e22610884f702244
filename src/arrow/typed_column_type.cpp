#include "typed_column_type.hpp"

#include <charconv>

namespace quillon::arrow::typed {

namespace {

std::string lower_case(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// "(P,S)" or "(P, S)" after a decimal's name.
std::optional<ColumnType> decimal_of(std::string_view args) {
    if (args.size() < 5 || args.front() != '(' || args.back() != ')') return std::nullopt;
    args = args.substr(1, args.size() - 2);
    const std::size_t comma = args.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    const std::string_view p = trim_spaces(args.substr(0, comma));
    const std::string_view s = trim_spaces(args.substr(comma + 1));
    ColumnType type{.type = ValueType::kDecimal};
    const auto [p_end, p_error] = std::from_chars(p.data(), p.data() + p.size(), type.precision);
    const auto [s_end, s_error] = std::from_chars(s.data(), s.data() + s.size(), type.scale);
    if (p_error != std::errc() || s_error != std::errc() || p_end != p.data() + p.size() ||
        s_end != s.data() + s.size() || type.precision < 1 || type.precision > 38 ||
        type.scale < 0 || type.scale > type.precision) {
        return std::nullopt;
    }
    return type;
}

}  // namespace

std::string arrow_format(const ColumnType& type) {
    switch (type.type) {
        case ValueType::kBool:
            return "b";
        case ValueType::kInt64:
            return "l";
        case ValueType::kFloat64:
            return "g";
        case ValueType::kDecimal:
            return "d:" + std::to_string(type.precision) + "," + std::to_string(type.scale);
        case ValueType::kDate:
            return "tdD";
        case ValueType::kTimestamp:
            return type.utc ? "tsu:UTC" : "tsu:";
        case ValueType::kString:
            break;
    }
    return "u";
}

std::string type_name(const ColumnType& type) {
    switch (type.type) {
        case ValueType::kBool:
            return "bool";
        case ValueType::kInt64:
            return "int64";
        case ValueType::kFloat64:
            return "float64";
        case ValueType::kDecimal:
            return "decimal128(" + std::to_string(type.precision) + ", " +
                   std::to_string(type.scale) + ")";
        case ValueType::kDate:
            return "date32";
        case ValueType::kTimestamp:
            return type.utc ? "timestamp[us, tz=UTC]" : "timestamp[us]";
        case ValueType::kString:
            break;
    }
    return "string";
}

std::optional<ColumnType> parse_type_name(std::string_view name) {
    const std::string n = lower_case(trim_spaces(name));
    if (n == "int64" || n == "int") return ColumnType{.type = ValueType::kInt64};
    if (n == "float64" || n == "float") return ColumnType{.type = ValueType::kFloat64};
    if (n == "bool") return ColumnType{.type = ValueType::kBool};
    if (n == "date" || n == "date32") return ColumnType{.type = ValueType::kDate};
    if (n == "timestamp" || n == "timestamp[us]") return ColumnType{.type = ValueType::kTimestamp};
    if (n == "timestamp[us, utc]" || n == "timestamp[us, tz=utc]") {
        return ColumnType{.type = ValueType::kTimestamp, .utc = true};
    }
    if (n == "string" || n == "str") return ColumnType{};
    if (n.starts_with("decimal128")) return decimal_of(std::string_view(n).substr(10));
    if (n.starts_with("decimal")) return decimal_of(std::string_view(n).substr(7));
    return std::nullopt;
}

}  // namespace quillon::arrow::typed
