#include "base/SharedObjectCheck.h"

#include "base/InvokingUser.h"
#include "base/TrustedPath.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune::platform {
namespace {

using Header = ElfW(Ehdr);
using ProgramHeader = ElfW(Phdr);
using SectionHeader = ElfW(Shdr);

// Tables larger than this are not of a component we could ship.
constexpr std::uint64_t kMaxTableEntries = 65536;

class Descriptor {
public:
    explicit Descriptor(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

    bool readAt(void* buffer, std::uint64_t size, std::uint64_t offset) const {
        auto* out = static_cast<char*>(buffer);
        while (size > 0) {
            const ssize_t got = ::pread(fd_, out, size_t(size), off_t(offset));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            out += got;
            size -= std::uint64_t(got);
            offset += std::uint64_t(got);
        }
        return true;
    }

private:
    int fd_;
};

// True when [offset, offset + size) lies within a file of fileSize bytes, without overflow.
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

// The ELF header of the object this code runs in: the loader maps it with the first
// segment, so its class, byte order and machine are the process's own.
const Header* ownHeader() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&ownHeader), &info) == 0 || !info.dli_fbase)
        return nullptr;
    return static_cast<const Header*>(info.dli_fbase);
}

std::string checkHeader(const Header& header, std::uint64_t fileSize) {
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return "not an ELF object";
    const Header* own = ownHeader();
    const unsigned char ownClass = own ? own->e_ident[EI_CLASS] : ELFCLASSNONE;
    if (header.e_ident[EI_CLASS] != ownClass)
        return header.e_ident[EI_CLASS] == ELFCLASS32   ? "a 32-bit object"
               : header.e_ident[EI_CLASS] == ELFCLASS64 ? "a 64-bit object"
                                                        : "an ELF object of unknown class";
    if (own && header.e_ident[EI_DATA] != own->e_ident[EI_DATA])
        return "an ELF object of the other byte order";
    if (header.e_ident[EI_VERSION] != EV_CURRENT || header.e_version != EV_CURRENT)
        return "an ELF object of unknown version";
    if (header.e_type != ET_DYN)
        return "not a shared object";
    if (own && header.e_machine != own->e_machine)
        return "built for another processor (machine " + std::to_string(header.e_machine) + ")";
    if (header.e_ehsize < sizeof(Header))
        return "ELF header too small";
    if (header.e_phnum == 0 || header.e_phentsize != sizeof(ProgramHeader))
        return "no usable program header table";
    if (!within(header.e_phoff, std::uint64_t(header.e_phnum) * sizeof(ProgramHeader), fileSize))
        return "program header table beyond the end of the file";
    return {};
}

std::string checkSegments(const Descriptor& file, const Header& header, std::uint64_t fileSize) {
    std::vector<ProgramHeader> segments(header.e_phnum);
    if (!file.readAt(segments.data(), segments.size() * sizeof(ProgramHeader), header.e_phoff))
        return "program header table cannot be read";
    bool loadable = false;
    for (const ProgramHeader& segment : segments) {
        if (segment.p_type == PT_LOAD) {
            loadable = true;
            if (segment.p_filesz > segment.p_memsz)
                return "a segment larger in the file than in memory";
        }
        if (segment.p_type != PT_NULL && !within(segment.p_offset, segment.p_filesz, fileSize))
            return "a segment reaches beyond the end of the file (truncated?)";
    }
    return loadable ? std::string() : std::string("no loadable segment");
}

std::string checkSections(const Descriptor& file, const Header& header, std::uint64_t fileSize) {
    if (header.e_shoff == 0)
        return {};
    if (header.e_shentsize != sizeof(SectionHeader))
        return "unusable section header table";
    std::uint64_t count = header.e_shnum;
    if (!within(header.e_shoff, sizeof(SectionHeader), fileSize))
        return "section header table beyond the end of the file";
    if (count == 0) {
        // Extended numbering: the first entry carries the count.
        SectionHeader first{};
        if (!file.readAt(&first, sizeof first, header.e_shoff))
            return "section header table cannot be read";
        count = first.sh_size;
    }
    if (count > kMaxTableEntries)
        return "too many sections";
    if (!within(header.e_shoff, count * sizeof(SectionHeader), fileSize))
        return "section header table beyond the end of the file";
    std::vector<SectionHeader> sections(static_cast<size_t>(count));
    if (!file.readAt(sections.data(), sections.size() * sizeof(SectionHeader), header.e_shoff))
        return "section header table cannot be read";
    for (const SectionHeader& section : sections) {
        if (section.sh_type != SHT_NOBITS && section.sh_type != SHT_NULL &&
            !within(section.sh_offset, section.sh_size, fileSize))
            return "a section reaches beyond the end of the file (truncated?)";
    }
    return {};
}

} // namespace

std::string SharedObjectProblem(const std::string& path) {
    // Root working for a user loads nothing that someone else could have put in its way.
    if (ElevatedFor()) {
        const std::string why = UntrustedPathReason(path);
        if (!why.empty())
            return "running as root for another user, only files that root alone can change "
                   "are loaded (" +
                   why + ")";
    }
    const Descriptor file(path);
    if (file.get() < 0)
        return std::strerror(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    const auto fileSize = std::uint64_t(info.st_size);
    Header header{};
    if (fileSize < sizeof header) {
        char magic[SELFMAG] = {};
        const bool elf = fileSize >= SELFMAG && file.readAt(magic, SELFMAG, 0) &&
                         std::memcmp(magic, ELFMAG, SELFMAG) == 0;
        return elf ? "ELF header cut short (truncated?)" : "not an ELF object";
    }
    if (!file.readAt(&header, sizeof header, 0))
        return "cannot be read";
    std::string problem = checkHeader(header, fileSize);
    if (problem.empty())
        problem = checkSegments(file, header, fileSize);
    if (problem.empty())
        problem = checkSections(file, header, fileSize);
    return problem;
}

} // namespace kestrune::platform
