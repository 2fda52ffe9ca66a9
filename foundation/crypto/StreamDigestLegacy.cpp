// MD2 (RFC 1319) and SHA-0 (FIPS 180), which this OpenSSL no longer carries,
// as legacy digest methods so StreamDigest runs them through EVP like the rest.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <cstdint>
#include <cstring>

#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include "foundation/crypto/StreamDigest.h"

namespace zelvo {
namespace crypto {

namespace {

// RFC 1319's byte permutation built from the digits of pi.
const unsigned char md2Substitution[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,
    98,  167, 5,   243, 192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202,
    30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,  138, 23,  229, 18,
    190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122,
    169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,
    128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151, 3,
    255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198,
    79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241,
    69,  157, 112, 89,  100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,
    27,  96,  37,  173, 174, 176, 185, 246, 28,  70,  97,  105, 52,  64,  126, 15,
    85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,
    106, 220, 55,  200, 108, 193, 171, 250, 36,  225, 123, 8,   12,  189, 177, 74,
    120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254, 59,  0,   29,  57,
    242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,
    49,  68,  80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20,
};

// Fills the state's block buffer and compresses each full block; State has
// `block` (the block size) and `used`.
template <class State>
void absorb(State& s, const void* data, size_t count, void (*compress)(State&, const unsigned char*))
{
    constexpr size_t blockSize = sizeof(s.block);
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const size_t take = count < blockSize - s.used ? count : blockSize - s.used;
        std::memcpy(s.block + s.used, p, take);
        s.used += static_cast<unsigned>(take);
        p += take;
        count -= take;
        if (s.used == blockSize) {
            compress(s, s.block);
            s.used = 0;
        }
    }
}

struct Md2State {
    unsigned char x[48];
    unsigned char checksum[16];
    unsigned char block[16];
    unsigned used;
};

void md2Block(Md2State& s, const unsigned char* m)
{
    for (int j = 0; j < 16; ++j) {
        s.x[16 + j] = m[j];
        s.x[32 + j] = static_cast<unsigned char>(m[j] ^ s.x[j]);
    }
    unsigned t = 0;
    for (unsigned j = 0; j < 18; ++j) {
        for (int k = 0; k < 48; ++k)
            t = s.x[k] ^= md2Substitution[t];
        t = (t + j) & 0xff;
    }
    unsigned char last = s.checksum[15];
    for (int j = 0; j < 16; ++j)
        last = s.checksum[j] ^= md2Substitution[m[j] ^ last];
}

int md2Init(EVP_MD_CTX* ctx)
{
    std::memset(EVP_MD_CTX_md_data(ctx), 0, sizeof(Md2State));
    return 1;
}

int md2Update(EVP_MD_CTX* ctx, const void* data, size_t count)
{
    Md2State& s = *static_cast<Md2State*>(EVP_MD_CTX_md_data(ctx));
    absorb(s, data, count, md2Block);
    return 1;
}

int md2Final(EVP_MD_CTX* ctx, unsigned char* md)
{
    Md2State& s = *static_cast<Md2State*>(EVP_MD_CTX_md_data(ctx));
    const unsigned char pad = static_cast<unsigned char>(16 - s.used);
    std::memset(s.block + s.used, pad, pad);
    md2Block(s, s.block);
    unsigned char checksum[16];
    std::memcpy(checksum, s.checksum, 16);
    md2Block(s, checksum);
    std::memcpy(md, s.x, 16);
    return 1;
}

struct Sha0State {
    uint32_t h[5];
    unsigned char block[64];
    unsigned used;
    uint64_t length;
};

uint32_t rotl(uint32_t v, int n)
{
    return (v << n) | (v >> (32 - n));
}

void sha0Block(Sha0State& s, const unsigned char* m)
{
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = static_cast<uint32_t>(m[4 * t]) << 24 | static_cast<uint32_t>(m[4 * t + 1]) << 16 |
               static_cast<uint32_t>(m[4 * t + 2]) << 8 | m[4 * t + 3];
    // The schedule of the first SHA: no rotation here (SHA-1 added it).
    for (int t = 16; t < 80; ++t)
        w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
    uint32_t a = s.h[0], b = s.h[1], c = s.h[2], d = s.h[3], e = s.h[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const uint32_t next = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = next;
    }
    s.h[0] += a;
    s.h[1] += b;
    s.h[2] += c;
    s.h[3] += d;
    s.h[4] += e;
}

int sha0Init(EVP_MD_CTX* ctx)
{
    Sha0State& s = *static_cast<Sha0State*>(EVP_MD_CTX_md_data(ctx));
    std::memset(&s, 0, sizeof s);
    s.h[0] = 0x67452301;
    s.h[1] = 0xefcdab89;
    s.h[2] = 0x98badcfe;
    s.h[3] = 0x10325476;
    s.h[4] = 0xc3d2e1f0;
    return 1;
}

int sha0Update(EVP_MD_CTX* ctx, const void* data, size_t count)
{
    Sha0State& s = *static_cast<Sha0State*>(EVP_MD_CTX_md_data(ctx));
    s.length += count;
    absorb(s, data, count, sha0Block);
    return 1;
}

int sha0Final(EVP_MD_CTX* ctx, unsigned char* md)
{
    Sha0State& s = *static_cast<Sha0State*>(EVP_MD_CTX_md_data(ctx));
    const uint64_t bits = s.length * 8;
    s.block[s.used++] = 0x80;
    if (s.used > 56) {
        std::memset(s.block + s.used, 0, 64 - s.used);
        sha0Block(s, s.block);
        s.used = 0;
    }
    std::memset(s.block + s.used, 0, 56 - s.used);
    for (int i = 0; i < 8; ++i)
        s.block[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    sha0Block(s, s.block);
    for (int i = 0; i < 5; ++i) {
        md[4 * i] = static_cast<unsigned char>(s.h[i] >> 24);
        md[4 * i + 1] = static_cast<unsigned char>(s.h[i] >> 16);
        md[4 * i + 2] = static_cast<unsigned char>(s.h[i] >> 8);
        md[4 * i + 3] = static_cast<unsigned char>(s.h[i]);
    }
    return 1;
}

EVP_MD* makeMethod(int nid, int size, int block, int dataSize, int (*init)(EVP_MD_CTX*),
                   int (*update)(EVP_MD_CTX*, const void*, size_t), int (*final)(EVP_MD_CTX*, unsigned char*))
{
    EVP_MD* md = EVP_MD_meth_new(nid, NID_undef);
    if (!md)
        return nullptr;
    if (!EVP_MD_meth_set_result_size(md, size) || !EVP_MD_meth_set_input_blocksize(md, block) ||
        !EVP_MD_meth_set_app_datasize(md, dataSize) || !EVP_MD_meth_set_init(md, init) ||
        !EVP_MD_meth_set_update(md, update) || !EVP_MD_meth_set_final(md, final)) {
        EVP_MD_meth_free(md);
        return nullptr;
    }
    return md;
}

} // namespace

// Built once and kept for the life of the process, like OpenSSL's own.
const EVP_MD* md2Digest()
{
    static const EVP_MD* md = makeMethod(NID_md2, 16, 16, sizeof(Md2State), md2Init, md2Update, md2Final);
    return md;
}

const EVP_MD* sha0Digest()
{
    static const EVP_MD* md = makeMethod(NID_sha, 20, 64, sizeof(Sha0State), sha0Init, sha0Update, sha0Final);
    return md;
}

} // namespace crypto
} // namespace zelvo
