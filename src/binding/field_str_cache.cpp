#include "field_str_cache.hpp"

#include <new>

namespace quillon::binding {

void FieldStrCache::Column::next_phase() noexcept {
    if (looking_ && hits_ < kMinHits) {
        // The kept strs go with the window that found them rarely used.
        looking_ = false;
        if (table_ != nullptr) {
            for (Entry& entry : *table_) entry = Entry{};
        }
    } else {
        looking_ = true;
    }
    hits_ = 0;
    // The table is made when the column is first looked up in; without the
    // memory for it the column goes uncached, as if its hit rate were low.
    if (looking_ && table_ == nullptr) table_.reset(new (std::nothrow) Table());
    if (table_ == nullptr) looking_ = false;
    remaining_ = looking_ ? kWindow : kPause;
}

}  // namespace quillon::binding
