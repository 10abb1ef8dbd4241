// What the export macro makes of a component on Windows: its entry under its plain C name,
// callable through the ABI's types, and nothing else.
#include <windows.h>

#include <gtest/gtest.h>
#include <kestrune/disk_numbers.h>
#include <kestrune/shred_abi.h>

#include <algorithm>

#include <set>
#include <string>
#include <vector>

namespace {

std::wstring besideThisProgram(const wchar_t* relative) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return folder + relative;
}

class Library {
public:
    explicit Library(const wchar_t* relative)
        : module_(LoadLibraryW(besideThisProgram(relative).c_str())), error_(GetLastError()) {}
    ~Library() {
        if (module_)
            FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE module() const { return module_; }
    VSKRMShredFn entry() const {
        return reinterpret_cast<VSKRMShredFn>(
            reinterpret_cast<void*>(GetProcAddress(module_, KESTRUNE_SHRED_ENTRY)));
    }
    DWORD error() const { return error_; }

    // The names in the library's export table.
    std::set<std::string> exportedNames() const {
        const auto* base = reinterpret_cast<const uint8_t*>(module_);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        std::set<std::string> names;
        if (directory.VirtualAddress == 0 || directory.Size == 0)
            return names;
        const auto* exports =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
        const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(reinterpret_cast<const char*>(base + nameOffsets[i]));
        return names;
    }

private:
    HMODULE module_;
    DWORD error_;
};

struct Calls {
    std::vector<int32_t> statuses;
    std::set<int32_t> devices;
};

void record(void* context, int32_t device, int32_t status, int64_t, int64_t, double) {
    auto* calls = static_cast<Calls*>(context);
    calls->statuses.push_back(status);
    calls->devices.insert(device);
}

} // namespace

TEST(ComponentExport, TheEntryIsFoundByItsNameAndCalledThroughTheAbi) {
    Library engine(L"fake\\VSKRemovableShredder.dll");
    ASSERT_NE(engine.module(), nullptr) << "LoadLibraryW: error " << engine.error();
    EXPECT_EQ(engine.exportedNames(), std::set<std::string>{KESTRUNE_SHRED_ENTRY});
    const VSKRMShredFn shred = engine.entry();
    ASSERT_NE(shred, nullptr);

    unsigned char abortFlag = 0;
    Calls calls;
    EXPECT_EQ(shred(L'E', 7, 101, record, &calls, 0, &abortFlag), SHRED_STATUS_SHREDDED);
    EXPECT_EQ(calls.devices, std::set<int32_t>{7});
    EXPECT_EQ(calls.statuses,
              (std::vector<int32_t>{0, 50, 100, SHRED_FINDING_PASSES_DONE, SHRED_FINDING_CAPACITY,
                                    SHRED_FINDING_VERIFIED}));
}

// The engine's own inside never leaves it: what it exports is its entry alone. The entry
// refuses an unknown algorithm before it looks for a disk, and a disk number no machine
// has (never one that might be a real disk here) as a medium that is not there.
TEST(ComponentExport, TheEngineShowsOnlyItsEntryWhichKeepsToItsRules) {
    Library engine(L"VSKRemovableShredder.dll");
    ASSERT_NE(engine.module(), nullptr) << "LoadLibraryW: error " << engine.error();
    EXPECT_EQ(engine.exportedNames(), std::set<std::string>{KESTRUNE_SHRED_ENTRY});
    const VSKRMShredFn shred = engine.entry();
    ASSERT_NE(shred, nullptr);
    unsigned char abortFlag = 0;
    Calls calls;
    EXPECT_EQ(shred(0, 0, 99, record, &calls, 0, &abortFlag), -2);
    EXPECT_EQ(shred(0, 0xFFFFFFF0u, 100, record, &calls, 0, &abortFlag), SHRED_STATUS_FAILED_MEDIA);
    EXPECT_TRUE(calls.statuses.empty());
}

// A simulated disk reaches the engine as the program lists it: a number of the pool the
// program and the engine share, standing for an image file.
TEST(ComponentExport, TheEngineShredsTheImageFileItsNumberStandsFor) {
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring image = std::wstring(folder) + L"kestrune-simulated-stick.img";
    {
        HANDLE file = CreateFileW(image.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        std::vector<char> bytes(1 << 20, 'S');
        DWORD wrote = 0;
        ASSERT_TRUE(WriteFile(file, bytes.data(), DWORD(bytes.size()), &wrote, nullptr));
        CloseHandle(file);
    }
    KestruneDiskIdentity identity{};
    WideCharToMultiByte(CP_UTF8, 0, image.c_str(), -1, identity.path, sizeof identity.path, nullptr,
                        nullptr);
    identity.devt = 1;
    identity.diskseq = 2;
    identity.simulated = 1;
    const int32_t number = kestrune_disk_number_acquire(&identity);
    ASSERT_GE(number, 0);

    Library engine(L"VSKRemovableShredder.dll");
    ASSERT_NE(engine.module(), nullptr) << "LoadLibraryW: error " << engine.error();
    unsigned char abortFlag = 0;
    Calls calls;
    EXPECT_EQ(engine.entry()(0, uint32_t(number), 100, record, &calls, 0, &abortFlag),
              SHRED_STATUS_SHREDDED);
    EXPECT_EQ(calls.devices, std::set<int32_t>{number});
    kestrune_disk_number_release(number);
    // Once the number is free, it stands for nothing the engine may write.
    EXPECT_EQ(engine.entry()(0, uint32_t(number), 100, record, &calls, 0, &abortFlag),
              SHRED_STATUS_FAILED_MEDIA);

    HANDLE file = CreateFileW(image.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<char> bytes(1 << 20);
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr));
    CloseHandle(file);
    DeleteFileW(image.c_str());
    EXPECT_EQ(read, bytes.size());
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), std::ptrdiff_t(bytes.size()));
}
