#include "structural_index.hpp"

#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLON_X86 1
#endif

namespace quillon {
namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

std::uint64_t prefix_xor_shifts(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

BlockClasses classify_portable(const unsigned char* p, std::uint8_t delimiter,
                               std::uint8_t quote) noexcept {
    BlockClasses c{};
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned char b = p[i];
        const std::uint64_t bit = std::uint64_t{1} << i;
        c.quote |= b == quote ? bit : 0;
        c.delimiter |= b == delimiter ? bit : 0;
        c.cr |= b == kCR ? bit : 0;
        c.lf |= b == kLF ? bit : 0;
        c.high |= b >= 0x80 ? bit : 0;
    }
    c.inside = prefix_xor_shifts(c.quote);
    return c;
}

#ifdef QUILLON_X86
std::uint64_t mask16(__m128i eq, unsigned k) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(eq))) << (16 * k);
}

BlockClasses classify_sse2(const unsigned char* p, std::uint8_t delimiter,
                           std::uint8_t quote) noexcept {
    const __m128i q = _mm_set1_epi8(static_cast<char>(quote));
    const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
    const __m128i cr = _mm_set1_epi8(static_cast<char>(kCR));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(kLF));
    BlockClasses c{};
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        c.quote |= mask16(_mm_cmpeq_epi8(x, q), k);
        c.delimiter |= mask16(_mm_cmpeq_epi8(x, d), k);
        c.cr |= mask16(_mm_cmpeq_epi8(x, cr), k);
        c.lf |= mask16(_mm_cmpeq_epi8(x, lf), k);
        c.high |= mask16(x, k);
    }
    c.inside = prefix_xor_shifts(c.quote);
    return c;
}

// The helpers are inlined into the function below, so no AVX vector
// crosses a call.
[[gnu::always_inline]] inline __attribute__((target("avx2"))) std::uint64_t mask32(
    __m256i lo, __m256i hi) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
           (static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32);
}

[[gnu::always_inline]] inline __attribute__((target("avx2"))) std::uint64_t equal32(
    __m256i lo, __m256i hi, unsigned char b) noexcept {
    const __m256i v = _mm256_set1_epi8(static_cast<char>(b));
    return mask32(_mm256_cmpeq_epi8(lo, v), _mm256_cmpeq_epi8(hi, v));
}

__attribute__((target("avx2,pclmul"))) BlockClasses classify_avx2(const unsigned char* p,
                                                                  std::uint8_t delimiter,
                                                                  std::uint8_t quote) noexcept {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    BlockClasses c;
    c.quote = equal32(lo, hi, quote);
    c.delimiter = equal32(lo, hi, delimiter);
    c.cr = equal32(lo, hi, kCR);
    c.lf = equal32(lo, hi, kLF);
    c.high = mask32(lo, hi);
    // Carry-less multiplication by all ones: bit i is the XOR of bits 0..i.
    const __m128i product = _mm_clmulepi64_si128(
        _mm_set_epi64x(0, static_cast<long long>(c.quote)), _mm_set1_epi8(-1), 0);
    c.inside = static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
    return c;
}
#endif

ClassifyFn choose_classify() noexcept {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul")) return classify_avx2;
    return classify_sse2;
#else
    return classify_portable;
#endif
}

}  // namespace

ClassifyFn classify_function() noexcept {
    static const ClassifyFn fn = choose_classify();
    return fn;
}

std::vector<ClassifyFn> classify_implementations() {
    std::vector<ClassifyFn> fns{classify_portable};
#ifdef QUILLON_X86
    fns.push_back(classify_sse2);
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul")) {
        fns.push_back(classify_avx2);
    }
#endif
    return fns;
}

StructuralIndex::StructuralIndex(const unsigned char* data, std::size_t size,
                                 std::uint8_t delimiter, std::uint8_t quote) noexcept
    : data_(data),
      size_(size),
      delimiter_(delimiter),
      quote_(quote),
      classify_(classify_function()) {
    for (unsigned b = 0; b < 256; ++b) {
        const bool stop = b == quote || b == delimiter || b == kCR || b == kLF;
        next_byte_[b] = static_cast<std::uint8_t>((stop ? 1 : 0) | (b == kLF ? 2 : 0));
    }
}

void StructuralIndex::load(std::size_t base) noexcept {
    base_ = base;
    if (size_ - base >= 64) {
        classes_ = classify_(data_ + base, delimiter_, quote_);
        return;
    }
    // The last, partial block: a copy padded with a byte that is none of
    // the classified ones, so that the padding sets no bit.
    unsigned char pad = 0;
    while (pad == delimiter_ || pad == quote_) ++pad;
    unsigned char tail[64];
    std::memset(tail, pad, sizeof tail);
    std::memcpy(tail, data_ + base, size_ - base);
    classes_ = classify_(tail, delimiter_, quote_);
}

void StructuralIndex::derive(std::uint64_t inside_flip, std::uint64_t starts) noexcept {
    const BlockClasses c = classes_;
    const std::uint64_t inside = c.inside ^ inside_flip;
    const std::uint64_t breaks = c.cr | c.lf;
    const std::uint64_t ends = (c.delimiter | breaks) & ~inside;
    const std::uint64_t field_starts = (ends << 1) | carries_.end | starts;
    const std::uint64_t opens = c.quote & inside;
    const std::uint64_t closes = c.quote & ~inside;
    // What the byte after each byte is, the next block's first byte included
    // (nothing follows the buffer's last byte).
    const std::uint64_t next = size_ - base_ > 64 ? next_byte_[data_[base_ + 64]] : 0;
    const std::uint64_t followed = ((c.quote | c.delimiter | breaks) >> 1) | (next << 63);
    const std::uint64_t lf_after = (c.lf >> 1) | ((next >> 1) << 63);
    const std::uint64_t second_of_pair = (closes << 1) | carries_.close;
    irregular_ = (opens & ~field_starts & ~second_of_pair) | (closes & ~followed) |
                 (breaks & inside) | (c.cr & ~lf_after);
    ends_ = ends;
    carries_ = Carries{inside >> 63, ends >> 63, closes >> 63};
}

void StructuralIndex::start_at(std::size_t from) noexcept {
    const std::size_t base = from & ~std::size_t{63};
    // Records follow each other inside a block: its classes serve them all.
    if (base != base_ || !loaded_) {
        load(base);
        loaded_ = true;
    }
    const unsigned offset = static_cast<unsigned>(from - base);
    const std::uint64_t below = (std::uint64_t{1} << offset) - 1;
    const bool odd = (__builtin_popcountll(classes_.quote & below) & 1) != 0;
    carries_ = Carries{};
    derive(odd ? ~std::uint64_t{0} : 0, std::uint64_t{1} << offset);
    ends_ &= ~below;
    irregular_ &= ~below;
}

bool StructuralIndex::advance() noexcept {
    const std::size_t next = base_ + 64;
    if (next >= size_) return false;
    load(next);
    derive(0 - carries_.inside, 0);
    return true;
}

}  // namespace quillon
