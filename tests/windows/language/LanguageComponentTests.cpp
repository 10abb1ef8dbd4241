// The language component and the shipped language files as Windows loads them: from a
// folder of their own, without the compiler's runtime beside them.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <kestrune/language_abi.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace {

constexpr wchar_t kChoiceKey[] = L"Software\\Vaskor Security\\Vaskor Kestrune\\Settings";
constexpr DWORD kSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
const wchar_t* const kShipped[] = {L"VSKLanguage.dll", L"VSKLanguageKestrune_NTV.dll",
                                   L"VSKLanguageKestrune_DE.dll"};

std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.erase(folder.find_last_of(L'\\') + 1);
}

std::string bytesOf(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> exportedNames(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> result;
    for (DWORD i = 0; directory.Size && i < exports->NumberOfNames; ++i)
        result.insert(reinterpret_cast<const char*>(base + names[i]));
    return result;
}

template <typename Fn> Fn entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class WindowsLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"kestrune-lang-" + std::to_wstring(GetTickCount()) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        dir_.assign(folder_.begin(), folder_.end());
        for (const wchar_t* name : kShipped)
            ASSERT_TRUE(CopyFileW((programFolder() + name).c_str(), (folder_ + name).c_str(), 1));
        component_ = LoadLibraryExW((folder_ + L"VSKLanguage.dll").c_str(), nullptr, kSearch);
        ASSERT_NE(component_, nullptr) << "error " << GetLastError();
    }
    void TearDown() override {
        if (component_)
            FreeLibrary(component_);
        // The tests run in a Wine of their own (script/test-windows), whose choice is theirs.
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kChoiceKey, L"Language");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    int32_t amount() {
        return entry<KestruneGetAmountLanguages>(component_, "GetAmountLanguages")(
            dir_.data(), pattern_.data(), version_.data());
    }
    std::u16string current() {
        char16_t* code = entry<KestruneGetCurrentLanguage>(component_, "GetCurrentLanguage")();
        std::u16string copy = code ? code : u"(null)";
        std::free(code);
        return copy;
    }
    int32_t choose(std::u16string code) {
        return entry<KestruneSetCurrentLanguage>(component_, "SetCurrentLanguage")(0, code.data());
    }
    std::wstring folder_;
    std::u16string dir_, pattern_ = u"VSKLanguageKestrune_*.dll", version_ = u"1.0.0.1";
    HMODULE component_ = nullptr;
};

