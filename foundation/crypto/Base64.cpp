#include "foundation/crypto/Base64.h"

#include <cstring>
#include <functional>

namespace zelvo {
namespace utils {

const char b64EncodeTable[65] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const unsigned char b64DecodeTable[128] = {
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65,
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65,
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 62, 65, 65, 65, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 65, 65, 65, 64, 65, 65,
    65,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 65, 65, 65, 65, 65,
    65, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 65, 65, 65, 65, 65,
};

namespace {

constexpr unsigned char invalidValue = 65;
constexpr unsigned char padValue = 64;

bool isWhiteSpace(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// A byte above 0x7F is outside the alphabet, never the alias of its low
// seven bits.
unsigned char valueOf(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x7f ? invalidValue : b64DecodeTable[u];
}

// Bytes a complete group produces.
int groupBytes(const unsigned char* quad)
{
    if (quad[3] != padValue)
        return 3;
    return quad[2] != padValue ? 2 : 1;
}

char* writeGroup(const unsigned char* q, char* out)
{
    *out++ = static_cast<char>((q[0] << 2) | (q[1] >> 4));
    if (q[2] != padValue) {
        *out++ = static_cast<char>((q[1] << 4) | (q[2] >> 2));
        if (q[3] != padValue)
            *out++ = static_cast<char>((q[2] << 6) | q[3]);
    }
    return out;
}

template <class Iterator>
unsigned long decodeRange(Base64Stream& state, Iterator first, Iterator last, char* outFirst, char* outLast,
                          unsigned long* consumed)
{
    unsigned long taken = 0;
    if (outLast - outFirst < 1) {
        if (consumed)
            *consumed = 0;
        return 0;
    }
    char* out = outFirst;
    Iterator in = first;
    for (;;) {
        if (state.count == 4) {
            // One byte of room stays for the terminating NUL.
            if (outLast - out < groupBytes(state.quad) + 1)
                break;
            out = writeGroup(state.quad, out);
            state.count = 0;
        }
        if (in == last || *in == '\0')
            break;
        const char c = *in;
        ++in;
        ++taken;
        const unsigned char v = valueOf(c);
        if (v == invalidValue) {
            if (!isWhiteSpace(c))
                state.ok = 0;
            continue;
        }
        state.quad[state.count++] = v;
    }
    *out = '\0';
    if (consumed)
        *consumed = taken;
    return static_cast<unsigned long>(out - outFirst);
}

// decodeRange over characters in memory. Values carried in the state
// complete a group early, so an output that overlaps the input can run ahead
// of the input still to be read: then the input (up to its NUL) is decoded
// from a copy.
unsigned long decodeChars(Base64Stream& state, const char* first, const char* last, char* outFirst, char* outLast,
                          unsigned long* consumed)
{
    if (last - first <= 0 || outLast - outFirst < 1)
        return decodeRange(state, first, last, outFirst, outLast, consumed);
    const void* nul = std::memchr(first, '\0', static_cast<std::size_t>(last - first));
    const char* end = nul ? static_cast<const char*>(nul) : last;
    const std::less<const char*> before;
    if (before(first, outLast) && before(outFirst, end)) {
        const std::string copy(first, end);
        return decodeRange(state, copy.data(), copy.data() + copy.size(), outFirst, outLast, consumed);
    }
    return decodeRange(state, first, last, outFirst, outLast, consumed);
}

} // namespace

bool encodeBase64(const std::string& in, std::string& out, bool wrap, int lineLength, bool crlf)
{
    // out is emptied first: one string as both is read from a copy.
    if (&in == &out)
        return encodeBase64(std::string(in), out, wrap, lineLength, crlf);
    out.clear();
    const char* separator = crlf ? "\r\n" : "\n";
    const bool breaks = wrap && lineLength > 0;
    const std::size_t encoded = (in.size() + 2) / 3 * 4;
    out.reserve(encoded + (breaks ? encoded / static_cast<std::size_t>(lineLength) * 2 + 2 : 0));
    int column = 0;
    auto put = [&](char c, bool test) {
        out += c;
        if (!breaks)
            return;
        ++column;
        if (test && column >= lineLength) {
            out += separator;
            column = 0;
        }
    };
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t n = in.size();
    for (; n >= 3; n -= 3, p += 3) {
        put(b64EncodeTable[p[0] >> 2], true);
        put(b64EncodeTable[((p[0] & 0x03) << 4) | (p[1] >> 4)], true);
        put(b64EncodeTable[((p[1] & 0x0f) << 2) | (p[2] >> 6)], true);
        put(b64EncodeTable[p[2] & 0x3f], true);
    }
    if (n == 2) {
        put(b64EncodeTable[p[0] >> 2], true);
        put(b64EncodeTable[((p[0] & 0x03) << 4) | (p[1] >> 4)], true);
        put(b64EncodeTable[(p[1] & 0x0f) << 2], false);
        put('=', false);
    } else if (n == 1) {
        put(b64EncodeTable[p[0] >> 2], true);
        put(b64EncodeTable[(p[0] & 0x03) << 4], true);
        put('=', false);
        put('=', false);
    }
    return true;
}

bool decodeBase64(const std::string& in, std::string& out)
{
    if (&in == &out)
        return decodeBase64(std::string(in), out);
    out.assign(in.size() / 4 * 3 + 1, '\0');
    Base64Stream state;
    const unsigned long n = decodeRange(state, in.begin(), in.end(), &out[0], &out[0] + out.size(), nullptr);
    out.resize(n);
    return state.ok != 0;
}

bool decodeBase64(const char* in, std::string& out)
{
    return decodeBase64(std::string(in ? in : ""), out);
}

unsigned long decodeBase64Stream(Base64Stream& state, const char* first, const char* last, char* outFirst,
                                 char* outLast, unsigned long* consumed)
{
    return decodeChars(state, first, last, outFirst, outLast, consumed);
}

unsigned long decodeBase64Stream(Base64Stream& state, std::string::const_iterator first,
                                 std::string::const_iterator last, char* outFirst, char* outLast,
                                 unsigned long* consumed)
{
    // The characters of a string lie in one block of memory.
    const char* in = first == last ? nullptr : &*first;
    return decodeChars(state, in, in + (last - first), outFirst, outLast, consumed);
}

unsigned long decodeBase64Stream(Base64Stream* state, const char* in, char* out, unsigned long outSize,
                                 unsigned long* consumed)
{
    Base64Stream local;
    Base64Stream& s = state ? *state : local;
    const std::size_t length = std::strlen(in);
    if (!out) {
        char* const target = const_cast<char*>(in);
        return decodeChars(s, in, in + length, target, target + length, consumed);
    }
    return decodeChars(s, in, in + length, out, out + outSize, consumed);
}

unsigned long decodeBase64X64(char* in, char* out, unsigned long outSize, unsigned long* consumed)
{
    Base64Stream state;
    return decodeBase64Stream(&state, in, out, outSize, consumed);
}

int decodeBase64(char* in, char* out, int outSize, int* consumed)
{
    unsigned long taken = 0;
    const unsigned long n = decodeBase64X64(in, out, outSize > 0 ? static_cast<unsigned long>(outSize) : 0, &taken);
    if (consumed)
        *consumed = static_cast<int>(taken);
    return static_cast<int>(n);
}

unsigned long encodeBase64X64(const char* in, unsigned long inLength, char* out, unsigned long outSize,
                              unsigned long* consumed)
{
    unsigned long written = 0;
    unsigned long taken = 0;
    int groupsOnLine = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
    while (taken < inLength && outSize - written >= 5) {
        const unsigned long left = inLength - taken;
        const unsigned char b0 = p[taken];
        const unsigned char b1 = left > 1 ? p[taken + 1] : 0;
        const unsigned char b2 = left > 2 ? p[taken + 2] : 0;
        out[written++] = b64EncodeTable[b0 >> 2];
        out[written++] = b64EncodeTable[((b0 & 0x03) << 4) | (b1 >> 4)];
        out[written++] = left > 1 ? b64EncodeTable[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=';
        out[written++] = left > 2 ? b64EncodeTable[b2 & 0x3f] : '=';
        taken += left > 2 ? 3 : left;
        if (++groupsOnLine == 19 && outSize - written >= 3) {
            out[written++] = '\r';
            out[written++] = '\n';
            groupsOnLine = 0;
        }
    }
    if (outSize > written)
        out[written] = '\0';
    if (consumed)
        *consumed = taken;
    return written;
}

int encodeBase64(const char* in, int inLength, char* out, int outSize, int* consumed)
{
    unsigned long taken = 0;
    const unsigned long n = encodeBase64X64(in, inLength > 0 ? static_cast<unsigned long>(inLength) : 0, out,
                                            outSize > 0 ? static_cast<unsigned long>(outSize) : 0, &taken);
    if (consumed)
        *consumed = static_cast<int>(taken);
    return static_cast<int>(n);
}

bool isBase64(const std::string& text)
{
    for (char c : text)
        if (valueOf(c) == invalidValue)
            return false;
    return true;
}

bool base64DecodedDataLength(const char* text, unsigned long& length)
{
    length = 0;
    bool ok = true;
    int position = 0;
    unsigned long groupLength = 0;
    for (const char* p = text; p && *p; ++p) {
        const unsigned char v = valueOf(*p);
        if (v == invalidValue) {
            if (!isWhiteSpace(*p))
                ok = false;
            continue;
        }
        // The first value starts a byte; the third and fourth each end one
        // unless they are padding.
        if (position == 0)
            groupLength = 1;
        else if (position >= 2 && v != padValue)
            ++groupLength;
        if (++position == 4) {
            length += groupLength;
            position = 0;
        }
    }
    return ok;
}

bool base64DecodedDataLength(const std::string& text, unsigned long& length)
{
    return base64DecodedDataLength(text.c_str(), length);
}

Base64StreamDecoderBuffer::Base64StreamDecoderBuffer(std::streambuf* wrapped, int lineLength, bool lfOnly)
    : wrapped(wrapped), lineLength(lineLength), lfOnly(lfOnly)
{
}

Base64StreamDecoderBuffer::~Base64StreamDecoderBuffer()
{
    end();
}

void Base64StreamDecoderBuffer::putchar(char c)
{
    wrapped->sputc(c);
    ++column;
    if (lineLength >= 1 && column >= lineLength) {
        if (!lfOnly)
            wrapped->sputc('\r');
        wrapped->sputc('\n');
        column = 0;
    }
}

int Base64StreamDecoderBuffer::getValue()
{
    for (;;) {
        const int c = wrapped->sbumpc();
        if (c == traits_type::eof())
            return -1;
        const unsigned char v = valueOf(static_cast<char>(c));
        if (v < 64)
            return v;
    }
}

void Base64StreamDecoderBuffer::encodePending(int count)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pendingBytes);
    const unsigned char b1 = count > 1 ? p[1] : 0;
    const unsigned char b2 = count > 2 ? p[2] : 0;
    putchar(b64EncodeTable[p[0] >> 2]);
    putchar(b64EncodeTable[((p[0] & 0x03) << 4) | (b1 >> 4)]);
    putchar(count > 1 ? b64EncodeTable[((b1 & 0x0f) << 2) | (b2 >> 6)] : '=');
    putchar(count > 2 ? b64EncodeTable[b2 & 0x3f] : '=');
}

void Base64StreamDecoderBuffer::end()
{
    const int pending = pbase() ? static_cast<int>(pptr() - pbase()) : 0;
    if (pending > 0)
        encodePending(pending);
    setp(nullptr, nullptr);
}

int Base64StreamDecoderBuffer::sync()
{
    return wrapped->pubsync();
}

Base64StreamDecoderBuffer::int_type Base64StreamDecoderBuffer::underflow()
{
    if (gptr() && gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    const int v0 = getValue();
    if (v0 < 0)
        return traits_type::eof();
    const int v1 = getValue();
    if (v1 < 0)
        return traits_type::eof();
    int n = 1;
    decodedBytes[0] = static_cast<char>((v0 << 2) | (v1 >> 4));
    const int v2 = getValue();
    if (v2 >= 0) {
        decodedBytes[1] = static_cast<char>(((v1 & 0x0f) << 4) | (v2 >> 2));
        n = 2;
        const int v3 = getValue();
        if (v3 >= 0) {
            decodedBytes[2] = static_cast<char>(((v2 & 0x03) << 6) | v3);
            n = 3;
        }
    }
    setg(decodedBytes, decodedBytes, decodedBytes + n);
    return traits_type::to_int_type(decodedBytes[0]);
}

Base64StreamDecoderBuffer::int_type Base64StreamDecoderBuffer::overflow(int_type c)
{
    if (pbase() && pptr() - pbase() == 3)
        encodePending(3);
    setp(pendingBytes, pendingBytes + 3);
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return 0;
}

} // namespace utils
} // namespace zelvo
