#pragma once

#include "image/c_locale.h"

#include <libraw/libraw.h>

#include <QByteArray>

#include <cstdio>
#include <memory>

// Ways around faults of LibRaw 0.20 that damaged files reach.

// LibRaw that can say, before its embedded picture is unpacked, that the
// picture is one of Kodak's bitmaps: their decoder writes past its buffer
// on a damaged file, and a bitmap is no encoded picture, which is all this
// tool reads.
class GuardedLibRaw : public LibRaw
{
public:
    using LibRaw::LibRaw;
    bool thumbnailIsKodakBitmap() const { return thumb_load_raw != nullptr; }
};

// LibRaw 0.20's stream over a memory buffer, with its two text readers made
// safe. Its own gets() copies a full `size` bytes and then writes the end
// mark one byte further, or none at all, and its scanf_one() runs sscanf
// over bytes that need not end inside the buffer; LibRaw's header parsers
// hand both fixed-size fields of their own. The file streams that the
// command line uses do not share these faults.
class RawByteStream : public LibRaw_buffer_datastream
{
public:
    // The stream reads `bytes` in place: they must outlive it.
    explicit RawByteStream(const QByteArray &bytes)
        // LibRaw only reads the buffer; its interface is not const-correct.
        : LibRaw_buffer_datastream(const_cast<char *>(bytes.constData()), size_t(bytes.size()))
    {
    }
    explicit RawByteStream(QByteArray &&) = delete;

    // Past its end a file keeps the position it is sent to, and LibRaw's
    // parsers count on that to leave their loops; the buffer stream stops
    // at the end instead, and a chunk that skips beyond it loops for ever.
    int seek(INT64 offset, int whence) override
    {
        INT64 target = offset;
        if (whence == SEEK_CUR)
            target += tell();
        else if (whence == SEEK_END)
            target += size();
        else if (whence != SEEK_SET)
            return -1;
        if (target < 0)
            return -1;
        beyond = target > size() ? target - size() : 0;
        return LibRaw_buffer_datastream::seek(target - beyond, SEEK_SET);
    }
    INT64 tell() override { return LibRaw_buffer_datastream::tell() + beyond; }
    int eof() override { return beyond > 0 || LibRaw_buffer_datastream::eof(); }
    int read(void *ptr, size_t itemSize, size_t count) override
    {
        return beyond > 0 ? 0 : LibRaw_buffer_datastream::read(ptr, itemSize, count);
    }
    int get_char() override { return beyond > 0 ? -1 : LibRaw_buffer_datastream::get_char(); }

    // As fgets: at most size - 1 bytes, up to and including a line break.
    char *gets(char *s, int size) override
    {
        if (size <= 0)
            return nullptr;
        int n = 0;
        int c = 0;
        while (n < size - 1 && (c = get_char()) >= 0) {
            s[n++] = char(c);
            if (c == '\n')
                break;
        }
        if (n == 0 && c < 0)
            return nullptr;
        s[n] = '\0';
        return s;
    }

    // One number read from a terminated copy; the position then moves as
    // LibRaw's own stream moves it, to the next separator but at most 25
    // bytes on.
    int scanf_one(const char *format, void *value) override
    {
        constexpr int kMaxStep = 25;
        const INT64 at = tell();
        char text[64] = {};
        int n = 0;
        for (int c = 0; n < int(sizeof text) - 1 && (c = get_char()) >= 0;)
            text[n++] = char(c);
        int result = 0;
        {
            const ScopedCLocale c;
            result = std::sscanf(text, format, value);
        }
        int step = 0;
        if (result > 0) {
            step = 1;
            while (step < n && step < kMaxStep && text[step] != '\0' && text[step] != ' ' && text[step] != '\t' &&
                   text[step] != '\n')
                ++step;
        }
        seek(at + step, SEEK_SET);
        return result;
    }

private:
    INT64 beyond = 0;  // how far past the end the position is
};

// Opens `bytes` in `raw` through a RawByteStream, which must outlive every
// use of `raw`; returns LibRaw's status.
inline int openRawBytes(LibRaw &raw, const QByteArray &bytes, std::unique_ptr<RawByteStream> &stream)
{
    if (bytes.isEmpty())
        return LIBRAW_IO_ERROR;
    stream = std::make_unique<RawByteStream>(bytes);
    return raw.open_datastream(stream.get());
}
