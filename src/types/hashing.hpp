// The two digests of the type system: SHA-256 for identifiers (OpenSSL's
// libcrypto) and SipHash-1-3 with an all-zero key for Python hashes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veldrin {

// A UID: 64 lowercase hexadecimal characters.
struct Uid {
    char hex[64];
    std::string_view view() const noexcept { return std::string_view(hex, 64); }
    std::string str() const { return std::string(hex, 64); }
    bool operator==(const Uid& o) const noexcept { return view() == o.view(); }
};

// A SHA-256 digest as it is kept: 32 bytes; its UID is their hex form.
struct Digest {
    unsigned char bytes[32];
    bool operator==(const Digest& o) const noexcept;
    Uid uid() const noexcept;
    // Writes the 64 characters of the UID.
    void write_hex(char* out) const noexcept;
};

// SHA-256 over the concatenation of the given pieces.
Digest sha256_digest(std::string_view a, std::string_view b = {}, std::string_view c = {},
                     std::string_view d = {});

// SipHash-1-3, 128-bit key of zero bits, fed incrementally.
class SipHasher {
public:
    void write(const void* data, size_t len) noexcept;
    // A text: its UTF-8 bytes followed by one byte 0xFF.
    void text(std::string_view s) noexcept {
        write(s.data(), s.size());
        const unsigned char ff = 0xFF;
        write(&ff, 1);
    }
    // A tag: eight bytes, little-endian.
    void tag(std::uint64_t t) noexcept;
    // The signed result, -1 replaced by -2 (a Python hash).
    std::int64_t finish() const noexcept;

private:
    std::uint64_t v0_ = 0x736f6d6570736575ULL, v1_ = 0x646f72616e646f6dULL,
                  v2_ = 0x6c7967656e657261ULL, v3_ = 0x7465646279746573ULL;
    std::uint64_t tail_ = 0;  // pending bytes, little-endian
    unsigned ntail_ = 0;
    std::uint64_t total_ = 0;
    void compress(std::uint64_t m) noexcept;
};

}  // namespace veldrin
