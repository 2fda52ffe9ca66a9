#ifndef ZELVO_FOUNDATION_CRYPTO_BASE64_H
#define ZELVO_FOUNDATION_CRYPTO_BASE64_H

#include <streambuf>
#include <string>

// Base64 of RFC 4648 (standard alphabet, "=" padding). Decoders skip TAB,
// LF, CR and space, skip any other foreign character while clearing their
// ok flag, and never fail hard.
namespace zelvo {
namespace utils {

// "A"-"Z", "a"-"z", "0"-"9", "+", "/".
extern const char b64EncodeTable[65];
// By character: 0-63 for the alphabet, 64 for "=", 65 for everything else.
// Bytes above 0x7F are outside the alphabet.
extern const unsigned char b64DecodeTable[128];

// Decoder state carried between calls of decodeBase64Stream.
struct Base64Stream {
    int ok = 1;           // cleared by a foreign character other than white space
    int count = 0;        // values collected for the current group
    unsigned char quad[4] = {0, 0, 0, 0};
};

// out = the encoding of in; with wrap, the separator ("\r\n" or "\n")
// follows every lineLength characters. in and out may be one string.
// Always true.
bool encodeBase64(const std::string& in, std::string& out, bool wrap, int lineLength, bool crlf);

// out = the decoding of in up to a NUL; an incomplete last group is dropped.
// True when no foreign character other than white space occurred. in and
// out may be one string.
bool decodeBase64(const std::string& in, std::string& out);
bool decodeBase64(const char* in, std::string& out);

// Decodes [first, last) (up to a NUL) into [outFirst, outLast), keeping one
// byte for a terminating NUL; a group that does not fit stops decoding and
// stays in state for the next call. Returns the bytes written; consumed, when
// given, receives the input characters taken. An output that overlaps the
// input gets what a separate output would.
unsigned long decodeBase64Stream(Base64Stream& state, const char* first, const char* last, char* outFirst,
                                 char* outLast, unsigned long* consumed);
unsigned long decodeBase64Stream(Base64Stream& state, std::string::const_iterator first,
                                 std::string::const_iterator last, char* outFirst, char* outLast,
                                 unsigned long* consumed);
// The same over the NUL-terminated in; a null out decodes in place.
unsigned long decodeBase64Stream(Base64Stream* state, const char* in, char* out, unsigned long outSize,
                                 unsigned long* consumed);
// decodeBase64Stream with a fresh state.
unsigned long decodeBase64X64(char* in, char* out, unsigned long outSize, unsigned long* consumed);
int decodeBase64(char* in, char* out, int outSize, int* consumed);

// Encodes as many whole groups as fit with a terminating NUL, CR LF after
// every 76 characters. Returns the characters written; consumed receives the
// input bytes encoded.
unsigned long encodeBase64X64(const char* in, unsigned long inLength, char* out, unsigned long outSize,
                              unsigned long* consumed);
int encodeBase64(const char* in, int inLength, char* out, int outSize, int* consumed);

// True when every character is in the alphabet or "=" (also for "").
bool isBase64(const std::string& text);

// The decoded length of the complete groups of text; false when a foreign
// character other than white space occurs.
bool base64DecodedDataLength(const char* text, unsigned long& length);
bool base64DecodedDataLength(const std::string& text, unsigned long& length);

// A stream buffer that codes what passes through it.
class StreamCoderBuffer : public std::streambuf {
public:
    // Writes what is still pending.
    virtual void end() = 0;
};

// Reading decodes the Base64 text of the wrapped buffer; writing encodes into
// it, with a line break after every lineLength characters (none when 0 or
// less), CR LF or LF alone.
class Base64StreamDecoderBuffer : public StreamCoderBuffer {
public:
    explicit Base64StreamDecoderBuffer(std::streambuf* wrapped, int lineLength = 76, bool lfOnly = false);
    ~Base64StreamDecoderBuffer() override;
    Base64StreamDecoderBuffer(const Base64StreamDecoderBuffer&) = delete;
    Base64StreamDecoderBuffer& operator=(const Base64StreamDecoderBuffer&) = delete;

    // Encodes the one to three pending bytes with padding.
    void end() override;
    // Writes one character to the wrapped buffer under the line rule.
    void putchar(char c);
    // The next value 0-63 of the wrapped buffer; -1 at its end.
    int getValue();

protected:
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c) override;

private:
    void encodePending(int count);

    std::streambuf* wrapped;
    int lineLength;
    int column = 0;
    bool lfOnly;
    char decodedBytes[3] = {0, 0, 0};
    char pendingBytes[3] = {0, 0, 0};
};

} // namespace utils
} // namespace zelvo

#endif
