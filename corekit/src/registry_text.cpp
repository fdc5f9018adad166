#include "registry_text.h"

#include "registry_names.h"

#include <utf8.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace korvel::reg::detail {

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

int hexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

// A quoted .reg string starting at line[pos] == '"'. Only \\ and \" are escapes.
bool parseQuoted(const UnicodeString &line, std::size_t &pos, UnicodeString &out)
{
    out.clear();
    ++pos;
    while (pos < line.size()) {
        // Plain text up to the next quote or backslash goes over in one piece.
        const std::size_t stop = line.find_first_of(u"\"\\", pos);
        if (stop == UnicodeString::npos)
            return false;
        out.append(line, pos, stop - pos);
        pos = stop + 1;
        if (line[stop] == u'"')
            return true;
        if (pos >= line.size() || (line[pos] != u'\\' && line[pos] != u'"'))
            return false;
        out += line[pos++];
    }
    return false;
}

bool parseHexBytes(const UnicodeString &text, std::vector<uint8_t> &out)
{
    out.clear();
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < text.size() && isBlank(text[i]))
            ++i;
    };
    skipBlanks();
    if (i == text.size())
        return true;
    for (;;) {
        skipBlanks();
        const int hi = i < text.size() ? hexDigit(text[i]) : -1;
        const int lo = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(uint8_t(hi * 16 + lo));
        i += 2;
        skipBlanks();
        if (i == text.size())
            return true;
        if (text[i] != u',')
            return false;
        ++i;
    }
}

bool startsWith(const UnicodeString &s, std::size_t pos, const char *prefix)
{
    for (std::size_t k = 0; prefix[k]; ++k)
        if (pos + k >= s.size() || s[pos + k] != char16_t(prefix[k]))
            return false;
    return true;
}

bool parseValueLine(const UnicodeString &line, Value &v)
{
    std::size_t pos = 0;
    if (line[0] == u'@') {
        v.name.clear();
        pos = 1;
    } else if (!parseQuoted(line, pos, v.name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != u'=')
        return false;
    ++pos;
    if (pos < line.size() && line[pos] == u'"') {
        UnicodeString text;
        if (!parseQuoted(line, pos, text))
            return false;
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos != line.size())
            return false;
        v = Value::string(v.name, text);
        return true;
    }
    if (startsWith(line, pos, "dword:")) {
        pos += 6;
        const UnicodeString digits = line.substr(pos);
        if (digits.empty() || digits.size() > 8)
            return false;
        uint32_t n = 0;
        for (char16_t c : digits) {
            const int d = hexDigit(c);
            if (d < 0)
                return false;
            n = n * 16 + uint32_t(d);
        }
        v = Value::dword(v.name, n);
        return true;
    }
    if (startsWith(line, pos, "hex:")) {
        v.type = RegBinary;
        return parseHexBytes(line.substr(pos + 4), v.data);
    }
    if (startsWith(line, pos, "hex(")) {
        pos += 4;
        uint32_t type = 0;
        std::size_t digits = 0;
        while (pos < line.size() && hexDigit(line[pos]) >= 0 && digits < 8) {
            type = type * 16 + uint32_t(hexDigit(line[pos++]));
            ++digits;
        }
        if (digits == 0 || !startsWith(line, pos, "):"))
            return false;
        v.type = type;
        return parseHexBytes(line.substr(pos + 2), v.data);
    }
    return false;
}

std::string escapeQuoted(const UnicodeString &s)
{
    std::string out = "\"";
    for (char c : UnicodeToUtf8(s)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

void appendHex(std::string &out, const std::vector<uint8_t> &data, std::size_t lineLen)
{
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            if (lineLen + 3 > 77) {
                out += ",\\\n  ";
                lineLen = 2;
            } else {
                out += ',';
                ++lineLen;
            }
        }
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
        lineLen += 2;
    }
}

std::string valueLine(const Value &v)
{
    std::string out = v.name.empty() ? std::string("@") : escapeQuoted(v.name);
    out += '=';
    if (v.type == RegSz) {
        const auto text = v.text();
        if (text && quotable(*text) && Value::string(v.name, *text).data == v.data)
            return out + escapeQuoted(*text);
    }
    if (v.type == RegDword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      unsigned(v.data[0] | v.data[1] << 8 | v.data[2] << 16 | uint32_t(v.data[3]) << 24));
        return out + buf;
    }
    if (v.type == RegBinary) {
        out += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", unsigned(v.type));
        out += buf;
    }
    appendHex(out, v.data, out.size());
    return out;
}

