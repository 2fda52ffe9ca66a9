#ifndef ZELVO_FOUNDATION_STREAMS_ZSTREAM_H
#define ZELVO_FOUNDATION_STREAMS_ZSTREAM_H

#include <istream>
#include <string>

namespace zelvo {
namespace utils {

// Buffered byte stream over two device primitives. Both buffers live inside
// the object; derived classes implement i_read and i_write.
//
// The buffer state is public: the XML parser takes bytes straight from the
// read buffer, and users that reposition a file stream flush, then discard
// the buffered input (discardInput) before calling i_seek.
class ZStream {
public:
    static constexpr unsigned BufferSize = 4096;

    ZStream();
    // Does not flush: derived classes that must not drop output flush first.
    virtual ~ZStream();

    virtual void setReadTimeout(int ms);
    virtual void setWriteTimeout(int ms);
    // True when no byte is buffered; the end-of-data flag is not consulted.
    virtual bool isReadEof();
    virtual bool isClosed() const;

    // One device read: > 0 bytes read, 0 end of data, < 0 error.
    virtual int i_read(char* buf, unsigned int len) = 0;
    // One device write: > 0 bytes accepted (possibly fewer than len), <= 0 failure.
    virtual int i_write(const char* buf, unsigned int len) = 0;

    // Sends all pending output: 0 on success (or nothing pending), -1 on failure.
    // A failure keeps exactly the bytes the device did not accept.
    int flush();
    // Flushes, then replaces the read buffer with one device read and returns
    // its first byte (0-255); -1 on end of data or failure.
    int fill();
    // Up to len bytes, at most one device read; 0 at end of data or failure
    // (endOfData tells them apart).
    int read(char* buf, unsigned long len);
    // Buffered write: len on success (capped at INT_MAX), 0 when a device write failed.
    int write(const char* buf, unsigned long len);

    // One line ending in LF, NUL-terminated, count including the LF.
    // 0 when the line does not fit in size - 1 bytes (the bytes are consumed
    // and buf is empty) or at end of data; with keepPartial an unterminated
    // last line is returned instead.
    int gets(char* buf, unsigned int size, bool keepPartial);
    // One line, or the first size - 1 bytes of it (the rest stays for the
    // next call), or what came before the end of data; NUL-terminated.
    int getstr(char* buf, unsigned int size);

    bool puts(const std::string& text);
    bool puts(const char* text);
    bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Copies everything readable to dst; returns 0.
    int copyTo(ZStream& dst);
    // Copies at most size bytes to dst.
    void copyToSize(ZStream& dst, unsigned long size);

    // One i_write bypassing the write buffer (pending output is not touched);
    // -1 for len >= 2^31.
    int directWrite(const char* buf, unsigned int len);
    int asyncWrite(const char* buf, unsigned int len);

    // Drops the buffered input, as needed before moving the device position.
    void discardInput() {
        readPtr = readBuf;
        readCount = 0;
    }
    unsigned pendingOutput() const { return BufferSize - writeFree; }

    char readBuf[BufferSize];
    char writeBuf[BufferSize];
    char* readPtr;       // next unread byte in readBuf
    char* writePtr;      // next free byte in writeBuf
    int readCount;       // bytes buffered from readPtr on
    unsigned writeFree;  // free bytes after writePtr; BufferSize = nothing pending
    bool endOfData;      // the last device read of read/fill/gets/getstr returned 0

private:
    bool sendPending();
    // Next byte for gets/getstr, refilling as read does; -1 when none.
    int nextLineByte();

    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;
};

// A ZStream with a device position.
class ZFileStream : public ZStream {
public:
    ~ZFileStream() override;

    // 0 on success, -1 on failure (not the new position).
    virtual long i_seek(long offset, int whence) = 0;
    virtual long i_tell() = 0;
    // Defaults: i_seek with the low 32 bits of the offset, i_tell widened.
    virtual long i_seek64(long long offset, int whence);
    virtual long long i_tell64();
};

// Read-only file stream over a borrowed std::istream; writes are discarded.
class ZStdIStream : public ZFileStream {
public:
    explicit ZStdIStream(std::istream& in);

    int i_read(char* buf, unsigned int len) override;
    int i_write(const char* buf, unsigned int len) override;
    // whence 1 current, 2 end, anything else the beginning.
    long i_seek(long offset, int whence) override;
    // Capped at 2^31 - 1.
    long i_tell() override;

private:
    std::istream* in;
};

}  // namespace utils
}  // namespace zelvo

#endif