// Each DLL exports its entries and nothing else. Row 0 is the fallback language; a folder
// and a file that only resemble the pattern are not languages. Every row's file answers its
// own code and carries its language's pictures as resources: "JPG" pictures byte for byte,
// bitmaps as the system's own.
TEST_F(WindowsLanguage, ShippedLanguagesAreListedWithTheirTextsAndPictures) {
    EXPECT_EQ(exportedNames(component_),
              (std::set<std::string>{"GetAmountLanguages", "GetCurrentLanguage", "GetLanguages",
                                     "SetCurrentLanguage"}));
    ASSERT_TRUE(CreateDirectoryW((folder_ + L"VSKLanguageKestrune_XX.dll").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((folder_ + kShipped[2]).c_str(),
                          (folder_ + L"VSKLanguageKestrune_DE.dll.old").c_str(), 1));
    ASSERT_EQ(amount(), 2);
    char16_t codes[2][5] = {}, names[2][25] = {}, paths[2][500] = {}, versions[2][9] = {};
    KestruneLanguageEntry table[2] = {{codes[0], names[0], paths[0], versions[0]},
                                      {codes[1], names[1], paths[1], versions[1]}};
    KestruneLanguageEntry* rows = table;
    ASSERT_EQ(entry<KestruneGetLanguages>(component_, "GetLanguages")(dir_.data(), pattern_.data(),
                                                                      version_.data(), &rows),
              2);
    EXPECT_EQ(std::u16string(names[0]) + u"," + names[1], u"English,Deutsch");

    for (int i = 0; i < 2; ++i) {
        const std::u16string row = i == 0 ? u"NTV" : u"DE";
        EXPECT_EQ(std::u16string(codes[i]), row);
        EXPECT_EQ(std::u16string(paths[i]), dir_ + u"VSKLanguageKestrune_" + row + u".dll");
        HMODULE file = LoadLibraryExW(reinterpret_cast<wchar_t*>(paths[i]), nullptr, kSearch);
        ASSERT_NE(file, nullptr) << "error " << GetLastError();
        EXPECT_EQ(exportedNames(file), (std::set<std::string>{"GetBitmapId", "GetStringByString"}));
        auto text = entry<KestruneGetStringByString>(file, "GetStringByString");
        char16_t* code = text(1, u"Language_codes");
        EXPECT_EQ(std::u16string(code), row);
        std::free(code);

        auto imageId = entry<KestruneGetBitmapId>(file, "GetBitmapId");
        EXPECT_EQ(imageId(1, u"no_such_picture"), -1);
        HRSRC top = FindResourceW(file, MAKEINTRESOURCEW(imageId(1, u"top")), L"JPG");
        ASSERT_NE(top, nullptr);
        std::string source = KESTRUNE_SOURCE_DIR "/res/lang/";
        source += std::string(row.begin(), row.end()) + "/top.jpg";
        EXPECT_EQ(std::string(static_cast<const char*>(LockResource(LoadResource(file, top))),
                              SizeofResource(file, top)),
                  bytesOf(L"Z:" + std::wstring(source.begin(), source.end())));

        HBITMAP background = LoadBitmapW(file, MAKEINTRESOURCEW(imageId(1, u"info_bkg")));
        BITMAP facts{};
        ASSERT_NE(GetObjectW(background, sizeof facts, &facts), 0);
        EXPECT_EQ(std::pair(facts.bmWidth, facts.bmHeight), std::pair(LONG(720), LONG(160)));
        DeleteObject(background);
        FreeLibrary(file);
    }
}

// The choice goes to the user's part of the registry, only for a listed language; a value
// there that is no code counts as no choice, so the session's language applies.
TEST_F(WindowsLanguage, ChoiceIsKeptInTheUsersRegistry) {
    EXPECT_EQ(choose(u"DE"), 0) << "nothing listed yet";
    ASSERT_EQ(amount(), 2);
    EXPECT_EQ(choose(u"FR"), 0);
    EXPECT_EQ(choose(u"de"), 1);
    EXPECT_EQ(current(), u"DE");
    wchar_t stored[16] = {};
    DWORD size = sizeof stored;
    RegGetValueW(HKEY_CURRENT_USER, kChoiceKey, L"Language", RRF_RT_REG_SZ, 0, stored, &size);
    EXPECT_EQ(std::wstring(stored), L"DE");
    EXPECT_EQ(choose(u"NTV"), 1);
    EXPECT_EQ(current(), u"NTV");

    const std::u16string session =
        PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN ? u"DE" : u"NTV";
    const DWORD number = 1;
    const struct {
        DWORD type;
        const void* data;
        DWORD size;
    } damaged[] = {{REG_SZ, L"TOOLONG", 16}, {REG_SZ, L"../x", 10}, {REG_DWORD, &number, 4}};
    for (const auto& value : damaged) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kChoiceKey, L"Language", value.type,
                                  value.data, value.size),
                  ERROR_SUCCESS);
        EXPECT_EQ(current(), session);
    }
}

TEST_F(WindowsLanguage, TruncatedLanguageFileIsLeftOutWithItsReason) {
    const std::string whole = bytesOf(folder_ + kShipped[1]);
    std::ofstream((folder_ + L"VSKLanguageKestrune_XX.dll").c_str(), std::ios::binary)
        << whole.substr(0, whole.size() / 2);
    const std::wstring log = folder_ + L"stderr.txt";
    std::fflush(stderr);
    const int saved = _dup(2), fd = _wopen(log.c_str(), _O_WRONLY | _O_CREAT, 0600);
    _dup2(fd, 2);
    EXPECT_EQ(amount(), 2);
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(fd);
    _close(saved);
    const std::string told = bytesOf(log);
    EXPECT_NE(told.find("VSKLanguageKestrune_XX.dll left out: "), std::string::npos) << told;
    EXPECT_NE(told.find("truncated"), std::string::npos) << told;
}

} // namespace
