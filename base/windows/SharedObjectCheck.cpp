#include "base/SharedObjectCheck.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <windows.h>

#include "WideText.h"

namespace kestrune::platform {
// A component must be a whole 64-bit DLL before the loader runs any of its code.
std::string SharedObjectProblem(const std::string& path) {
    const std::wstring name = wide(path);
    WIN32_FILE_ATTRIBUTE_DATA about{};
    if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &about))
        return "cannot be found (error " + std::to_string(::GetLastError()) + ")";
    if (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "not a regular file";
    const std::uint64_t size = (std::uint64_t(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
    std::ifstream file(name.c_str(), std::ios::binary);
    IMAGE_DOS_HEADER dos{};
    if (!file || size < sizeof dos || !file.read(reinterpret_cast<char*>(&dos), sizeof dos) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE)
        return "not a Windows program file";
    IMAGE_NT_HEADERS64 nt{};
    if (dos.e_lfanew <= 0 || std::uint64_t(dos.e_lfanew) + sizeof nt > size)
        return "program header cut short (truncated?)";
    file.seekg(dos.e_lfanew);
    if (!file.read(reinterpret_cast<char*>(&nt), sizeof nt))
        return "cannot be read";
    if (nt.Signature != IMAGE_NT_SIGNATURE)
        return "not a Windows program file";
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64)
        return "not built for 64-bit x86";
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL))
        return "a program, not a library";
    // Every section must lie inside the file, or the loader maps what is not there.
    const std::uint64_t sections = std::uint64_t(dos.e_lfanew) +
                                   offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                   nt.FileHeader.SizeOfOptionalHeader;
    file.seekg(std::streamoff(sections));
    for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!file.read(reinterpret_cast<char*>(&section), sizeof section))
            return "section table cut short (truncated?)";
        if (std::uint64_t(section.PointerToRawData) + section.SizeOfRawData > size)
            return "a section lies beyond the end of the file (truncated?)";
    }
    return {};
}

} // namespace kestrune::platform
