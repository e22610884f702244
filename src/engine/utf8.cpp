#include "utf8.hpp"

#include <cstring>

namespace quillon {
namespace {

// Examines the sequence starting at p (n >= 1 bytes available). Returns how
// many bytes it spans: the whole character when well-formed, else the maximal
// ill-formed subpart (at least 1), which becomes one U+FFFD.
std::size_t scan_sequence(const unsigned char* p, std::size_t n, bool& well_formed) noexcept {
    const unsigned char lead = p[0];
    well_formed = false;
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead < 0x80) {
        well_formed = true;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    std::size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= n) return i;
        const unsigned char c = p[i];
        if (c < lo || c > hi) return i;
        lo = 0x80;
        hi = 0xBF;
    }
    well_formed = true;
    return i;
}

}  // namespace

std::size_t valid_utf8_prefix(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n) {
        // ASCII eight bytes at a time, from any offset; the first byte of
        // 0x80 or above is found in the word that holds it.
        while (n - i >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t high = w & 0x8080808080808080ULL;
            if (high == 0) {
                i += 8;
                continue;
            }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            i += static_cast<std::size_t>(__builtin_ctzll(high)) / 8;
#else
            while (p[i] < 0x80) ++i;
#endif
            break;
        }
        while (i < n && p[i] < 0x80) ++i;
        if (i >= n) break;
        // A two-byte sequence, the commonest outside ASCII, needs no table.
        const unsigned char lead = p[i];
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (n - i < 2 || (p[i + 1] & 0xC0) != 0x80) return i;
            i += 2;
            continue;
        }
        bool ok;
        const std::size_t len = scan_sequence(p + i, n - i, ok);
        if (!ok) return i;
        i += len;
    }
    return n;
}

std::size_t decode_utf8_lossy(const unsigned char* src, std::size_t n, char* dst) noexcept {
    std::size_t out = 0;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t valid = valid_utf8_prefix(src + i, n - i);
        std::memcpy(dst + out, src + i, valid);
        out += valid;
        i += valid;
        if (i >= n) break;
        bool ok;
        i += scan_sequence(src + i, n - i, ok);
        dst[out++] = static_cast<char>(0xEF);
        dst[out++] = static_cast<char>(0xBF);
        dst[out++] = static_cast<char>(0xBD);
    }
    return out;
}

}  // namespace quillon
