#include "utf8_validation.hpp"

#include <cstdint>
#include <cstring>

#include "utf8.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QUILLON_X86 1
#endif

namespace quillon {
namespace {

// Spans shorter than this are checked byte by byte whatever the processor.
constexpr std::size_t kShortSpan = 32;

bool valid_scalar(const unsigned char* p, std::size_t n) noexcept { return valid_utf8_prefix(p, n) == n; }

#ifdef QUILLON_X86

// Each byte is classified by three 16-entry tables: the high nibble of the
// byte before it, that byte's low nibble, and its own high nibble. A bit set
// in all three names an error that the pair of bytes shows (an ASCII byte
// or lead byte too early, a continuation too many, an overlong form, a
// surrogate, a code point above U+10FFFF); what a pair cannot show, whether
// a third or fourth byte is a continuation where one is needed, comes from
// the bytes two and three back.
constexpr std::uint8_t kTooShort = 1 << 0;   // lead or ASCII, then a lead or ASCII
constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII, then a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0..C1 then a continuation
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;      // a continuation after a continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i table(const std::uint8_t (&t)[16]) noexcept {
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(half);
}

constexpr std::uint8_t kByte1High[16] = {
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    kTooShort | kOverlong2,
    kTooShort,
    kTooShort | kOverlong3 | kSurrogate,
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4,
};
constexpr std::uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,
    kCarry | kOverlong2,
    kCarry,
    kCarry,
    kCarry | kTooLarge,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
    kCarry | kTooLarge | kTooLarge1000,
    kCarry | kTooLarge | kTooLarge1000,
};
constexpr std::uint8_t kByte2High[16] = {
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort, kTooShort, kTooShort, kTooShort,
};

struct Avx2Validator {
    __m256i byte1_high, byte1_low, byte2_high, low_nibble, incomplete_limit;
    __m256i error = _mm256_setzero_si256();
    __m256i previous = _mm256_setzero_si256();
    // Lead bytes at the end of the previous chunk still waiting for their
    // continuations.
    __m256i previous_incomplete = _mm256_setzero_si256();

    __attribute__((target("avx2"))) Avx2Validator() noexcept
        : byte1_high(table(kByte1High)),
          byte1_low(table(kByte1Low)),
          byte2_high(table(kByte2High)),
          low_nibble(_mm256_set1_epi8(0x0F)),
          // Above these, a byte in one of the last three places is a lead
          // whose sequence runs past the chunk: F0 and up, E0 and up, C0 and up.
          incomplete_limit(_mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            static_cast<char>(0xEF), static_cast<char>(0xDF),
                                            static_cast<char>(0xBF))) {}

    // The chunk's bytes shifted by n places, with the last n of the
    // previous chunk in front.
    template <int kN>
    __attribute__((target("avx2"))) __m256i before(__m256i input) const noexcept {
        return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - kN);
    }

    __attribute__((target("avx2"))) void add(__m256i input) noexcept {
        if (_mm256_movemask_epi8(input) == 0) {
            // All ASCII: only a sequence left open before it is wrong.
            error = _mm256_or_si256(error, previous_incomplete);
            previous_incomplete = _mm256_setzero_si256();
            previous = input;
            return;
        }
        const __m256i prev1 = before<1>(input);
        const __m256i high1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble);
        const __m256i low1 = _mm256_and_si256(prev1, low_nibble);
        const __m256i high2 = _mm256_and_si256(_mm256_srli_epi16(input, 4), low_nibble);
        const __m256i special = _mm256_and_si256(
            _mm256_and_si256(_mm256_shuffle_epi8(byte1_high, high1), _mm256_shuffle_epi8(byte1_low, low1)),
            _mm256_shuffle_epi8(byte2_high, high2));
        // A byte two places after a lead of E0 and up, or three after one of
        // F0 and up, must be a continuation: its 0x80 bit says so, and the
        // pair check has marked every continuation after a continuation.
        const __m256i third = _mm256_subs_epu8(before<2>(input), _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
        const __m256i fourth = _mm256_subs_epu8(before<3>(input), _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
        const __m256i must_continue =
            _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));
        previous_incomplete = _mm256_subs_epu8(input, incomplete_limit);
        previous = input;
    }

    __attribute__((target("avx2"))) bool valid() const noexcept {
        const __m256i all = _mm256_or_si256(error, previous_incomplete);
        return _mm256_testz_si256(all, all) != 0;
    }
};

__attribute__((target("avx2"))) bool valid_avx2(const unsigned char* p, std::size_t n) noexcept {
    Avx2Validator v;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) v.add(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    if (i < n) {
        // The last bytes with NULs after them: ASCII, so a sequence cut off
        // by the span's end shows as one too short.
        alignas(32) unsigned char tail[32] = {};
        std::memcpy(tail, p + i, n - i);
        v.add(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    }
    return v.valid();
}

#endif

Utf8ValidatorFn choose_validator() noexcept {
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return valid_avx2;
#endif
    return valid_scalar;
}

}  // namespace

bool is_valid_utf8(const unsigned char* p, std::size_t n) noexcept {
    if (n >= kShortSpan) {
        static const Utf8ValidatorFn fn = choose_validator();
        return fn(p, n);
    }
    // A short span, a typical field, is done sooner byte by byte than by
    // setting up the tables and copying out its tail. ASCII, two bytes, and
    // three bytes whose lead puts no limit on the second (E1..EC, EE, EF:
    // most of the BMP, CJK included) are decided here; anything else by the
    // full check.
    const unsigned char* const end = p + n;
    while (p != end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        const std::ptrdiff_t left = end - p;
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE1 && c <= 0xEF && c != 0xED) {
            if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            p += 3;
        } else {
            return valid_scalar(p, static_cast<std::size_t>(left));
        }
    }
    return true;
}

std::vector<Utf8ValidatorFn> utf8_validator_implementations() {
    std::vector<Utf8ValidatorFn> fns{valid_scalar};
#ifdef QUILLON_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) fns.push_back(valid_avx2);
#endif
    return fns;
}

}  // namespace quillon