// The text's lines one after another, each decoded on its own into `text` (without its line
// end), so that reading a store never holds more than the file's bytes and one line besides.
// `cr` tells whether a carriage return came before the line's newline.
class Lines {
public:
    explicit Lines(const std::string &raw) : raw_(raw)
    {
        if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE) {
            // An export of the system's own editor: UTF-16LE with a byte-order mark.
            utf16_ = true;
            pos_ = 2;
            ok_ = raw.size() % 2 == 0;
        } else {
            pos_ = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        }
    }

    // False at the end of the text, or at a line that is not valid text (see valid()).
    bool next()
    {
        if (!ok_ || pos_ > raw_.size())
            return false;
        std::size_t end;
        if (utf16_) {
            end = pos_;
            while (end + 1 < raw_.size() && !(raw_[end] == '\n' && raw_[end + 1] == 0))
                end += 2;
            if (end + 1 >= raw_.size())
                end = raw_.size();
            text.resize((end - pos_) / 2);
            for (std::size_t i = 0; i < text.size(); ++i)
                text[i] = char16_t(uint8_t(raw_[pos_ + 2 * i]) | uint8_t(raw_[pos_ + 2 * i + 1]) << 8);
            pos_ = end + 2;
        } else {
            end = raw_.find('\n', pos_);
            if (end == std::string::npos)
                end = raw_.size();
            const std::string_view bytes(raw_.data() + pos_, end - pos_);
            // Only UTF-8 that the string layer decodes without a replacement is a store's text.
            text.clear();
            if (!corekit::detail::AppendUtf8(bytes, text, corekit::detail::Utf8Invalid::Fail)) {
                ok_ = false;
                return false;
            }
            pos_ = end + 1;
        }
        cr = !text.empty() && text.back() == u'\r';
        if (cr)
            text.pop_back();
        ++number;
        return true;
    }
    bool valid() const { return ok_; }
    // Where the line's text starts after its leading blanks.
    std::size_t firstNonBlank() const
    {
        std::size_t k = 0;
        while (k < text.size() && isBlank(text[k]))
            ++k;
        return k;
    }

    UnicodeString text;
    std::size_t number = 0;
    bool cr = false;

private:
    const std::string &raw_;
    std::size_t pos_ = 0;
    bool utf16_ = false;
    bool ok_ = true;
};

bool fail(std::string *why, const std::string &text)
{
    if (why)
        *why = text;
    return false;
}

} // namespace

// ---- the store -----------------------------------------------------------------------------

Key *Store::find(const UnicodeString &path)
{
    const auto it = index_.find(fold(trimPath(path)));
    return it == index_.end() ? nullptr : &keys[it->second];
}

bool Store::exists(const UnicodeString &path) const
{
    const UnicodeString want = fold(trimPath(path));
    if (want.empty())
        return false;
    if (index_.count(want))
        return true;
    const UnicodeString below = want + u'\\';
    for (const Key &k : keys)
        if (k.path.size() > below.size() && fold(k.path).compare(0, below.size(), below) == 0)
            return true;
    return false;
}

Key &Store::ensure(const UnicodeString &path)
{
    return keys[add(trimPath(path))];
}

std::size_t Store::add(const UnicodeString &path)
{
    const auto [at, added] = index_.try_emplace(fold(path), keys.size());
    if (added)
        keys.push_back(Key{path, {}, {}});
    return at->second;
}

bool Store::erase(const UnicodeString &path)
{
    const UnicodeString want = fold(trimPath(path));
    if (want.empty())
        return false;
    const UnicodeString below = want + u'\\';
    const auto before = keys.size();
    std::erase_if(keys, [&](const Key &k) {
        const UnicodeString f = fold(k.path);
        return f == want || f.compare(0, below.size(), below) == 0;
    });
    reindex();
    return keys.size() != before;
}

void Store::reindex()
{
    index_.clear();
    for (std::size_t i = 0; i < keys.size(); ++i)
        index_.emplace(fold(keys[i].path), i);
}

Value *findValue(Key &key, const UnicodeString &name)
{
    for (Value &v : key.values)
        if (sameName(v.name, name))
            return &v;
    return nullptr;
}

void putValue(Key &key, const Value &value)
{
    if (Value *old = findValue(key, value.name)) {
        // The stored spelling of the name stays, as the registry keeps it.
        old->type = value.type;
        old->data = value.data;
    } else {
        key.values.push_back(value);
    }
}

