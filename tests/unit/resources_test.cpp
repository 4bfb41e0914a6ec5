// The resources that the built qarlov.exe carries: message table, icon,
// manifest and version information. The executable is loaded as a data file
// from the folder of this test.
#include <windows.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

using ::testing::HasSubstr;

namespace {

std::wstring ProgramPath(void)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"qarlov.exe";
}

class ResourcesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Program = LoadLibraryExW(ProgramPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE); }
    static void TearDownTestSuite() { FreeLibrary(Program); }
    static HMODULE Program;
};
HMODULE ResourcesTest::Program = NULL;

std::wstring FormatFromProgram(HMODULE program, DWORD id, const wchar_t* insertion)
{
    wchar_t buffer[256] = L"";
    DWORD_PTR arguments[1] = { (DWORD_PTR)insertion };
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, id, 0,
                                  buffer, 256, (va_list*)arguments);
    return std::wstring(buffer, length);
}

TEST_F(ResourcesTest, MessageTableFramesTheInsertionString)
{
    ASSERT_NE(nullptr, Program);
    struct { DWORD Id; const wchar_t* Expected; } cases[] = {
        { 0x40000001, L"entry text\r\n" },
        { 0x80000002, L"entry text\r\n" },
        { 0x80000064, L"entry text\r\n" },
        { 0xC0000003, L"entry text\r\n" },
        { 0xC00003E8, L"Hello entry text. How do you do?\r\n" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Expected, FormatFromProgram(Program, c.Id, L"entry text")) << std::hex << c.Id;
}

TEST_F(ResourcesTest, MessageTableIsLanguageNeutral)
{
    ASSERT_NE(nullptr, Program);
    EXPECT_NE(nullptr, FindResourceExW(Program, (LPCWSTR)RT_MESSAGETABLE, MAKEINTRESOURCEW(1),
                                       MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL)));
}

#pragma pack(push, 2)
struct IconDirectoryEntry {
    BYTE Width, Height, ColorCount, Reserved;
    WORD Planes, BitCount;
    DWORD BytesInResource;
    WORD Id;
};
struct IconDirectory {
    WORD Reserved, Type, Count;
    IconDirectoryEntry Entries[1];
};
#pragma pack(pop)

TEST_F(ResourcesTest, IconGroup102HoldsFour32BitSizes)
{
    ASSERT_NE(nullptr, Program);
    HRSRC found = FindResourceW(Program, MAKEINTRESOURCEW(102), (LPCWSTR)RT_GROUP_ICON);
    ASSERT_NE(nullptr, found);
    const IconDirectory* group = (const IconDirectory*)LockResource(LoadResource(Program, found));
    ASSERT_EQ(4, group->Count);
    const int sizes[] = { 48, 32, 24, 16 };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sizes[i], group->Entries[i].Width);
        EXPECT_EQ(sizes[i], group->Entries[i].Height);
        EXPECT_EQ(32, group->Entries[i].BitCount);
        HRSRC image = FindResourceW(Program, MAKEINTRESOURCEW(group->Entries[i].Id), (LPCWSTR)RT_ICON);
        ASSERT_NE(nullptr, image);
        const BITMAPINFOHEADER* header = (const BITMAPINFOHEADER*)LockResource(LoadResource(Program, image));
        EXPECT_EQ(32, header->biBitCount);
        EXPECT_EQ(sizes[i], header->biWidth);
    }
}

TEST_F(ResourcesTest, ManifestAsksForTheCallersRightsOnly)
{
    ASSERT_NE(nullptr, Program);
    HRSRC found = FindResourceW(Program, MAKEINTRESOURCEW(1), (LPCWSTR)RT_MANIFEST);
    ASSERT_NE(nullptr, found);
    std::string manifest((const char*)LockResource(LoadResource(Program, found)), SizeofResource(Program, found));
    EXPECT_THAT(manifest, HasSubstr("level=\"asInvoker\""));
    EXPECT_THAT(manifest, HasSubstr("uiAccess=\"false\""));
}

TEST_F(ResourcesTest, FileVersionIs1000)
{
    std::wstring path = ProgramPath();
    DWORD handle = 0, size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &data[0]));
    VS_FIXEDFILEINFO* info = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(&data[0], L"\\", (void**)&info, &length));
    EXPECT_EQ(MAKELONG(0, 1), info->dwFileVersionMS);
    EXPECT_EQ(0u, info->dwFileVersionLS);
}

} // namespace
