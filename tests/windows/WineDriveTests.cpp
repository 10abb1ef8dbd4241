// Whole jobs through Windows' own raw disk I/O, on a drive letter that Wine maps to a loop
// device (set up by wine-loop-drive around these tests).
#include "shredengine/WindowsDisk.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace kestrune::engine;

namespace {

// A Unix path as Wine's drive Z: shows it.
std::string throughDriveZ(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

struct WineDrive {
    wchar_t letter = 0;
    std::string image; // as a Windows path
    std::string skipReason;
};

WineDrive wineDrive() {
    WineDrive drive;
    const char* state = std::getenv("KESTRUNE_WINE_DRIVE_STATE");
    if (!state) {
        drive.skipReason = "KESTRUNE_WINE_DRIVE_STATE is not set: run through script/test-windows";
        return drive;
    }
    std::ifstream in(throughDriveZ(state));
    std::string first;
    if (!(in >> first)) {
        drive.skipReason = std::string("no drive was set up: ") + state + " is missing";
        return drive;
    }
    if (first == "skip") {
        std::getline(in, drive.skipReason);
        return drive;
    }
    std::string loop, image;
    in >> loop >> image;
    drive.letter = static_cast<wchar_t>(first.at(0));
    drive.image = throughDriveZ(image);
    return drive;
}

std::vector<uint8_t> contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The device number Windows gives the disk behind the drive letter.
bool deviceNumberOf(const std::wstring& path, uint32_t& number) {
    HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    STORAGE_DEVICE_NUMBER device{};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device,
                                    sizeof device, &returned, nullptr);
    CloseHandle(handle);
    number = device.DeviceNumber;
    return ok;
}

struct Findings {
    std::vector<std::pair<int32_t, int64_t>> seen;
    int progress = 0;
};

void collect(void* context, int32_t, int32_t status, int64_t, int64_t second, double) {
    auto* findings = static_cast<Findings*>(context);
    if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST)
        findings->seen.emplace_back(status, second);
    else if (status >= 0 && status <= 100)
        ++findings->progress;
}

class WineDriveTest : public testing::Test {
protected:
    void SetUp() override {
        drive = wineDrive();
        if (!drive.skipReason.empty())
            GTEST_SKIP() << drive.skipReason;
        path = std::wstring(L"\\\\.\\") + drive.letter + L":";
        ASSERT_TRUE(deviceNumberOf(path, number)) << "no device number for the drive";
        size = contents(drive.image).size();
        ASSERT_GT(size, 0u) << drive.image;
    }
    int32_t shred(int32_t algorithm, uint32_t deviceNumber, Findings& findings) {
        WindowsDiskOptions options;
        options.requireRemovable = false; // Wine tells no bus
        return shredWindowsDisk(systemWin32Calls(), path, deviceNumber, drive.letter, algorithm,
                                collect, &findings, nullptr, options);
    }

    WineDrive drive;
    std::wstring path;
    uint32_t number = 0;
    size_t size = 0;
};

} // namespace

TEST_F(WineDriveTest, AWholeJobOverwritesAndVerifiesTheDriveToItsLastSector) {
    for (int32_t algorithm : {ALGORITHM_RANDOM, ALGORITHM_ZERO}) {
        SCOPED_TRACE(algorithm);
        Findings findings;
        EXPECT_EQ(shred(algorithm, number, findings), SHRED_STATUS_SHREDDED);
        EXPECT_GT(findings.progress, 0);
        const std::vector<std::pair<int32_t, int64_t>> expected{
            {SHRED_FINDING_PASSES_DONE, 1},
            {SHRED_FINDING_CAPACITY, static_cast<int64_t>(size)},
            {SHRED_FINDING_VERIFIED, 0}};
        EXPECT_EQ(findings.seen, expected);
        const std::vector<uint8_t> after = contents(drive.image);
        ASSERT_EQ(after.size(), size);
        if (algorithm == ALGORITHM_ZERO)
            EXPECT_EQ(std::count(after.begin(), after.end(), 0), static_cast<long>(size));
        else
            EXPECT_EQ(std::set<uint8_t>(after.begin(), after.end()).size(), 256u);
        // Not a sector of what was there, the last one included.
        EXPECT_LT(std::count(after.end() - 512, after.end(), 'Z'), 20);
    }
}

TEST_F(WineDriveTest, ADriveLetterOnAnotherDiskThanTheNumberIsNeverWritten) {
    const std::vector<uint8_t> before = contents(drive.image);
    Findings findings;
    EXPECT_EQ(shred(ALGORITHM_ZERO, number + 1, findings), SHRED_STATUS_FAILED_MEDIA);
    EXPECT_TRUE(findings.seen.empty());
    EXPECT_EQ(contents(drive.image), before);
}
