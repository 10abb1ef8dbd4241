#include "DamagedObjects.h"

#include <QFile>
#include <cstring>
#include <elf.h>
#include <link.h>

namespace kestrune::test {
namespace {

using Header = ElfW(Ehdr);

Header headerOf(const QByteArray& bytes) {
    Header header{};
    std::memcpy(&header, bytes.constData(), sizeof header);
    return header;
}

QByteArray withHeader(QByteArray bytes, const Header& header) {
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

} // namespace

std::vector<DamagedObject> damagedCopiesOf(const QByteArray& good) {
    std::vector<DamagedObject> damaged;
    const Header header = headerOf(good);
    const qsizetype tables = qsizetype(header.e_phoff + header.e_phnum * sizeof(ElfW(Phdr)));
    damaged.push_back({"cut in half", good.left(good.size() / 2), "beyond the end of the file"});
    damaged.push_back(
        {"cut after its program headers", good.left(tables), "beyond the end of the file"});
    damaged.push_back({"cut short by one byte", good.left(good.size() - 1), "the end of the file"});
    damaged.push_back({"cut inside the ELF header", good.left(40), "ELF header cut short"});
    damaged.push_back({"empty", QByteArray(), "not an ELF object"});
    damaged.push_back(
        {"a text file", QByteArray("#!/bin/sh\necho not a library\n"), "not an ELF object"});

    Header other = header;
    other.e_ident[EI_CLASS] = header.e_ident[EI_CLASS] == ELFCLASS64 ? ELFCLASS32 : ELFCLASS64;
    damaged.push_back({"of the other class", withHeader(good, other), "-bit object"});
    other = header;
    other.e_ident[EI_DATA] = header.e_ident[EI_DATA] == ELFDATA2LSB ? ELFDATA2MSB : ELFDATA2LSB;
    damaged.push_back({"of the other byte order", withHeader(good, other), "byte order"});
    other = header;
    other.e_machine = header.e_machine == EM_AARCH64 ? EM_X86_64 : EM_AARCH64;
    damaged.push_back({"for another processor", withHeader(good, other), "another processor"});
    other = header;
    other.e_type = ET_REL;
    damaged.push_back(
        {"an object file, not a shared one", withHeader(good, other), "not a shared object"});
    other = header;
    other.e_shoff = ElfW(Off)(good.size()) + 4096;
    damaged.push_back({"with sections past its end", withHeader(good, other),
                       "section header table beyond the end"});
    other = header;
    other.e_phoff = ElfW(Off)(good.size()) - 8;
    damaged.push_back({"with program headers past its end", withHeader(good, other),
                       "program header table beyond the end"});
    return damaged;
}

QByteArray readWholeFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeWholeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

} // namespace kestrune::test
