#include "scan.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLON_X86 1
#endif

namespace quillon {
namespace {

BlockMasks block_mask_portable(const unsigned char* p, const ByteSet4& set) noexcept {
    std::uint64_t m = 0;
    std::uint64_t h = 0;
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned char c = p[i];
        const bool hit = c == set.bytes[0] || c == set.bytes[1] || c == set.bytes[2] || c == set.bytes[3];
        m |= static_cast<std::uint64_t>(hit) << i;
        h |= static_cast<std::uint64_t>(c >> 7) << i;
    }
    return BlockMasks{m, h};
}

#ifdef QUILLON_X86
BlockMasks block_mask_sse2(const unsigned char* p, const ByteSet4& set) noexcept {
    const __m128i a = _mm_set1_epi8(static_cast<char>(set.bytes[0]));
    const __m128i b = _mm_set1_epi8(static_cast<char>(set.bytes[1]));
    const __m128i c = _mm_set1_epi8(static_cast<char>(set.bytes[2]));
    const __m128i d = _mm_set1_epi8(static_cast<char>(set.bytes[3]));
    std::uint64_t m = 0;
    std::uint64_t h = 0;
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(x, b)),
                                        _mm_or_si128(_mm_cmpeq_epi8(x, c), _mm_cmpeq_epi8(x, d)));
        m |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(eq))) << (16 * k);
        h |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(x))) << (16 * k);
    }
    return BlockMasks{m, h};
}

__attribute__((target("avx2"))) BlockMasks block_mask_avx2(const unsigned char* p,
                                                           const ByteSet4& set) noexcept {
    const __m256i a = _mm256_set1_epi8(static_cast<char>(set.bytes[0]));
    const __m256i b = _mm256_set1_epi8(static_cast<char>(set.bytes[1]));
    const __m256i c = _mm256_set1_epi8(static_cast<char>(set.bytes[2]));
    const __m256i d = _mm256_set1_epi8(static_cast<char>(set.bytes[3]));
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const __m256i eq_lo =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(lo, a), _mm256_cmpeq_epi8(lo, b)),
                        _mm256_or_si256(_mm256_cmpeq_epi8(lo, c), _mm256_cmpeq_epi8(lo, d)));
    const __m256i eq_hi =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(hi, a), _mm256_cmpeq_epi8(hi, b)),
                        _mm256_or_si256(_mm256_cmpeq_epi8(hi, c), _mm256_cmpeq_epi8(hi, d)));
    const std::uint64_t high =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32);
    const std::uint64_t match =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(eq_lo)) |
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(eq_hi))) << 32);
    return BlockMasks{match, high};
}
#endif

template <BlockMasks (*kMasks)(const unsigned char*, const ByteSet4&) noexcept>
BlockSkip skip_blocks(const unsigned char* data, std::size_t base, std::size_t size,
                      const ByteSet4& set) noexcept {
    bool high = false;
    for (; size - base >= 64; base += 64) {
        const BlockMasks m = kMasks(data + base, set);
        if (m.match != 0) return BlockSkip{base, m, high, true};
        high = high || m.high != 0;
    }
    return BlockSkip{base, BlockMasks{0, 0}, high, false};
}

#ifdef QUILLON_X86
// The set bytes broadcast once, and only the test for a set byte in the
// loop: the masks are computed for the block where it stops.
__attribute__((target("avx2"))) BlockSkip block_skip_avx2(const unsigned char* data,
                                                          std::size_t base, std::size_t size,
                                                          const ByteSet4& set) noexcept {
    const __m256i a = _mm256_set1_epi8(static_cast<char>(set.bytes[0]));
    const __m256i b = _mm256_set1_epi8(static_cast<char>(set.bytes[1]));
    const __m256i c = _mm256_set1_epi8(static_cast<char>(set.bytes[2]));
    const __m256i d = _mm256_set1_epi8(static_cast<char>(set.bytes[3]));
    __m256i high = _mm256_setzero_si256();
    for (; size - base >= 64; base += 64) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + base));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + base + 32));
        const __m256i eq = _mm256_or_si256(
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(lo, a), _mm256_cmpeq_epi8(lo, b)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(lo, c), _mm256_cmpeq_epi8(lo, d))),
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(hi, a), _mm256_cmpeq_epi8(hi, b)),
                            _mm256_or_si256(_mm256_cmpeq_epi8(hi, c), _mm256_cmpeq_epi8(hi, d))));
        if (!_mm256_testz_si256(eq, eq)) {
            const bool passed_high = _mm256_movemask_epi8(high) != 0;
            return BlockSkip{base, block_mask_avx2(data + base, set), passed_high, true};
        }
        high = _mm256_or_si256(high, _mm256_or_si256(lo, hi));
    }
    return BlockSkip{base, BlockMasks{0, 0}, _mm256_movemask_epi8(high) != 0, false};
}
#endif

LineMasks line_masks_portable(const unsigned char* p, unsigned char quote,
                              unsigned char delimiter) noexcept {
    LineMasks m{0, 0, 0, 0};
    for (unsigned i = 0; i < 64; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (p[i] == quote) m.quote |= bit;
        if (p[i] == delimiter) m.delimiter |= bit;
        if (p[i] == '\r') m.cr |= bit;
        if (p[i] == '\n') m.lf |= bit;
    }
    return m;
}

