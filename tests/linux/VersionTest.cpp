// The version API over ELF files: the program's own block, files the tests
// make with other blocks, and files that are broken or hostile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "check/VersionBlock.h"
#include "platform/Win32.h"
#include "platform/linux/VersionBlockWriter.h"
#include "platform/linux/VersionInfo.h"
#include "tests/support/Subprocess.h"
#include "windows/Contrib/FileVersion/FileVersion.h"

namespace {

const std::string kProgram = TRELMARK_PROGRAM;
const std::string kSmallElf = TRELMARK_MEMHOG;

std::string TempPath(const std::string& name) { return ::testing::TempDir() + "trelmark-version-" + name; }

void WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A copy of a small ELF program carrying `block` as its version section.
std::string ElfWithBlock(const std::string& name, const std::vector<uint8_t>& block) {
    const std::string blockPath = TempPath(name + ".bin");
    const std::string elfPath = TempPath(name + ".elf");
    WriteFile(blockPath, block.data(), block.size());
    const testsupport::Result r = testsupport::Run(
        {"/usr/bin/objcopy", "--add-section", std::string(linuxapi::kVersionSectionName) + "=" + blockPath, kSmallElf,
         elfPath});
    EXPECT_EQ(r.status, 0) << r.err;
    return elfPath;
}

std::vector<uint8_t> Block(const linuxapi::VersionDescription& d) {
    linuxapi::VersionBlockWriter<8192> writer(d);
    return std::vector<uint8_t>(writer.Data(), writer.Data() + writer.Size());
}

linuxapi::VersionDescription Describe(const linuxapi::VersionStringTable* tables, size_t tableCount,
                                   const uint32_t* translations, size_t translationCount) {
    linuxapi::VersionDescription d = check::kVersionDescription;
    d.tables = tables;
    d.tableCount = tableCount;
    d.translations = translations;
    d.translationCount = translationCount;
    return d;
}

TEST(VersionApi, TheProgramCarriesItsOwnBlock) {
    CFileVersion version;
    ASSERT_TRUE(version.Open(kProgram.c_str()));
    EXPECT_TRUE(version.IsOpen());
    EXPECT_EQ(version.GetFileVersion(), "1, 0, 0, 54");
    EXPECT_EQ(version.QueryValue("ProductVersion"), "1, 0, 0, 54");
    EXPECT_EQ(version.QueryValue("productversion"), "1, 0, 0, 54");  // keys ignore case
    EXPECT_EQ(version.QueryValue("OriginalFilename"), "Trelmark64.exe");
    CFileVersion plugin;  // each program carries its own block
    ASSERT_TRUE(plugin.Open(TRELMARK_PLUGIN));
    EXPECT_EQ(plugin.QueryValue("OriginalFilename"), "check_trelmark.exe");
    EXPECT_EQ(plugin.GetFileVersion(), "1, 0, 0, 54");
    EXPECT_EQ(version.QueryValue("NoSuchKey"), "");
    EXPECT_EQ(version.QueryValue("FileVersion", 0x04090000), "");  // only the stored translation exists

    DWORD handle = 7;
    const DWORD size = GetFileVersionInfoSizeA(kProgram.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<uint8_t> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(kProgram.c_str(), 0, size, data.data()));
    LPVOID value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwStrucVersion, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00000036u);
    EXPECT_EQ(fixed.dwProductVersionLS, 0x00000036u);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x1Fu);
    EXPECT_EQ(fixed.dwFileOS, 4u);
    EXPECT_EQ(fixed.dwFileType, 1u);
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(static_cast<WORD*>(value)[0], 0x0409);
    EXPECT_EQ(static_cast<WORD*>(value)[1], 0x04B0);

    // Texts handed out earlier stay valid after later queries.
    LPVOID first = nullptr, second = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904b0\\CompanyName", &first, &length));
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904b0\\FileVersion", &second, &length));
    EXPECT_STREQ(static_cast<char*>(first), TRELMARK_COMPANY_NAME);
    EXPECT_STREQ(static_cast<char*>(second), "1, 0, 0, 54");
    EXPECT_EQ(length, 12u);

    std::vector<uint8_t> small(size - 1);
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoA(kProgram.c_str(), 0, size - 1, small.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(VersionApi, OwnFileByModulePath) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(GetModuleHandleA(nullptr), path, MAX_PATH);
    ASSERT_GT(n, 0u);
    char real[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", real, sizeof real - 1), 0);
    EXPECT_STREQ(path, real);

    // A path that does not fit is cut and terminated, as on Windows.
    char cut[5];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut, sizeof cut), sizeof cut);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(cut), std::string(real, 4));

    // This test binary has no version block: NULL and "" both read it and fail alike.
    CFileVersion version;
    EXPECT_FALSE(version.Open(nullptr));
    EXPECT_FALSE(version.Open(""));
    EXPECT_FALSE(version.IsOpen());
    EXPECT_FALSE(version.Open(std::string(MAX_PATH, 'a').c_str()));  // refused, not overflowed
}

