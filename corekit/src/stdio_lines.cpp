#include <corekit/strings.h>

#include <utf8.h>

#include <cstdio>
#include <string>

namespace {

// The narrow reader takes at most this many bytes per call, the wide one at most this many
// UTF-16 code units; longer lines come back in pieces.
constexpr std::size_t AnsiPieceBytes = 2047;
constexpr std::size_t WidePieceUnits = 1023;

bool writeBytes(FILE *stream, const std::string &bytes)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && !std::ferror(stream);
}

// Holds the stream's lock for a whole piece so that the byte reads need not take it each time.
class StreamLock {
public:
    explicit StreamLock(FILE *stream) : m_stream(stream) { flockfile(m_stream); }
    ~StreamLock() { funlockfile(m_stream); }
    StreamLock(const StreamLock &) = delete;
    StreamLock &operator=(const StreamLock &) = delete;

private:
    FILE *m_stream;
};

} // namespace

namespace corekit::detail {

bool readUtf8Piece(FILE *stream, std::size_t maxUnits, UnicodeString &out)
{
    out.clear();
    if (!stream || maxUnits == 0)
        return false;
    StreamLock lock(stream);
    // The bytes after a lead, read under the lock taken above.
    struct Source {
        FILE *stream;
        int get() { return getc_unlocked(stream); } // EOF is -1
        void unget(int c) { std::ungetc(c, stream); }
    } source{stream};
    bool any = false;
    while (out.size() < maxUnits) {
        const int lead = getc_unlocked(stream);
        if (lead == EOF)
            break;
        any = true;
        if (lead < 0x80) {
            out.push_back(static_cast<char16_t>(lead));
            if (lead == '\n')
                break;
            continue;
        }
        // A surrogate pair is never split over two pieces.
        if (Utf8SequenceLength(static_cast<unsigned char>(lead)) == 4 && out.size() + 2 > maxUnits &&
            !out.empty()) {
            std::ungetc(lead, stream);
            break;
        }
        // Every byte of an invalid sequence reads as one replacement character, as
        // Utf8ToUnicode does.
        const Utf8Sequence seq = DecodeUtf8Sequence(static_cast<unsigned char>(lead), source);
        if (seq.valid)
            AppendCodePoint(out, seq.codePoint);
        else
            out.append(seq.bytes, u'\uFFFD');
    }
    return any;
}

bool writeUtf8(FILE *stream, const UnicodeString &text)
{
    return stream && writeBytes(stream, UnicodeToUtf8(text));
}

void trimTrailingControls(UnicodeString &s)
{
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] <= u' ')
        --n;
    s.resize(n);
}

std::string toNativePath(const UnicodeString &path)
{
    return UnicodeToUtf8(path);
}

} // namespace corekit::detail

using namespace corekit::detail;

bool S_WriteLine(FILE *stream, const UnicodeString &line, bool ansi)
{
    if (!stream)
        return false;
    if (ansi)
        return writeBytes(stream, UnicodeToAnsi(line) + '\n');
    return writeUtf8(stream, line + u'\n');
}

bool S_ReadLine(FILE *stream, UnicodeString &line, bool ansi)
{
    line.clear();
    if (!stream)
        return false;
    if (!ansi) {
        if (!readUtf8Piece(stream, WidePieceUnits, line))
            return false;
        trimTrailingControls(line);
        return true;
    }
    std::string bytes;
    {
        StreamLock lock(stream);
        while (bytes.size() < AnsiPieceBytes) {
            const int b = getc_unlocked(stream);
            if (b == EOF)
                break;
            bytes.push_back(static_cast<char>(b));
            if (b == '\n')
                break;
        }
    }
    if (bytes.empty())
        return false;
    line = AnsiToUnicode(bytes);
    trimTrailingControls(line);
    return true;
}

bool S_SaveStringToFile(const UnicodeString &path, const UnicodeString &text, bool ansi)
{
    FILE *f = std::fopen(toNativePath(path).c_str(), "w");
    if (!f)
        return false;
    const bool written = S_WriteLine(f, text, ansi);
    // Buffered bytes reach the disc only at close; a failure there is a failed save too.
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

bool S_LoadStringFromFile(const UnicodeString &path, UnicodeString &text, bool ansi)
{
    text.clear();
    FILE *f = std::fopen(toNativePath(path).c_str(), "r");
    if (!f)
        return false;
    const bool read = S_ReadLine(f, text, ansi);
    std::fclose(f);
    return read;
}
