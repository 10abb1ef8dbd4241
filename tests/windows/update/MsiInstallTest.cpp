// Installing the package: msiexec by its full path with the package from a folder only
// administrators can change, against a table answering as Windows documents it; the folder
// itself against Wine.
#include "MsiInstall.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using namespace kestrune::update;

namespace {

struct Machine {
    int takenNames = 0; // folders that exist already
    std::wstring securityText, folderMade, application, command, workingFolder;
    BOOL started = TRUE;
    DWORD exitCode = 0;
    int handles = 0;
    DWORD error = 0;
};
Machine* machine = nullptr;

struct Fake {
    static HRESULT WINAPI knownFolder(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
        static wchar_t folder[] = L"C:\\ProgramData";
        *path = folder;
        return S_OK;
    }
    static void WINAPI freeMemory(LPVOID) {}
    static BOOL WINAPI securityFromText(LPCWSTR text, DWORD, PSECURITY_DESCRIPTOR* descriptor,
                                        PULONG) {
        machine->securityText = text;
        *descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
        return TRUE;
    }
    static HLOCAL WINAPI localFree(HLOCAL) { return nullptr; }
    static NTSTATUS WINAPI randomBytes(BCRYPT_ALG_HANDLE, PUCHAR bytes, ULONG size, ULONG) {
        std::fill(bytes, bytes + size, 0xab);
        return 0;
    }
    static BOOL WINAPI createDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
        if (!attributes || attributes->lpSecurityDescriptor != reinterpret_cast<void*>(1) ||
            machine->takenNames-- > 0) {
            machine->error = ERROR_ALREADY_EXISTS;
            return FALSE;
        }
        machine->folderMade = path;
        return TRUE;
    }
    static BOOL WINAPI copyFile(LPCWSTR, LPCWSTR, BOOL) { return TRUE; }
    static BOOL WINAPI deleteFile(LPCWSTR) { return TRUE; }
    static BOOL WINAPI removeDirectory(LPCWSTR) { return TRUE; }
    static UINT WINAPI systemDirectory(LPWSTR buffer, UINT) {
        const std::wstring system = L"C:\\Windows\\system32";
        std::copy(system.c_str(), system.c_str() + system.size() + 1, buffer);
        return UINT(system.size());
    }
    static BOOL WINAPI createProcess(LPCWSTR application, LPWSTR command, LPSECURITY_ATTRIBUTES,
                                     LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR folder,
                                     LPSTARTUPINFOW, LPPROCESS_INFORMATION process) {
        machine->application = application;
        machine->command = command;
        machine->workingFolder = folder;
        if (!machine->started) {
            machine->error = ERROR_FILE_NOT_FOUND;
            return FALSE;
        }
        process->hProcess = reinterpret_cast<HANDLE>(10);
        process->hThread = reinterpret_cast<HANDLE>(11);
        machine->handles = 2;
        return TRUE;
    }
    static DWORD WINAPI waitForObject(HANDLE, DWORD) { return WAIT_OBJECT_0; }
    static BOOL WINAPI exitCode(HANDLE, LPDWORD code) {
        *code = machine->exitCode;
        return TRUE;
    }
    static BOOL WINAPI closeHandle(HANDLE) {
        --machine->handles;
        return TRUE;
    }
    static DWORD WINAPI lastError() { return machine->error; }
};

const MsiCalls kCalls{&Fake::knownFolder,     &Fake::freeMemory,    &Fake::securityFromText,
                      &Fake::localFree,       &Fake::randomBytes,   &Fake::createDirectory,
                      &Fake::copyFile,        &Fake::deleteFile,    &Fake::removeDirectory,
                      &Fake::systemDirectory, &Fake::createProcess, &Fake::waitForObject,
                      &Fake::exitCode,        &Fake::closeHandle,   &Fake::lastError};

class MsiInstallTest : public ::testing::Test {
protected:
    void SetUp() override { machine = &machine_; }
    void TearDown() override { machine = nullptr; }
    Machine machine_;
};

