// Builds version blocks and minimal Windows executables byte by byte for the version reader's
// tests, and records where the interesting fields sit so tests can damage them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testpe {

using Bytes = std::vector<unsigned char>;

inline void put16(Bytes &b, std::size_t at, unsigned v)
{
    if (b.size() < at + 2)
        b.resize(at + 2);
    b[at] = static_cast<unsigned char>(v & 0xFF);
    b[at + 1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

inline void put32(Bytes &b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

inline void pad4(Bytes &b)
{
    while (b.size() % 4)
        b.push_back(0);
}

// One node of a version block: key, value (text or binary) and children.
struct VNode {
    std::u16string key;
    bool text = true;
    std::u16string textValue; // written with its terminating zero when text && !textValue.empty()
    Bytes binValue;
    std::vector<VNode> children;
};

inline void writeNode(Bytes &b, const VNode &n)
{
    pad4(b);
    const std::size_t start = b.size();
    unsigned valueLength = 0;
    if (n.text)
        valueLength = n.textValue.empty() ? 0 : static_cast<unsigned>(n.textValue.size() + 1);
    else
        valueLength = static_cast<unsigned>(n.binValue.size());
    put16(b, start, 0);
    put16(b, start + 2, valueLength);
    put16(b, start + 4, n.text ? 1 : 0);
    for (char16_t c : n.key)
        put16(b, b.size(), c);
    put16(b, b.size(), 0);
    pad4(b);
    if (n.text) {
        if (!n.textValue.empty()) {
            for (char16_t c : n.textValue)
                put16(b, b.size(), c);
            put16(b, b.size(), 0);
        }
    } else {
        b.insert(b.end(), n.binValue.begin(), n.binValue.end());
    }
    for (const VNode &c : n.children)
        writeNode(b, c);
    put16(b, start, static_cast<unsigned>(b.size() - start));
}

inline VNode stringNode(std::u16string key, std::u16string value)
{
    VNode n;
    n.key = std::move(key);
    n.textValue = std::move(value);
    return n;
}

inline VNode table(std::u16string name, std::vector<std::pair<std::u16string, std::u16string>> strings)
{
    VNode t;
    t.key = std::move(name);
    for (auto &[k, v] : strings)
        t.children.push_back(stringNode(k, v));
    return t;
}

inline VNode translations(std::vector<std::pair<std::uint16_t, std::uint16_t>> langCp)
{
    VNode var;
    var.key = u"Translation";
    var.text = false;
    for (auto [lang, cp] : langCp) {
        put16(var.binValue, var.binValue.size(), lang);
        put16(var.binValue, var.binValue.size(), cp);
    }
    VNode vfi;
    vfi.key = u"VarFileInfo";
    vfi.children.push_back(var);
    return vfi;
}

// The root node with a fixed file info and the given children.
inline Bytes versionBlock(std::vector<VNode> children)
{
    VNode root;
    root.key = u"VS_VERSION_INFO";
    root.text = false;
    std::uint32_t fixed[13] = {0xFEEF04BDu,
                               0x00010000u,
                               0x00010002u,
                               0x00030004u,
                               0x00010002u,
                               0x00030004u,
                               0x3Fu,
                               0,
                               0x40004u,
                               1,
                               0,
                               0,
                               0};
    for (std::uint32_t v : fixed)
        put32(root.binValue, root.binValue.size(), v);
    root.children = std::move(children);
    Bytes b;
    writeNode(b, root);
    return b;
}

// A usual block: one string table and one translation.
inline Bytes standardBlock(std::vector<std::pair<std::u16string, std::u16string>> strings,
                           std::u16string tableName = u"040904B0", std::uint16_t lang = 0x0409,
                           std::uint16_t cp = 0x04B0)
{
    VNode sfi;
    sfi.key = u"StringFileInfo";
    sfi.children.push_back(table(std::move(tableName), std::move(strings)));
    return versionBlock({sfi, translations({{lang, cp}})});
}

// Where the fields of a built image sit (file offsets).
struct PeImage {
    Bytes bytes;
    std::size_t coff = 0;        // COFF header (after "PE\0\0")
    std::size_t optional = 0;    // optional header
    std::size_t resourceDir = 0; // data directory entry of the resources (RVA, size)
    std::size_t sections = 0;    // section table
    std::size_t rsrc = 0;        // raw data of .rsrc
    std::size_t typeEntry = 0;   // the root directory's RT_VERSION entry
    std::size_t nameEntry = 0;   // the name directory's entry
    std::size_t langEntry = 0;   // the language directory's entry
    std::size_t dataEntry = 0;   // the data entry (RVA, size, code page, reserved)
    std::size_t block = 0;       // the version block
    std::uint32_t rsrcRva = 0;
};

// A PE32 (or PE32+) image with a .text section and a .rsrc section whose only resource is the
// block as RT_VERSION #1, language 0x409. With `resourceType` other than 16 the resource is of
// that type instead.
inline PeImage peImage(const Bytes &block, bool plus, std::uint32_t resourceType = 16)
{
    PeImage img;
    Bytes &b = img.bytes;
    b.assign(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x80);
    b[0x80] = 'P';
    b[0x81] = 'E';
    img.coff = 0x84;
    const unsigned optSize = plus ? 240 : 224;
    put16(b, img.coff, plus ? 0x8664 : 0x14C);
    put16(b, img.coff + 2, 2);
    put16(b, img.coff + 16, optSize);
    put16(b, img.coff + 18, 0x0102);
    img.optional = img.coff + 20;
    put16(b, img.optional, plus ? 0x20B : 0x10B);
    const std::size_t dirs = img.optional + (plus ? 112 : 96);
    put32(b, dirs - 4, 16);
    img.resourceDir = dirs + 2 * 8;
    img.sections = img.optional + optSize;

    img.rsrcRva = 0x2000;
    img.rsrc = 0x400;
    // .text: 0x200 bytes of nothing at 0x200.
    std::size_t s = img.sections;
    std::memcpy(&b[s], ".text", 5);
    put32(b, s + 8, 0x200);
    put32(b, s + 12, 0x1000);
    put32(b, s + 16, 0x200);
    put32(b, s + 20, 0x200);

    // .rsrc: three directory levels, a data entry, then the block.
    Bytes r(0x58, 0);
    put16(r, 14, 1);
    put32(r, 16, resourceType);
    put32(r, 20, 0x80000000u | 0x18);
    put16(r, 0x18 + 14, 1);
    put32(r, 0x18 + 16, 1);
    put32(r, 0x18 + 20, 0x80000000u | 0x30);
    put16(r, 0x30 + 14, 1);
    put32(r, 0x30 + 16, 0x409);
    put32(r, 0x30 + 20, 0x48);
    put32(r, 0x48, img.rsrcRva + 0x58);
    put32(r, 0x48 + 4, static_cast<std::uint32_t>(block.size()));
    r.insert(r.end(), block.begin(), block.end());
    while (r.size() % 0x200)
        r.push_back(0);

    s += 40;
    std::memcpy(&b[s], ".rsrc", 5);
    put32(b, s + 8, static_cast<std::uint32_t>(0x58 + block.size()));
    put32(b, s + 12, img.rsrcRva);
    put32(b, s + 16, static_cast<std::uint32_t>(r.size()));
    put32(b, s + 20, static_cast<std::uint32_t>(img.rsrc));
    put32(b, img.resourceDir, img.rsrcRva);
    put32(b, img.resourceDir + 4, static_cast<std::uint32_t>(0x58 + block.size()));

    b.insert(b.end(), r.begin(), r.end());
    img.typeEntry = img.rsrc + 16;
    img.nameEntry = img.rsrc + 0x18 + 16;
    img.langEntry = img.rsrc + 0x30 + 16;
    img.dataEntry = img.rsrc + 0x48;
    img.block = img.rsrc + 0x58;
    return img;
}

} // namespace testpe
