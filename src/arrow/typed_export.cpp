#include "typed_export.hpp"

#include <memory>

#include "typed_columns.hpp"

namespace quillon::arrow {

namespace {

struct TypedArrayData {
    std::shared_ptr<const TypedCells> cells;
    const void* buffers[2] = {nullptr, nullptr};
};

void release_typed_array(ArrowArray* array) {
    delete static_cast<TypedArrayData*>(array->private_data);
    array->release = nullptr;
}

}  // namespace

void export_typed_column(const RecordBatch& batch, std::size_t column, ArrowArray* out) {
    auto data = std::make_unique<TypedArrayData>();
    data->cells = batch.typed;
    const TypedArray& array = batch.typed->columns[column];
    data->buffers[0] = array.validity.empty() ? nullptr : array.validity.data();
    data->buffers[1] = array.values.data();
    *out = ArrowArray{
        .length = batch.rows,
        .null_count = array.null_count,
        .offset = 0,
        .n_buffers = 2,
        .n_children = 0,
        .buffers = data->buffers,
        .children = nullptr,
        .dictionary = nullptr,
        .release = release_typed_array,
        .private_data = data.release(),
    };
}

}  // namespace quillon::arrow
