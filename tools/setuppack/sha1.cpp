#include "sha1.h"

#include <string.h>

namespace {

uint32_t Rotate(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void Compress(uint32_t (&state)[5], const uint8_t* block)
{
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
        w[t] = static_cast<uint32_t>(block[4 * t]) << 24 | static_cast<uint32_t>(block[4 * t + 1]) << 16 |
               static_cast<uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
    }
    for (int t = 16; t < 80; ++t) {
        w[t] = Rotate(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f = 0;
        uint32_t k = 0;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t next = Rotate(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = Rotate(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

void Sha1Start(Sha1* sha)
{
    static const uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    memcpy(sha->state, initial, sizeof(initial));
    sha->length = 0;
    sha->blockUsed = 0;
}

void Sha1Add(Sha1* sha, const void* data, size_t size)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    sha->length += size;
    while (size > 0) {
        const size_t take = size < sizeof(sha->block) - sha->blockUsed ? size : sizeof(sha->block) - sha->blockUsed;
        memcpy(sha->block + sha->blockUsed, bytes, take);
        sha->blockUsed += take;
        bytes += take;
        size -= take;
        if (sizeof(sha->block) == sha->blockUsed) {
            Compress(sha->state, sha->block);
            sha->blockUsed = 0;
        }
    }
}

void Sha1Finish(Sha1* sha, uint8_t (&digest)[SHA1_DIGEST_BYTES])
{
    const uint64_t bits = sha->length * 8;
    const uint8_t one = 0x80;
    const uint8_t zero = 0;
    Sha1Add(sha, &one, 1);
    while (56 != sha->blockUsed) {
        Sha1Add(sha, &zero, 1);
    }
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    Sha1Add(sha, length, sizeof(length));
    for (int i = 0; i < 20; ++i) {
        digest[i] = static_cast<uint8_t>(sha->state[i / 4] >> (24 - 8 * (i % 4)));
    }
}