TEST(VersionApi, FilesWithoutABlockFailWithTheirOwnCodes) {
    const std::string text = TempPath("not-elf.txt");
    WriteFile(text, "hello", 5);
    const std::vector<uint8_t> program = ReadFile(kProgram);
    const std::string truncated = TempPath("truncated.elf");
    WriteFile(truncated, program.data(), 200);  // headers point past the end
    struct Case {
        std::string path;
        DWORD error;
    } const cases[] = {
        {TempPath("missing"), ERROR_FILE_NOT_FOUND},
        {text, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {kSmallElf, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {truncated, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"/proc", ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        DWORD handle;
        SetLastError(0);
        EXPECT_EQ(GetFileVersionInfoSizeA(c.path.c_str(), &handle), 0u) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        CFileVersion version;
        EXPECT_FALSE(version.Open(c.path.c_str())) << c.path;
    }
}

TEST(VersionApi, OtherBlocksReadAsTheyAreWritten) {
    const linuxapi::VersionString dotted[] = {{"FileVersion", "1.0.0.54"}};
    const linuxapi::VersionString odd[] = {{"FileVersion", "70000, -1, 0, 54"}, {"Comments", "caf\xc3\xa9"}};
    const linuxapi::VersionString none[] = {{"ProductName", "x"}};
    const linuxapi::VersionString german[] = {{"FileVersion", "9, 9, 9, 9"}};
    const linuxapi::VersionStringTable dottedTable[] = {{0x040904B0, dotted, 1}};
    const linuxapi::VersionStringTable oddTable[] = {{0x040904B0, odd, 2}};
    const linuxapi::VersionStringTable noneTable[] = {{0x040904B0, none, 1}};
    const linuxapi::VersionStringTable germanFirst[] = {{0x040704B0, german, 1}, {0x040904B0, odd, 2}};
    const uint32_t us[] = {0x040904B0};
    const uint32_t usThenGerman[] = {0x040904B0, 0x040704B0};
    const uint32_t germanThenUs[] = {0x040704B0, 0x040904B0};

    struct Case {
        const char* name;
        linuxapi::VersionDescription description;
        const char* fileVersion;
        const char* comments;
    } const cases[] = {
        {"dotted", Describe(dottedTable, 1, us, 1), "1.0.0.54", ""},
        {"odd", Describe(oddTable, 1, us, 1), "70000, -1, 0, 54", "caf??"},
        {"no-key", Describe(noneTable, 1, us, 1), "", ""},
        {"no-table", Describe(nullptr, 0, us, 1), "", ""},
        {"first-translation-used", Describe(germanFirst, 2, usThenGerman, 2), "70000, -1, 0, 54", "caf??"},
        {"other-table-never-found", Describe(oddTable, 1, germanThenUs, 2), "", ""},
    };
    for (const Case& c : cases) {
        const std::string path = ElfWithBlock(c.name, Block(c.description));
        CFileVersion version;
        ASSERT_TRUE(version.Open(path.c_str())) << c.name;
        EXPECT_EQ(version.GetFileVersion(), c.fileVersion) << c.name;
        EXPECT_EQ(version.QueryValue("Comments"), c.comments) << c.name;
    }
}

TEST(VersionApi, LyingAndTruncatedBlocksFailCleanly) {
    const std::vector<uint8_t> good = Block(check::kVersionDescription);
    auto patchWord = [](std::vector<uint8_t> block, size_t at, uint16_t value) {
        block[at] = static_cast<uint8_t>(value);
        block[at + 1] = static_cast<uint8_t>(value >> 8);
        return block;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> block;
        bool opens;
    } const cases[] = {
        {"root-longer-than-section", patchWord(good, 0, static_cast<uint16_t>(good.size() + 100)), false},
        {"root-too-short", patchWord(good, 0, 4), false},
        {"cut-in-half", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2), false},
        {"five-bytes", std::vector<uint8_t>(good.begin(), good.begin() + 5), false},
        {"root-shorter-than-children", patchWord(good, 0, 100), false},
        {"string-value-longer-than-node", patchWord(good, 0x5C + 2, 0xFFFF), true},
    };
    for (const Case& c : cases) {
        const std::string path = ElfWithBlock(c.name, c.block);
        CFileVersion version;
        EXPECT_EQ(version.Open(path.c_str()) != FALSE, c.opens) << c.name;
        if (c.opens) {
            EXPECT_LT(version.GetFileVersion().size(), 64u) << c.name;
        }
    }
}

TEST(VersionApi, ReopenAndCloseKeepTheObjectConsistent) {
    CFileVersion version;
    ASSERT_TRUE(version.Open(kProgram.c_str()));
    ASSERT_TRUE(version.Open(kProgram.c_str()));  // the old block is freed, not leaked (ASan)
    EXPECT_FALSE(version.Open(kSmallElf.c_str()));
    EXPECT_FALSE(version.IsOpen());
    version.Close();
    version.Close();
    ASSERT_TRUE(version.Open(kProgram.c_str()));
    // A failure at the path step leaves an open object open.
    EXPECT_FALSE(version.Open(std::string(300, 'x').c_str()));
    EXPECT_TRUE(version.IsOpen());
}

// The resource compiler's block for a program's .rc file, from its .res output.
std::vector<uint8_t> WindresBlock(const std::string& rc) {
    const std::string res = TempPath("windres.res");
    const testsupport::Result r = testsupport::Run({TRELMARK_WINDRES, "-O", "res", TRELMARK_SOURCE_DIR "/" + rc, res});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> bytes = ReadFile(res);
    auto dword = [&](size_t at) {
        return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
    };
    // Entries: DataSize, HeaderSize, then TYPE and NAME as 0xFFFF + ordinal.
    for (size_t at = 0; at + 16 <= bytes.size();) {
        const uint32_t dataSize = dword(at), headerSize = dword(at + 4);
        const bool version = dword(at + 8) == 0x0010FFFFu && dword(at + 12) == 0x0001FFFFu;
        if (version && at + headerSize + dataSize <= bytes.size()) {
            return std::vector<uint8_t>(bytes.begin() + at + headerSize, bytes.begin() + at + headerSize + dataSize);
        }
        at += (headerSize + dataSize + 3) & ~3u;
        if (headerSize == 0) break;
    }
    return {};
}

TEST(VersionApi, SameBlocksAsTheWindowsResourceCompiler) {
    if (std::string(TRELMARK_WINDRES).empty()) GTEST_SKIP() << "windres is not installed";
    const struct {
        const char* rc;
        const linuxapi::VersionDescription& description;
    } programs[] = {{"check/Trelmark64.rc", check::kVersionDescription},
                    {"plugin/check_trelmark.rc", check::kPluginVersionDescription}};
    for (const auto& program : programs) {
        const std::vector<uint8_t> theirs = WindresBlock(program.rc);
        const std::vector<uint8_t> ours = Block(program.description);
        ASSERT_FALSE(theirs.empty()) << program.rc;
        for (const char* key : {"\\StringFileInfo\\040904b0\\CompanyName", "\\StringFileInfo\\040904b0\\FileVersion",
                                "\\StringFileInfo\\040904b0\\OriginalFilename",
                                "\\StringFileInfo\\040904b0\\ContactSupport"}) {
            linuxapi::VersionValue a{}, b{};
            ASSERT_TRUE(linuxapi::FindVersionValue(theirs.data(), theirs.size(), key, &a)) << program.rc << key;
            ASSERT_TRUE(linuxapi::FindVersionValue(ours.data(), ours.size(), key, &b)) << program.rc << key;
            EXPECT_EQ(std::vector<uint8_t>(theirs.begin() + a.offset, theirs.begin() + a.offset + a.bytes),
                      std::vector<uint8_t>(ours.begin() + b.offset, ours.begin() + b.offset + b.bytes))
                << program.rc << key;
        }
        EXPECT_EQ(theirs, ours) << program.rc << ": byte layout differs from windres";
    }
}

}  // namespace
