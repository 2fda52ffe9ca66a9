#include "foundation/streams/ZStream.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelvo {
namespace utils {

namespace {
// printf formats on the stack first and allocates only for longer texts.
constexpr int PrintfStackBuffer = 512;
// Chunk size of copyTo and copyToSize.
constexpr unsigned long CopyChunk = 1024;
}  // namespace

ZStream::ZStream()
    : readPtr(readBuf), writePtr(writeBuf), readCount(0), writeFree(BufferSize), endOfData(false) {}

ZStream::~ZStream() {}

void ZStream::setReadTimeout(int) {}
void ZStream::setWriteTimeout(int) {}
bool ZStream::isReadEof() { return readCount == 0; }
bool ZStream::isClosed() const { return false; }

bool ZStream::sendPending() {
    const unsigned pending = pendingOutput();
    unsigned sent = 0;
    while (sent < pending) {
        const int n = i_write(writeBuf + sent, pending - sent);
        if (n <= 0) {
            // Keep only what the device has not taken, so a retry never
            // sends a byte twice.
            const unsigned left = pending - sent;
            if (sent > 0)
                std::memmove(writeBuf, writeBuf + sent, left);
            writePtr = writeBuf + left;
            writeFree = BufferSize - left;
            return false;
        }
        sent += static_cast<unsigned>(n) > pending - sent ? pending - sent : static_cast<unsigned>(n);
    }
    writePtr = writeBuf;
    writeFree = BufferSize;
    return true;
}

int ZStream::flush() { return sendPending() ? 0 : -1; }

int ZStream::fill() {
    if (!sendPending())
        return -1;
    readPtr = readBuf;
    readCount = 0;
    const int n = i_read(readBuf, BufferSize);
    endOfData = n == 0;
    if (n <= 0)
        return -1;
    readCount = (n > static_cast<int>(BufferSize) ? static_cast<int>(BufferSize) : n) - 1;
    readPtr = readBuf + 1;
    return static_cast<unsigned char>(readBuf[0]);
}

int ZStream::read(char* buf, unsigned long len) {
    endOfData = false;
    if (len == 0)
        return 0;
    if (readCount <= 0) {
        if (!sendPending())
            return 0;
        readPtr = readBuf;
        readCount = 0;
        const int n = i_read(readBuf, BufferSize);
        if (n <= 0) {
            endOfData = n == 0;
            return 0;
        }
        readCount = n > static_cast<int>(BufferSize) ? static_cast<int>(BufferSize) : n;
    }
    const unsigned long take = len < static_cast<unsigned long>(readCount) ? len : readCount;
    std::memcpy(buf, readPtr, take);
    readPtr += take;
    readCount -= static_cast<int>(take);
    return static_cast<int>(take);
}

int ZStream::write(const char* buf, unsigned long len) {
    const char* p = buf;
    unsigned long left = len;
    while (writeFree <= left) {
        std::memcpy(writePtr, p, writeFree);
        p += writeFree;
        left -= writeFree;
        writePtr += writeFree;
        writeFree = 0;
        if (!sendPending())
            return 0;
    }
    std::memcpy(writePtr, p, left);
    writePtr += left;
    writeFree -= static_cast<unsigned>(left);
    return len > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

int ZStream::nextLineByte() {
    if (readCount > 0) {
        --readCount;
        return static_cast<unsigned char>(*readPtr++);
    }
    if (!sendPending())
        return -1;
    readPtr = readBuf;
    readCount = 0;
    const int n = i_read(readBuf, BufferSize);
    if (n <= 0) {
        endOfData = n == 0;
        return -1;
    }
    readCount = (n > static_cast<int>(BufferSize) ? static_cast<int>(BufferSize) : n) - 1;
    readPtr = readBuf + 1;
    return static_cast<unsigned char>(readBuf[0]);
}

int ZStream::gets(char* buf, unsigned int size, bool keepPartial) {
    endOfData = false;
    if (size == 0)
        return 0;
    buf[0] = '\0';
    unsigned i = 0;
    for (;;) {
        const int c = nextLineByte();
        if (c < 0) {
            if (!keepPartial) {
                buf[0] = '\0';
                return 0;
            }
            buf[i] = '\0';
            return static_cast<int>(i);
        }
        if (i >= size - 1) {
            buf[0] = '\0';
            return 0;
        }
        buf[i++] = static_cast<char>(c);
        if (c == '\n') {
            buf[i] = '\0';
            return static_cast<int>(i);
        }
    }
}

int ZStream::getstr(char* buf, unsigned int size) {
    endOfData = false;
    if (size == 0)
        return 0;
    unsigned i = 0;
    while (i < size - 1) {
        const int c = nextLineByte();
        if (c < 0)
            break;
        buf[i++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[i] = '\0';
    return static_cast<int>(i);
}

bool ZStream::puts(const std::string& text) { return write(text.data(), text.size()) != 0; }

bool ZStream::puts(const char* text) { return text != nullptr && write(text, std::strlen(text)) != 0; }

bool ZStream::printf(const char* format, ...) {
    char stackBuf[PrintfStackBuffer];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, args);
    va_end(args);
    if (n < 0)
        return false;
    if (n < PrintfStackBuffer)
        return write(stackBuf, static_cast<unsigned long>(n)) > 0;

    char* heapBuf = nullptr;
    va_start(args, format);
    const int m = vasprintf(&heapBuf, format, args);
    va_end(args);
    if (m < 0)
        return false;
    const bool ok = write(heapBuf, static_cast<unsigned long>(m)) > 0;
    std::free(heapBuf);
    return ok;
}

int ZStream::copyTo(ZStream& dst) {
    char chunk[CopyChunk];
    int n;
    while ((n = read(chunk, sizeof chunk)) > 0)
        dst.write(chunk, static_cast<unsigned long>(n));
    return 0;
}

void ZStream::copyToSize(ZStream& dst, unsigned long size) {
    char chunk[CopyChunk];
    unsigned long copied = 0;
    while (copied < size) {
        const unsigned long want = size - copied < CopyChunk ? size - copied : CopyChunk;
        const int n = read(chunk, want);
        if (n <= 0)
            break;
        dst.write(chunk, static_cast<unsigned long>(n));
        copied += static_cast<unsigned long>(n);
    }
}

int ZStream::directWrite(const char* buf, unsigned int len) {
    if (len > static_cast<unsigned int>(INT_MAX))
        return -1;
    return i_write(buf, len);
}

int ZStream::asyncWrite(const char* buf, unsigned int len) { return directWrite(buf, len); }

ZFileStream::~ZFileStream() {}

long ZFileStream::i_seek64(long long offset, int whence) {
    return i_seek(static_cast<long>(static_cast<int>(static_cast<unsigned long long>(offset) & 0xFFFFFFFFULL)),
                  whence);
}

long long ZFileStream::i_tell64() { return static_cast<long long>(i_tell()); }

ZStdIStream::ZStdIStream(std::istream& in) : in(&in) {}

int ZStdIStream::i_read(char* buf, unsigned int len) {
    in->read(buf, static_cast<std::streamsize>(len));
    return static_cast<int>(in->gcount());
}

int ZStdIStream::i_write(const char*, unsigned int len) {
    return len > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

long ZStdIStream::i_seek(long offset, int whence) {
    in->clear();
    std::ios_base::seekdir dir = whence == 1 ? std::ios_base::cur : whence == 2 ? std::ios_base::end : std::ios_base::beg;
    in->seekg(offset, dir);
    return in->good() ? 0 : -1;
}

long ZStdIStream::i_tell() {
    in->clear();
    const long long pos = static_cast<long long>(in->tellg());
    return pos > INT_MAX ? INT_MAX : static_cast<long>(pos);
}

}  // namespace utils
}  // namespace zelvo