TEST_F(MsiInstallTest, MsiexecRunsByItsFullPathAndItsExitCodeDecides) {
    const struct {
        DWORD code;
        bool installed, restart;
        const char* says;
    } cases[] = {
        {0, true, false, ""},
        {ERROR_SUCCESS_REBOOT_REQUIRED, true, true, ""},
        {ERROR_SUCCESS_REBOOT_INITIATED, true, true, ""},
        {ERROR_INSTALL_USEREXIT, false, false, "cancelled (msiexec exit code 1602)"},
        {ERROR_INSTALL_FAILURE, false, false, "failed and was undone (msiexec exit code 1603)"},
        {ERROR_INSTALL_ALREADY_RUNNING, false, false, "another installation"},
        {ERROR_PRODUCT_VERSION, false, false, "another version"},
        {42, false, false, "msiexec failed (msiexec exit code 42)"},
    };
    const std::wstring package = L"C:\\ProgramData\\Kestrune-update-1\\kestrune-1.3-x64.msi";
    for (const auto& answer : cases) {
        SCOPED_TRACE(answer.code);
        machine_.exitCode = answer.code;
        const MsiOutcome outcome = runMsiexec(kCalls, package);
        EXPECT_EQ(outcome.installed, answer.installed);
        EXPECT_EQ(outcome.restartNeeded, answer.restart);
        EXPECT_NE(outcome.error.find(answer.says), std::string::npos) << outcome.error;
        EXPECT_EQ(machine_.handles, 0);
    }
    EXPECT_EQ(machine_.application, L"C:\\Windows\\system32\\msiexec.exe");
    EXPECT_EQ(machine_.command,
              L"\"C:\\Windows\\system32\\msiexec.exe\" /i \"" + package + L"\" /qn");
    EXPECT_EQ(machine_.workingFolder, L"C:\\Windows\\system32");
}

TEST_F(MsiInstallTest, AnMsiexecThatCannotStartOrAnUnquotablePathIsReported) {
    machine_.started = FALSE;
    MsiOutcome outcome = runMsiexec(kCalls, L"C:\\x\\k.msi");
    EXPECT_FALSE(outcome.installed);
    EXPECT_NE(outcome.error.find("msiexec.exe could not be started"), std::string::npos)
        << outcome.error;
    EXPECT_NE(outcome.error.find("error 2"), std::string::npos) << outcome.error;
    machine_.started = TRUE;
    machine_.command.clear();
    outcome = runMsiexec(kCalls, L"C:\\x\\k\" /qb \".msi");
    EXPECT_FALSE(outcome.installed);
    EXPECT_TRUE(machine_.command.empty()) << "nothing started";
}

TEST_F(MsiInstallTest, TheFolderIsAFreshOneOnlyAdministratorsCanChange) {
    machine_.takenNames = 2;
    {
        const AdminFolder folder(kCalls);
        EXPECT_EQ(folder.path(), L"C:\\ProgramData\\Kestrune-update-abababababababab");
        EXPECT_EQ(machine_.securityText, kAdminOnlySecurity);
    }
    machine_.takenNames = 100;
    const AdminFolder taken(kCalls);
    EXPECT_TRUE(taken.path().empty());
    EXPECT_NE(taken.error().find("every name tried in C:\\ProgramData was taken"),
              std::string::npos)
        << taken.error();
}

// Wine does not keep the security a folder is made with (it reports the system and its
// user), so that is checked against the table above; the folder, the copy and their
// removal are real here.
TEST_F(MsiInstallTest, UnderWineTheFolderIsMadeAndGoesWithItsCopy) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring source = std::wstring(temp) + L"kestrune-msi-test.msi";
    std::ofstream(source.c_str(), std::ios::binary) << "package";
    std::wstring folderPath, copy;
    {
        AdminFolder folder(systemMsiCalls());
        ASSERT_FALSE(folder.path().empty()) << folder.error();
        folderPath = folder.path();
        std::string error;
        copy = folder.copyIn(source, L"kestrune-1.3-x64.msi", &error);
        ASSERT_FALSE(copy.empty()) << error;
        EXPECT_TRUE(folder.copyIn(source, L"..\\elsewhere.msi", &error).empty());
        EXPECT_NE(error.find("is no file name"), std::string::npos) << error;
    }
    EXPECT_EQ(::GetFileAttributesW(copy.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW(folderPath.c_str()), INVALID_FILE_ATTRIBUTES);
    ::DeleteFileW(source.c_str());
}

} // namespace