// ---- text ----------------------------------------------------------------------------------

bool parse(const std::string &raw, Store &out, std::string *why)
{
    out = Store{};
    Lines lines(raw);
    bool any = false;
    while ((any = lines.next()) && lines.text.empty()) {
    }
    if (!lines.valid())
        return fail(why, "it is neither UTF-8 nor UTF-16 text");
    if (!any || lines.text != U(kHeader))
        return fail(why, std::string("its first line is not \"") + kHeader + "\"");
    // A text whose lines end in CR LF loses one carriage return per line; in a text of plain
    // newlines a carriage return at the end of a comment is part of the comment, and is kept.
    const bool crlf = lines.cr;
    auto where = [&] { return " (line " + std::to_string(lines.number) + ")"; };

    // A key's values are indexed by folded name once it has more than a few: a key of
    // thousands of values would take a search per value otherwise.
    constexpr std::size_t kIndexFrom = 16;
    std::unordered_map<std::size_t, std::unordered_map<UnicodeString, std::size_t>> valueIndex;
    Key *current = nullptr;
    std::size_t currentIndex = 0;
    UnicodeString line;
    while (lines.next()) {
        const UnicodeString &text = lines.text;
        const std::size_t begin = lines.firstNonBlank();
        if (begin == text.size())
            continue;
        const char16_t first = text[begin];
        if (first == u';') {
            UnicodeString comment = text.substr(begin);
            if (!crlf && lines.cr)
                comment += u'\r';
            (current ? current->comments : out.preamble).push_back(std::move(comment));
            continue;
        }
        if (first == u'[') {
            std::size_t end = text.size();
            while (end > begin && isBlank(text[end - 1]))
                --end;
            if (end - begin < 3 || text[end - 1] != u']' || text[begin + 1] == u'-')
                return fail(why, "a key line is not [path]" + where());
            const UnicodeString path = trimPath(text.substr(begin + 1, end - begin - 2));
            if (path.empty())
                return fail(why, "a key has no name" + where());
            if (const Result r = checkKeyPath(path); !r.ok())
                return fail(why, r.message + where());
            currentIndex = out.add(path);
            current = &out.keys[currentIndex];
            continue;
        }
        if (first != u'"' && first != u'@')
            return fail(why, "a line is neither a key, a value nor a comment" + where());
        if (!current)
            return fail(why, "a value comes before any key" + where());
        line.assign(text, begin);
        // Hexadecimal data may continue on following lines after a trailing backslash.
        if (line.find(u"=hex") != UnicodeString::npos) {
            while (!line.empty() && line.back() == u'\\' && lines.next()) {
                line.pop_back();
                line.append(lines.text, lines.firstNonBlank());
            }
        }
        Value v;
        if (!parseValueLine(line, v))
            return fail(why, "a value line cannot be read" + where());
        if (const Result r = checkValueName(v.name); !r.ok())
            return fail(why, r.message + where());
        Value *same = nullptr;
        auto &values = current->values;
        if (values.size() < kIndexFrom) {
            same = findValue(*current, v.name);
        } else {
            auto &index = valueIndex[currentIndex];
            if (index.empty())
                for (std::size_t k = 0; k < values.size(); ++k)
                    index.emplace(fold(values[k].name), k);
            const auto [at, added] = index.try_emplace(fold(v.name), values.size());
            if (!added)
                same = &values[at->second];
        }
        if (same) {
            // A later line for the same name wins; the first spelling of the name stays.
            same->type = v.type;
            same->data = std::move(v.data);
        } else {
            values.push_back(std::move(v));
        }
    }
    if (!lines.valid())
        return fail(why, "it is not valid UTF-8 text" + where());
    return true;
}

std::string serialize(const Store &store)
{
    std::string out = kHeader;
    out += "\n\n";
    for (const UnicodeString &c : store.preamble)
        out += UnicodeToUtf8(c) + "\n";
    if (!store.preamble.empty())
        out += '\n';
    for (const Key &k : store.keys) {
        out += '[' + UnicodeToUtf8(k.path) + "]\n";
        for (const UnicodeString &c : k.comments)
            out += UnicodeToUtf8(c) + "\n";
        for (const Value &v : k.values)
            out += valueLine(v) + "\n";
        out += '\n';
    }
    return out;
}

} // namespace korvel::reg::detail
