#include "sha256.h"

#include <QCryptographicHash>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARVEX_SHA_EXTENSIONS 1
#endif

namespace tarvex {

struct Sha256::Portable {
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

#ifdef TARVEX_SHA_EXTENSIONS
namespace {

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Runs the compression function over `blocks` blocks of 64 bytes. The instructions keep the
// working variables as two vectors, ABEF and CDGH (highest element first), and do two rounds
// at a time; the message schedule is kept as four vectors of four words each.
__attribute__((target("sha,sse4.1"))) void Compress(std::uint32_t state[8], const unsigned char* data,
                                                    std::size_t blocks) {
    const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i savedAbef = abef, savedCdgh = cdgh;
        __m128i w[4];
        for (int group = 0; group < 16; ++group) {
            __m128i& words = w[group % 4];
            if (group < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), bigEndian);
            } else {
                // W[t] = σ1(W[t-2]) + W[t-7] + σ0(W[t-15]) + W[t-16] for the group's four t.
                const __m128i minus7 = _mm_alignr_epi8(w[(group + 3) % 4], w[(group + 2) % 4], 4);
                words = _mm_add_epi32(_mm_sha256msg1_epu32(words, w[(group + 1) % 4]), minus7);
                words = _mm_sha256msg2_epu32(words, w[(group + 3) % 4]);
            }
            __m128i message =
                _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

bool Sha256::Accelerated() {
    static const bool has = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return has;
}
#else
bool Sha256::Accelerated() { return false; }
namespace {
void Compress(std::uint32_t*, const unsigned char*, std::size_t) {}
}  // namespace
#endif

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {
    if (!Accelerated()) portable_ = std::make_unique<Portable>();
}

Sha256::~Sha256() = default;

void Sha256::Add(const char* data, std::size_t size) {
    if (portable_) {
        portable_->hash.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
        return;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t taken = std::min(size, sizeof pending_ - pendingSize_);
        std::memcpy(pending_ + pendingSize_, bytes, taken);
        pendingSize_ += taken;
        bytes += taken;
        size -= taken;
        if (pendingSize_ < sizeof pending_) return;
        Compress(state_, pending_, 1);
        pendingSize_ = 0;
    }
    Compress(state_, bytes, size / 64);
    pendingSize_ = size % 64;
    std::memcpy(pending_, bytes + size - pendingSize_, pendingSize_);
}

std::string Sha256::Hex() {
    if (portable_) return portable_->hash.result().toHex().toStdString();
    // The padding: a one bit, zeros up to 8 bytes short of a block's end, the length in bits.
    const std::uint64_t bits = total_ * 8;
    unsigned char tail[72] = {0x80};
    const std::size_t zeros = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i) tail[zeros + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(reinterpret_cast<const char*>(tail), zeros + 8);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint32_t word : state_)
        for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(word >> shift) & 0xF];
    return hex;
}

}  // namespace tarvex
