#include "export.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "typed_columns.hpp"
#include "typed_export.hpp"

namespace quillon::arrow {

namespace {

// Consumers may read a buffer pointer even for zero bytes; this one is never
// written and aligned for any element type.
alignas(64) const std::int64_t kEmptyBuffer[8] = {};

const char* format_of(StringLayout layout) noexcept {
    switch (layout) {
        case StringLayout::kUtf8:
            return "u";
        case StringLayout::kLargeUtf8:
            return "U";
        case StringLayout::kUtf8View:
            break;
    }
    return "vu";
}

bool layout_of(const char* format, StringLayout& out) noexcept {
    if (format == nullptr) return false;
    const std::string_view f(format);
    if (f == "u") {
        out = StringLayout::kUtf8;
    } else if (f == "U") {
        out = StringLayout::kLargeUtf8;
    } else if (f == "vu") {
        out = StringLayout::kUtf8View;
    } else {
        return false;
    }
    return true;
}

const void* or_empty(const void* buffer) noexcept {
    return buffer != nullptr ? buffer : kEmptyBuffer;
}

// ---- schema ----

struct FieldSchemaData {
    std::string name;
    std::string format;
};

void release_field_schema(ArrowSchema* schema) {
    delete static_cast<FieldSchemaData*>(schema->private_data);
    schema->release = nullptr;
}

struct StructSchemaData {
    std::unique_ptr<ArrowSchema[]> fields;
    std::unique_ptr<ArrowSchema*[]> pointers;
};

// The release of a struct with children (schema or array): a child that a
// consumer moved out is marked released and is left alone.
template <typename Struct, typename Data>
void release_parent(Struct* parent) {
    auto* data = static_cast<Data*>(parent->private_data);
    for (std::int64_t i = 0; i < parent->n_children; ++i) {
        Struct* child = data->pointers[static_cast<std::size_t>(i)];
        if (child->release != nullptr) child->release(child);
    }
    delete data;
    parent->release = nullptr;
}

// ---- arrays ----

// A 16-byte string view: the length, then either the whole string (up to 12
// bytes, zero padded) or its first 4 bytes, the data buffer's index and the
// offset in it.
struct StringView {
    std::int32_t size;
    char bytes[12];
};
static_assert(sizeof(StringView) == 16);

struct ColumnArrayData {
    std::shared_ptr<const BatchCells> cells;
    // A string column of a typed batch keeps a copy of its own text and
    // validity instead of the batch's cells: those hold the typed columns'
    // text too, which their exported values have made garbage.
    GrowableBuffer<char> text;
    GrowableBuffer<std::uint8_t> validity;
    // Buffers derived for a layout that is not the batch's own, or the
    // zeros of a column that no row of the batch reaches.
    GrowableBuffer<std::int32_t> offsets;
    GrowableBuffer<std::int64_t> wide_offsets;
    GrowableBuffer<StringView> views;
    std::int64_t data_sizes[1] = {0};
    const void* buffers[4] = {nullptr, nullptr, nullptr, nullptr};
};

void release_column_array(ArrowArray* array) {
    delete static_cast<ColumnArrayData*>(array->private_data);
    array->release = nullptr;
}

// The column's offsets from its first, over its own text.
template <typename Offset>
Offset* derive_offsets(const ColumnChunk& c, GrowableBuffer<Offset>& out) {
    const auto n = static_cast<std::size_t>(c.length());
    const std::size_t first = c.first_offset();
    Offset* offsets = out.reserve_tail(n + 1);
    out.set_size(n + 1);
    for (std::size_t i = 0; i <= n; ++i) {
        const std::size_t at = c.wide() ? static_cast<std::size_t>(c.wide_offsets()[i])
                                        : static_cast<std::size_t>(c.offsets()[i]);
        offsets[i] = static_cast<Offset>(at - first);
    }
    return offsets;
}

// Views into the column's own text, which begins at its first offset.
void derive_views(const ColumnChunk& c, const std::int32_t* offsets, const char* values,
                  GrowableBuffer<StringView>& views) {
    const auto n = static_cast<std::size_t>(c.length());
    StringView* out = views.reserve_tail(n);
    views.set_size(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t begin = offsets[i];
        const std::int32_t size = offsets[i + 1] - begin;
        StringView v{size, {}};
        if (size <= 12) {
            if (size != 0) std::memcpy(v.bytes, values + begin, static_cast<std::size_t>(size));
        } else {
            const std::int32_t buffer_index = 0;
            std::memcpy(v.bytes, values + begin, 4);
            std::memcpy(v.bytes + 4, &buffer_index, 4);
            std::memcpy(v.bytes + 8, &begin, 4);
        }
        out[i] = v;
    }
}

// The column's own text, copied; never null.
const char* copy_text(const ColumnChunk& c, GrowableBuffer<char>& out) {
    const std::size_t size = c.last_offset() - c.first_offset();
    char* text = out.reserve_tail(std::max<std::size_t>(size, 1));
    out.set_size(size);
    if (size != 0) std::memcpy(text, c.values() + c.first_offset(), size);
    return text;
}

// The column's validity bitmap, copied; null when every cell holds a value.
const std::uint8_t* copy_validity(const ColumnChunk& c, GrowableBuffer<std::uint8_t>& out) {
    const std::uint8_t* bits = c.validity();
    if (bits == nullptr) return nullptr;
    const std::size_t bytes = (static_cast<std::size_t>(c.length()) + 7) / 8;
    std::uint8_t* copy = out.reserve_tail(bytes);
    out.set_size(bytes);
    std::memcpy(copy, bits, bytes);
    return copy;
}

// A column no row of the batch reaches: every cell null, every buffer zeros
// (offsets, views of length 0 and the validity bitmap alike).
void export_absent(ColumnArrayData& data, std::size_t n, StringLayout layout) {
    // 16 bytes a row covers the views; n + 1 eight-byte words the offsets.
    const std::size_t words = 2 * n + 1;
    std::int64_t* zeros = data.wide_offsets.reserve_tail(words);
    data.wide_offsets.set_size(words);
    std::memset(zeros, 0, words * sizeof(std::int64_t));
    data.buffers[0] = zeros;
    data.buffers[1] = zeros;
    data.buffers[2] = kEmptyBuffer;
    if (layout == StringLayout::kUtf8View) data.buffers[3] = data.data_sizes;
}

// Fills *out with column `column` of the batch; nothing is written to *out
// on failure.
void export_column(const RecordBatch& batch, std::size_t column, StringLayout layout,
                   ArrowArray* out) {
    if (batch.typed != nullptr && batch.typed->columns[column].values.data() != nullptr) {
        export_typed_column(batch, column, out);
        return;
    }
    auto data = std::make_unique<ColumnArrayData>();
    const ColumnChunk c = batch.column(column);
    const bool copied = batch.typed != nullptr;
    if (!copied) data->cells = batch.cells;
    const auto n = static_cast<std::size_t>(c.length());
    const std::int64_t n_buffers = layout == StringLayout::kUtf8View ? 4 : 3;
    if (c.absent()) {
        export_absent(*data, n, layout);
    } else {
        data->buffers[0] = copied ? copy_validity(c, data->validity) : c.validity();
        // Offsets into the whole batch's text where the batch's own width
        // fits the layout; else derived ones into the column's own text.
        const char* own_text = copied ? copy_text(c, data->text) : c.values() + c.first_offset();
        if (layout == StringLayout::kUtf8 && !c.wide() && !copied) {
            data->buffers[1] = c.offsets();
            data->buffers[2] = or_empty(c.values());
        } else if (layout == StringLayout::kUtf8) {
            data->buffers[1] = derive_offsets(c, data->offsets);
            data->buffers[2] = own_text;
        } else if (layout == StringLayout::kLargeUtf8 && c.wide() && !copied) {
            data->buffers[1] = c.wide_offsets();
            data->buffers[2] = or_empty(c.values());
        } else if (layout == StringLayout::kLargeUtf8) {
            data->buffers[1] = derive_offsets(c, data->wide_offsets);
            data->buffers[2] = own_text;
        } else {
            const std::int32_t* offsets = derive_offsets(c, data->offsets);
            derive_views(c, offsets, own_text, data->views);
            data->data_sizes[0] = static_cast<std::int64_t>(c.last_offset() - c.first_offset());
            data->buffers[1] = or_empty(data->views.data());
            data->buffers[2] = or_empty(own_text);
            data->buffers[3] = data->data_sizes;
        }
    }
    *out = ArrowArray{
        .length = c.length(),
        .null_count = c.null_count(),
        .offset = 0,
        .n_buffers = n_buffers,
        .n_children = 0,
        .buffers = data->buffers,
        .children = nullptr,
        .dictionary = nullptr,
        .release = release_column_array,
        .private_data = data.release(),
    };
}

struct StructArrayData {
    std::unique_ptr<ArrowArray[]> columns;
    std::unique_ptr<ArrowArray*[]> pointers;
    const void* buffers[1] = {nullptr};
};

// ---- stream ----

struct StreamData {
    std::shared_ptr<const BatchTable> table;
    ExportPlan plan;
    std::size_t next = 0;
    // A string literal, so it stays valid however often it is read.
    const char* error = nullptr;
};

StreamData& stream_data(ArrowArrayStream* stream) {
    return *static_cast<StreamData*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    StreamData& data = stream_data(stream);
    try {
        export_schema(data.plan, out);
    } catch (const std::bad_alloc&) {
        data.error = "out of memory while exporting the schema";
        return ENOMEM;
    }
    data.error = nullptr;
    return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamData& data = stream_data(stream);
    const std::vector<RecordBatch>& batches = data.table->batches();
    if (data.next == batches.size()) {
        out->release = nullptr;
        data.error = nullptr;
        return 0;
    }
    try {
        export_batch(batches[data.next], data.plan, out);
    } catch (const std::bad_alloc&) {
        data.error = "out of memory while exporting a record batch";
        return ENOMEM;
    }
    ++data.next;
    data.error = nullptr;
    return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) { return stream_data(stream).error; }

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamData*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

ExportPlan default_plan(const BatchTable& table, StringLayout layout) {
    ExportPlan plan;
    plan.names = table.names();
    plan.layouts.resize(table.width());
    for (std::size_t c = 0; c < table.width(); ++c) {
        plan.layouts[c] = table.wide(c) ? StringLayout::kLargeUtf8 : layout;
    }
    plan.types = table.types();
    return plan;
}

ExportPlan requested_plan(const BatchTable& table, const ArrowSchema& requested) {
    ExportPlan plan = default_plan(table);
    // Typed columns keep their types whatever layout a consumer asks for.
    if (!plan.types.empty() || requested.format == nullptr || std::string_view(requested.format) != "+s" ||
        requested.n_children < 0 ||
        static_cast<std::size_t>(requested.n_children) != table.width()) {
        return plan;
    }
    std::vector<StringLayout> layouts(table.width());
    for (std::size_t c = 0; c < table.width(); ++c) {
        const ArrowSchema* field = requested.children[c];
        if (field == nullptr || field->dictionary != nullptr ||
            !layout_of(field->format, layouts[c])) {
            return plan;
        }
    }
    for (std::size_t c = 0; c < table.width(); ++c) {
        if (!table.wide(c)) plan.layouts[c] = layouts[c];
        if (requested.children[c]->name != nullptr) plan.names[c] = requested.children[c]->name;
    }
    return plan;
}

void export_schema(const ExportPlan& plan, ArrowSchema* out) {
    const std::size_t width = plan.layouts.size();
    auto data = std::make_unique<StructSchemaData>();
    data->fields = std::make_unique<ArrowSchema[]>(width);
    data->pointers = std::make_unique<ArrowSchema*[]>(width);
    // Each field gets its name first; only then do the fields own anything,
    // so a failure part way leaks nothing.
    std::vector<std::unique_ptr<FieldSchemaData>> names(width);
    for (std::size_t c = 0; c < width; ++c) {
        const bool typed = c < plan.types.size() && plan.types[c].typed();
        names[c] = std::make_unique<FieldSchemaData>(FieldSchemaData{
            plan.names[c], typed ? typed::arrow_format(plan.types[c])
                                 : std::string(format_of(plan.layouts[c]))});
    }
    for (std::size_t c = 0; c < width; ++c) {
        FieldSchemaData* field = names[c].release();
        data->fields[c] = ArrowSchema{
            .format = field->format.c_str(),
            .name = field->name.c_str(),
            .metadata = nullptr,
            .flags = ARROW_FLAG_NULLABLE,
            .n_children = 0,
            .children = nullptr,
            .dictionary = nullptr,
            .release = release_field_schema,
            .private_data = field,
        };
        data->pointers[c] = &data->fields[c];
    }
    *out = ArrowSchema{
        .format = "+s",
        .name = "",
        .metadata = nullptr,
        .flags = 0,
        .n_children = static_cast<std::int64_t>(width),
        .children = data->pointers.get(),
        .dictionary = nullptr,
        .release = release_parent<ArrowSchema, StructSchemaData>,
        .private_data = data.release(),
    };
}

void export_batch(const RecordBatch& batch, const ExportPlan& plan, ArrowArray* out) {
    const std::size_t width = plan.layouts.size();
    auto data = std::make_unique<StructArrayData>();
    data->columns = std::make_unique<ArrowArray[]>(width);
    data->pointers = std::make_unique<ArrowArray*[]>(width);
    for (std::size_t c = 0; c < width; ++c) {
        data->pointers[c] = &data->columns[c];
        data->columns[c].release = nullptr;
    }
    // Release what was exported so far when a later column fails.
    struct Unwind {
        StructArrayData* data;
        std::size_t width;
        ~Unwind() {
            if (data == nullptr) return;
            for (std::size_t c = 0; c < width; ++c) {
                if (data->columns[c].release != nullptr)
                    data->columns[c].release(&data->columns[c]);
            }
        }
    } unwind{data.get(), width};
    for (std::size_t c = 0; c < width; ++c) {
        export_column(batch, c, plan.layouts[c], &data->columns[c]);
    }
    unwind.data = nullptr;
    *out = ArrowArray{
        .length = batch.rows,
        .null_count = 0,
        .offset = 0,
        .n_buffers = 1,
        .n_children = static_cast<std::int64_t>(width),
        .buffers = data->buffers,
        .children = data->pointers.get(),
        .dictionary = nullptr,
        .release = release_parent<ArrowArray, StructArrayData>,
        .private_data = data.release(),
    };
}

void export_stream(std::shared_ptr<const BatchTable> table, ExportPlan plan,
                   ArrowArrayStream* out) {
    auto data = std::make_unique<StreamData>();
    data->table = std::move(table);
    data->plan = std::move(plan);
    *out = ArrowArrayStream{
        .get_schema = stream_get_schema,
        .get_next = stream_get_next,
        .get_last_error = stream_get_last_error,
        .release = release_stream,
        .private_data = data.release(),
    };
}

}  // namespace quillon::arrow
