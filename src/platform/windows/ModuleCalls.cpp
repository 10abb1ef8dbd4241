#include "platform/windows/ModuleCalls.h"

namespace kestrune::platform {

const ModuleCalls& systemModuleCalls() {
    static const ModuleCalls calls{
        &::LoadLibraryExW,
        &::GetProcAddress,
        &::FreeLibrary,
        &::FindResourceW,
        &::LoadResource,
        &::SizeofResource,
        &::LockResource,
        &::GetModuleHandleW,
        &::GetModuleFileNameW,
        &::GetSystemDirectoryW,
        &::GetFileVersionInfoSizeW,
        &::GetFileVersionInfoW,
        &::VerQueryValueW,
        &::GetCommandLineW,
        &::CommandLineToArgvW,
        &::LocalFree,
        &::SearchPathW,
        &::GetLastError,
    };
    return calls;
}

} // namespace kestrune::platform
