#include "types/hashing.hpp"

#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

namespace veldrin {

namespace {

// The digest is fetched once and its context reused: every entry runs under
// the interpreter lock and no Python code runs while a digest is computed.
struct Sha256 {
    EVP_MD* md = nullptr;
    EVP_MD_CTX* ctx = nullptr;
    Sha256() {
        md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        ctx = EVP_MD_CTX_new();
    }
    ~Sha256() {
        EVP_MD_CTX_free(ctx);
        EVP_MD_free(md);
    }
};

Sha256& sha() {
    static Sha256 s;
    if (!s.md || !s.ctx) throw std::runtime_error("SHA-256 is not available");
    return s;
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

}  // namespace

Digest sha256_digest(std::string_view a, std::string_view b, std::string_view c,
                     std::string_view d) {
    Sha256& s = sha();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    bool ok = EVP_DigestInit_ex2(s.ctx, s.md, nullptr) == 1;
    for (std::string_view piece : {a, b, c, d}) {
        if (ok && !piece.empty()) ok = EVP_DigestUpdate(s.ctx, piece.data(), piece.size()) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(s.ctx, digest, &len) == 1 && len == 32;
    if (!ok) throw std::runtime_error("SHA-256 computation failed");
    Digest result;
    std::memcpy(result.bytes, digest, 32);
    return result;
}

bool Digest::operator==(const Digest& o) const noexcept {
    return std::memcmp(bytes, o.bytes, 32) == 0;
}

namespace {
// The two hex digits of every byte value.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        const char digits[] = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            text[2 * b] = digits[b >> 4];
            text[2 * b + 1] = digits[b & 15];
        }
    }
};
constexpr HexPairs hex_pairs;
}  // namespace

void Digest::write_hex(char* out) const noexcept {
    for (int i = 0; i < 32; ++i) std::memcpy(out + 2 * i, hex_pairs.text + 2 * bytes[i], 2);
}

Uid Digest::uid() const noexcept {
    Uid uid;
    write_hex(uid.hex);
    return uid;
}

namespace {
// One SipRound over the four state words.
inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2,
                      std::uint64_t& v3) noexcept {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
}
}  // namespace

void SipHasher::compress(std::uint64_t m) noexcept {
    v3_ ^= m;
    sip_round(v0_, v1_, v2_, v3_);  // one compression round: the "1" of SipHash-1-3
    v0_ ^= m;
}

void SipHasher::write(const void* data, size_t len) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    total_ += len;
    for (size_t i = 0; i < len; ++i) {
        tail_ |= static_cast<std::uint64_t>(p[i]) << (8 * ntail_);
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
}

void SipHasher::tag(std::uint64_t t) noexcept {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(t >> (8 * i));
    write(bytes, 8);
}

std::int64_t SipHasher::finish() const noexcept {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    std::uint64_t b = (total_ << 56) | tail_;
    v3 ^= b;
    sip_round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < 3; ++i) sip_round(v0, v1, v2, v3);  // the "3": finalisation rounds
    auto h = static_cast<std::int64_t>(v0 ^ v1 ^ v2 ^ v3);
    return h == -1 ? -2 : h;
}

}  // namespace veldrin
