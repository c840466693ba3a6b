// version over Linux: the version block lives in an ELF section of the
// program file (the counterpart of a PE file's RT_VERSION resource).
//
// GetFileVersionInfoA delivers the block followed by a scratch area. There
// VerQueryValueA writes the narrow copy of a text found at block offset o
// at scratch offset o / 2: texts never overlap in the block, so their
// copies never overlap either, and each returned pointer lives as long as
// the buffer, as on Windows.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "Common/Ascii.h"
#include "platform/Win32.h"
#include "platform/linux/Internal.h"
#include "platform/linux/VersionInfo.h"

namespace linuxapi {

namespace {

bool Fits(uint64_t offset, uint64_t length, uint64_t limit) { return offset <= limit && length <= limit - offset; }

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

size_t Align4(size_t n) { return (n + 3) & ~size_t{3}; }

struct Node {
    size_t begin, end;  // [begin, end) inside the block
    size_t keyBegin, keyUnits;
    size_t valueBegin, valueBytes;
    size_t childrenBegin;
    bool text;
};

// Reads the node at `begin`, bounded by its parent's `limit`.
bool ReadNode(const uint8_t* block, size_t begin, size_t limit, Node* node) {
    if (!Fits(begin, 6, limit)) return false;
    const size_t length = Word(block + begin);
    const size_t valueLength = Word(block + begin + 2);
    const uint16_t type = Word(block + begin + 4);
    if (length < 6 || !Fits(begin, length, limit)) return false;
    node->begin = begin;
    node->end = begin + length;
    node->keyBegin = begin + 6;
    size_t p = node->keyBegin;
    while (p + 2 <= node->end && Word(block + p) != 0) p += 2;
    if (p + 2 > node->end) return false;  // key without its terminator
    node->keyUnits = (p - node->keyBegin) / 2;
    node->text = type == 1;
    node->valueBegin = std::min(Align4(p + 2), node->end);
    // Text lengths count UTF-16 units; a value claiming more than its node holds is cut.
    node->valueBytes = std::min(node->text ? valueLength * 2 : valueLength, node->end - node->valueBegin);
    node->childrenBegin = std::min(Align4(node->valueBegin + node->valueBytes), node->end);
    return true;
}

bool KeyEquals(const uint8_t* block, const Node& node, const char* name, size_t nameLength) {
    if (node.keyUnits != nameLength) return false;
    for (size_t i = 0; i < nameLength; ++i) {
        if (Ascii::ToLower<unsigned>(Word(block + node.keyBegin + 2 * i)) !=
            Ascii::ToLower<unsigned>(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool FindVersionValue(const uint8_t* block, size_t blockSize, const char* subBlock, VersionValue* value) {
    if (block == nullptr || subBlock == nullptr) return false;
    Node node;
    if (!ReadNode(block, 0, blockSize, &node)) return false;
    const char* p = subBlock;
    for (;;) {
        while (*p == '\\') ++p;
        if (*p == '\0') break;
        const char* name = p;
        while (*p != '\0' && *p != '\\') ++p;
        const size_t nameLength = static_cast<size_t>(p - name);
        bool found = false;
        Node child;
        for (size_t at = node.childrenBegin; !found && ReadNode(block, at, node.end, &child);
             at = Align4(child.end)) {
            found = KeyEquals(block, child, name, nameLength);
        }
        if (!found) return false;
        node = child;
    }
    if (node.valueBytes == 0) return false;
    value->offset = node.valueBegin;
    value->bytes = node.valueBytes;
    value->text = node.text;
    return true;
}

DWORD FindElfSection(ReadAt read, void* context, uint64_t fileSize, const char* name, uint64_t* offset,
                     uint64_t* size) {
    Elf64_Ehdr header;
    if (!Fits(0, sizeof header, fileSize) || !read(context, 0, &header, sizeof header)) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
        header.e_shstrndx >= header.e_shnum) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    const uint64_t tableBytes = uint64_t{header.e_shnum} * sizeof(Elf64_Shdr);
    if (!Fits(header.e_shoff, tableBytes, fileSize)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!read(context, header.e_shoff, sections.data(), tableBytes)) return ERROR_RESOURCE_TYPE_NOT_FOUND;

    const Elf64_Shdr& names = sections[header.e_shstrndx];
    if (names.sh_type == SHT_NOBITS || !Fits(names.sh_offset, names.sh_size, fileSize)) {
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    const size_t nameBytes = std::strlen(name) + 1;
    std::vector<char> candidate(nameBytes);
    for (const Elf64_Shdr& section : sections) {
        if (!Fits(section.sh_name, nameBytes, names.sh_size)) continue;
        if (!read(context, names.sh_offset + section.sh_name, candidate.data(), nameBytes)) continue;
        if (std::memcmp(candidate.data(), name, nameBytes) != 0) continue;
        if (section.sh_type == SHT_NOBITS || !Fits(section.sh_offset, section.sh_size, fileSize)) {
            return ERROR_RESOURCE_TYPE_NOT_FOUND;
        }
        *offset = section.sh_offset;
        *size = section.sh_size;
        return ERROR_SUCCESS;
    }
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

}  // namespace linuxapi

namespace {

bool ReadFileAt(void* context, uint64_t offset, void* buffer, size_t length) {
    const int fd = *static_cast<int*>(context);
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        ssize_t n = pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The file to open for `path`. The program's own module name is the target of
// /proc/self/exe; once the file has been replaced or deleted (an upgrade in
// place) that name ends in " (deleted)" and no longer names it, but the
// running image stays readable through the link itself. Another path is
// opened as given.
const char* FileToOpen(const char* path) {
    char own[4096];
    const ssize_t length = readlink("/proc/self/exe", own, sizeof own);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof own) return path;
    const size_t size = static_cast<size_t>(length);
    const bool isOwn = std::strlen(path) == size && std::memcmp(path, own, size) == 0;
    return isOwn ? "/proc/self/exe" : path;
}

// Opens `path` and finds its version block: the section's start and the
// block's own length, which must fit the section. Returns an error code.
DWORD LocateVersionBlock(LPCSTR path, int* fd, uint64_t* offset, size_t* blockSize) {
    if (path == nullptr || path[0] == '\0') return ERROR_INVALID_PARAMETER;
    *fd = open(FileToOpen(path), O_RDONLY | O_CLOEXEC);
    if (*fd < 0) return linuxapi::ErrorFromErrno(errno);
    struct stat info;
    DWORD error = ERROR_SUCCESS;
    uint64_t sectionSize = 0;
    uint8_t header[2];
    if (fstat(*fd, &info) != 0) {
        error = linuxapi::ErrorFromErrno(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    } else {
        error = linuxapi::FindElfSection(ReadFileAt, fd, static_cast<uint64_t>(info.st_size),
                                      linuxapi::kVersionSectionName, offset, &sectionSize);
    }
    if (error == ERROR_SUCCESS) {
        if (sectionSize < 6 || !ReadFileAt(fd, *offset, header, sizeof header)) {
            error = ERROR_RESOURCE_DATA_NOT_FOUND;
        } else {
            *blockSize = linuxapi::Word(header);
            if (*blockSize < 6 || *blockSize > sectionSize) error = ERROR_INVALID_DATA;
        }
    }
    if (error != ERROR_SUCCESS) {
        close(*fd);
        *fd = -1;
    }
    return error;
}

}  // namespace

extern "C" {

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) *lpdwHandle = 0;
    int fd = -1;
    uint64_t offset = 0;
    size_t blockSize = 0;
    DWORD error = LocateVersionBlock(lptstrFilename, &fd, &offset, &blockSize);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    close(fd);
    return static_cast<DWORD>(linuxapi::VersionBufferSize(blockSize));
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
    if (lpData == nullptr) return linuxapi::Fail(ERROR_INVALID_PARAMETER);
    int fd = -1;
    uint64_t offset = 0;
    size_t blockSize = 0;
    DWORD error = LocateVersionBlock(lptstrFilename, &fd, &offset, &blockSize);
    if (error != ERROR_SUCCESS) return linuxapi::Fail(error);
    // A short buffer is refused rather than filled with a cut block.
    const size_t needed = linuxapi::VersionBufferSize(blockSize);
    BOOL ok = TRUE;
    if (dwLen < needed) {
        ok = linuxapi::Fail(ERROR_INSUFFICIENT_BUFFER);
    } else if (!ReadFileAt(&fd, offset, lpData, blockSize)) {
        ok = linuxapi::Fail(ERROR_INVALID_DATA);
    } else {
        std::memset(static_cast<char*>(lpData) + blockSize, 0, needed - blockSize);
    }
    close(fd);
    return ok;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) return FALSE;
    const auto* block = static_cast<const uint8_t*>(pBlock);
    const size_t blockSize = linuxapi::Word(block);
    linuxapi::VersionValue value;
    if (!linuxapi::FindVersionValue(block, blockSize, lpSubBlock, &value)) return FALSE;
    if (!value.text) {
        *lplpBuffer = const_cast<uint8_t*>(block + value.offset);
        if (puLen != nullptr) *puLen = static_cast<UINT>(value.bytes);
        return TRUE;
    }
    // Narrow copy into this text's own slot; non-ASCII units become '?'.
    const size_t units = value.bytes / 2;
    char* copy = reinterpret_cast<char*>(const_cast<uint8_t*>(block)) + blockSize + value.offset / 2;
    size_t n = 0;
    while (n + 1 < units) {  // a text without terminator loses its last unit to the NUL
        uint16_t unit = linuxapi::Word(block + value.offset + 2 * n);
        if (unit == 0) break;
        copy[n++] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    copy[n] = '\0';
    *lplpBuffer = copy;
    if (puLen != nullptr) *puLen = static_cast<UINT>(n + 1);
    return TRUE;
}

}  // extern "C"
