// SHA-1 (FIPS 180-4), for the name-based bundle code: a digest of the
// payloads, not a seal against anyone.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr size_t SHA1_DIGEST_BYTES = 20;

struct Sha1 {
    uint32_t state[5];
    uint64_t length;        // bytes hashed so far
    uint8_t block[64];
    size_t blockUsed;
};

void Sha1Start(Sha1* sha);
void Sha1Add(Sha1* sha, const void* data, size_t size);
void Sha1Finish(Sha1* sha, uint8_t (&digest)[SHA1_DIGEST_BYTES]);
