// Writes a VS_VERSIONINFO block in its binary layout (16-bit lengths and
// types, UTF-16 keys and values, 32-bit alignment), usable at compile time
// so that the program can carry its block without a build-time tool.
// Texts are ASCII; each byte becomes one UTF-16 unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/Win32.h"

namespace linuxapi {

struct VersionString {
    const char* key;
    const char* value;
};

struct VersionStringTable {
    uint32_t langCharset;  // language in the high word, code page in the low word
    const VersionString* strings;
    size_t count;
};

struct VersionDescription {
    VS_FIXEDFILEINFO fixed;
    const VersionStringTable* tables;
    size_t tableCount;
    const uint32_t* translations;  // language in the high word, code page in the low word
    size_t translationCount;
};

template <size_t Capacity>
class VersionBlockWriter {
public:
    constexpr explicit VersionBlockWriter(const VersionDescription& d) {
        const size_t root = Begin("VS_VERSION_INFO", 0, sizeof(VS_FIXEDFILEINFO));
        const VS_FIXEDFILEINFO& f = d.fixed;
        const DWORD fixed[] = {f.dwSignature,     f.dwStrucVersion,     f.dwFileVersionMS,    f.dwFileVersionLS,
                               f.dwProductVersionMS, f.dwProductVersionLS, f.dwFileFlagsMask, f.dwFileFlags,
                               f.dwFileOS,        f.dwFileType,         f.dwFileSubtype,      f.dwFileDateMS,
                               f.dwFileDateLS};
        for (DWORD value : fixed) Dword(value);
        if (d.tableCount > 0) {
            const size_t info = Begin("StringFileInfo", 1, 0);
            for (size_t t = 0; t < d.tableCount; ++t) {
                char name[9] = {};
                for (int i = 0; i < 8; ++i) name[i] = "0123456789abcdef"[(d.tables[t].langCharset >> (28 - 4 * i)) & 15];
                const size_t table = Begin(name, 1, 0);
                for (size_t s = 0; s < d.tables[t].count; ++s) {
                    const VersionString& entry = d.tables[t].strings[s];
                    const size_t node = Begin(entry.key, 1, static_cast<uint16_t>(Length(entry.value) + 1));
                    Text(entry.value);
                    End(node);
                }
                End(table);
            }
            End(info);
        }
        const size_t var = Begin("VarFileInfo", 1, 0);
        const size_t translation = Begin("Translation", 0, static_cast<uint16_t>(4 * d.translationCount));
        for (size_t i = 0; i < d.translationCount; ++i) {
            Word(static_cast<uint16_t>(d.translations[i] >> 16));
            Word(static_cast<uint16_t>(d.translations[i]));
        }
        End(translation);
        End(var);
        End(root);
    }

    constexpr size_t Size() const { return size_; }
    constexpr const uint8_t* Data() const { return bytes_; }
    constexpr uint8_t operator[](size_t i) const { return bytes_[i]; }

private:
    static constexpr size_t Length(const char* text) {
        size_t n = 0;
        while (text[n] != '\0') ++n;
        return n;
    }

    constexpr void Put(uint8_t byte) {
        // Overflowing the capacity is a compile-time error in a constant
        // expression and stops writing at run time.
        if (size_ < Capacity) bytes_[size_] = byte;
        ++size_;
    }
    constexpr void Word(uint16_t value) {
        Put(static_cast<uint8_t>(value));
        Put(static_cast<uint8_t>(value >> 8));
    }
    constexpr void Dword(uint32_t value) {
        Word(static_cast<uint16_t>(value));
        Word(static_cast<uint16_t>(value >> 16));
    }
    constexpr void Align() {
        while (size_ % 4 != 0) Put(0);
    }
    constexpr void Text(const char* text) {
        for (size_t i = 0; text[i] != '\0'; ++i) Word(static_cast<unsigned char>(text[i]));
        Word(0);
    }
    // A node starts aligned; its length covers header, key, value and children,
    // not the padding after its last byte.
    constexpr size_t Begin(const char* key, uint16_t type, uint16_t valueLength) {
        Align();
        const size_t at = size_;
        Word(0);
        Word(valueLength);
        Word(type);
        Text(key);
        Align();
        return at;
    }
    constexpr void End(size_t at) {
        const size_t length = size_ - at;
        if (at + 1 < Capacity) {
            bytes_[at] = static_cast<uint8_t>(length);
            bytes_[at + 1] = static_cast<uint8_t>(length >> 8);
        }
    }

    uint8_t bytes_[Capacity] = {};
    size_t size_ = 0;
};

// The block as an array of exactly its size.
template <size_t Size, size_t Capacity>
constexpr std::array<uint8_t, Size> TrimVersionBlock(const VersionBlockWriter<Capacity>& writer) {
    static_assert(Size <= Capacity, "block larger than its writer");
    std::array<uint8_t, Size> out{};
    for (size_t i = 0; i < Size; ++i) out[i] = writer[i];
    return out;
}

}  // namespace linuxapi