#ifdef QUILLON_X86
LineMasks line_masks_sse2(const unsigned char* p, unsigned char quote, unsigned char delimiter) noexcept {
    const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
    const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const auto bits = [](__m128i eq, unsigned k) {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(eq))) << (16 * k);
    };
    LineMasks m{0, 0, 0, 0};
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        m.quote |= bits(_mm_cmpeq_epi8(x, q), k);
        m.delimiter |= bits(_mm_cmpeq_epi8(x, d), k);
        m.cr |= bits(_mm_cmpeq_epi8(x, cr), k);
        m.lf |= bits(_mm_cmpeq_epi8(x, lf), k);
    }
    return m;
}

__attribute__((target("avx2"))) LineMasks line_masks_avx2(const unsigned char* p, unsigned char quote,
                                                          unsigned char delimiter) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto bits = [&](char b) __attribute__((target("avx2"))) {
        const __m256i v = _mm256_set1_epi8(b);
        const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, v)));
        const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, v)));
        return (static_cast<std::uint64_t>(high) << 32) | low;
    };
    return LineMasks{bits(static_cast<char>(quote)), bits(static_cast<char>(delimiter)), bits('\r'),
                     bits('\n')};
}
#endif

LineMasksFn choose_line_masks() noexcept {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return line_masks_avx2;
    return line_masks_sse2;
#else
    return line_masks_portable;
#endif
}

BlockSkipFn choose_block_skip() noexcept {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return block_skip_avx2;
    return skip_blocks<block_mask_sse2>;
#else
    return skip_blocks<block_mask_portable>;
#endif
}

BlockMaskFn choose_block_mask() noexcept {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return block_mask_avx2;
    return block_mask_sse2;
#else
    return block_mask_portable;
#endif
}

}  // namespace

BlockMaskFn block_mask_function() noexcept {
    static const BlockMaskFn fn = choose_block_mask();
    return fn;
}

std::vector<BlockMaskFn> block_mask_implementations() {
    std::vector<BlockMaskFn> fns{block_mask_portable};
#ifdef QUILLON_X86
    fns.push_back(block_mask_sse2);
    if (__builtin_cpu_supports("avx2")) fns.push_back(block_mask_avx2);
#endif
    return fns;
}

LineMasksFn line_masks_function() noexcept {
    static const LineMasksFn fn = choose_line_masks();
    return fn;
}

std::vector<LineMasksFn> line_masks_implementations() {
    std::vector<LineMasksFn> fns{line_masks_portable};
#ifdef QUILLON_X86
    fns.push_back(line_masks_sse2);
    if (__builtin_cpu_supports("avx2")) fns.push_back(line_masks_avx2);
#endif
    return fns;
}

BlockSkipFn block_skip_function() noexcept {
    static const BlockSkipFn fn = choose_block_skip();
    return fn;
}

std::vector<BlockSkipFn> block_skip_implementations() {
    std::vector<BlockSkipFn> fns{skip_blocks<block_mask_portable>};
#ifdef QUILLON_X86
    fns.push_back(skip_blocks<block_mask_sse2>);
    if (__builtin_cpu_supports("avx2")) fns.push_back(block_skip_avx2);
#endif
    return fns;
}

BlockScanner::Skipped BlockScanner::skip(std::size_t base) noexcept {
    const ScanTarget& t = *target_;
    const BlockSkip found = t.skip_fn(t.data, base, t.size, t.set);
    const bool passed_high = found.passed_high;
    BlockMasks m = found.masks;
    if (!found.found) {
        // The last block: the partial one, or else the last full one, which
        // holds no set byte.
        if (found.base == t.size) {
            base = found.base - 64;
            m = t.mask_fn(t.data + base, t.set);
        } else {
            base = found.base;
            m = tail_masks(t, base);
        }
    } else {
        base = found.base;
    }
    base_ = base;
    match_ = m.match;
    high_ = m.high;
    return Skipped{base, passed_high};
}

BlockMasks BlockScanner::tail_masks(const ScanTarget& t, std::size_t base) noexcept {
    // The last, partial block: scan a zero-padded copy and drop the padding's
    // bits, since NUL may well be one of the set bytes.
    unsigned char tail[64] = {};
    const std::size_t len = t.size - base;
    std::memcpy(tail, t.data + base, len);
    const std::uint64_t valid = (std::uint64_t{1} << len) - 1;
    const BlockMasks m = t.mask_fn(tail, t.set);
    return BlockMasks{m.match & valid, m.high & valid};
}

std::size_t find_first_of(const unsigned char* data, std::size_t from, std::size_t size,
                          const ByteSet4& set) noexcept {
    const BlockMaskFn fn = block_mask_function();
    std::size_t i = from;
    while (size - i >= 64) {
        const std::uint64_t m = fn(data + i, set).match;
        if (m != 0) return i + static_cast<std::size_t>(__builtin_ctzll(m));
        i += 64;
    }
    for (; i < size; ++i) {
        const unsigned char c = data[i];
        if (c == set.bytes[0] || c == set.bytes[1] || c == set.bytes[2] || c == set.bytes[3]) return i;
    }
    return size;
}

std::size_t count_byte(const unsigned char* p, std::size_t n, unsigned char b) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
#ifdef QUILLON_X86
    // Each match subtracts one (a compare's all-ones byte) from a byte
    // counter, and the counters are summed before any of them can wrap.
    const __m128i target = _mm_set1_epi8(static_cast<char>(b));
    while (n - i >= 16) {
        const std::size_t chunks = std::min<std::size_t>((n - i) / 16, 255);
        __m128i counters = _mm_setzero_si128();
        for (std::size_t k = 0; k < chunks; ++k, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(x, target));
        }
        const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i < n; ++i) count += p[i] == b ? 1 : 0;
    return count;
}

bool has_high_byte(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t acc = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & 0x8080808080808080ULL) != 0;
}

}  // namespace quillon
