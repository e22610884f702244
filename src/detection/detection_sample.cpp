#include "detection_sample.hpp"

#include <algorithm>

#include "engine/scan.hpp"

namespace quillon {

std::string_view detection_sample(std::string_view buffer) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(buffer.data());
    const std::size_t limit = std::min(buffer.size(), kSampleBytes);
    const ByteSet4 breaks{{'\n', '\r', '\n', '\r'}};
    std::size_t pos = 0;
    for (std::size_t lines = 0; lines < kSampleLines; ++lines) {
        // A CR LF may straddle the byte bound.
        if (pos >= limit) return buffer.substr(0, pos);
        const std::size_t at = find_first_of(p, pos, limit, breaks);
        if (at >= limit) return buffer.substr(0, limit);
        pos = at + 1;
        if (p[at] == '\r' && pos < buffer.size() && p[pos] == '\n') ++pos;
    }
    return buffer.substr(0, pos);
}

std::size_t tail_sample_start(std::string_view buffer) noexcept {
    if (buffer.size() <= kTailBytes) return 0;
    std::size_t at = buffer.find_first_of("\r\n", buffer.size() - kTailBytes);
    if (at == std::string_view::npos) return buffer.size();
    ++at;
    if (buffer[at - 1] == '\r' && at < buffer.size() && buffer[at] == '\n') ++at;
    return at;
}

}  // namespace quillon
