#include "platform/Module.h"

#include "base/SharedObjectCheck.h"
#include "platform/windows/ModuleCalls.h"

#include <kestrune/resource_abi.h>

#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstring>

namespace kestrune::platform {
namespace {

using windows_impl::errorText;
using windows_impl::systemPath;
using windows_impl::toWide;

constexpr DWORD kComponentSearch = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

// RT_BITMAP in its UTF-16 form, whatever the build's default character set.
LPCWSTR bitmapType() {
    return MAKEINTRESOURCEW(2);
}

// The resource type a name stands for: the system's number for a bitmap or "#N", else the
// name itself, which the system compares without regard to case.
struct ResourceType {
    std::wstring name;
    LPCWSTR id = nullptr;
};

ResourceType resourceType(const char* type) {
    ResourceType result;
    if (std::strcmp(type, KESTRUNE_RESOURCE_TYPE_BITMAP) == 0) {
        result.id = bitmapType();
    } else if (type[0] == '#' && type[1] != '\0') {
        bool ok = false;
        const unsigned number = QByteArray(type + 1).toUInt(&ok);
        result.id = ok && number <= 0xFFFF ? MAKEINTRESOURCEW(number) : nullptr;
    }
    if (!result.id) {
        result.name = toWide(QString::fromUtf8(type));
        result.id = result.name.c_str();
    }
    return result;
}

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}

// A bitmap resource is the file without its 14-byte file header, which tells where the
// pixels start: after the info header, the colour masks and the colour table.
QByteArray bitmapFile(const unsigned char* data, DWORD size) {
    if (size < 12)
        return {};
    const std::uint32_t header = le32(data);
    std::uint32_t colours = 0;
    std::uint32_t entry = 4;
    std::uint32_t masks = 0;
    std::uint16_t bits = 0;
    if (header == 12) { // the old core header: 16-bit fields, 3-byte colours
        bits = le16(data + 10);
        entry = 3;
    } else if (header >= 40 && size >= 40) {
        bits = le16(data + 14);
        const std::uint32_t compression = le32(data + 16);
        colours = le32(data + 32);
        if (header == 40 && compression == 3) // BI_BITFIELDS
            masks = 12;
        else if (header == 40 && compression == 6) // BI_ALPHABITFIELDS
            masks = 16;
    } else {
        return {};
    }
    if (colours == 0 && bits <= 8)
        colours = 1u << bits;
    const std::uint64_t offset = 14ull + header + masks + std::uint64_t(colours) * entry;
    if (offset > 14ull + size)
        return {};
    QByteArray file(14, '\0');
    const std::uint32_t total = 14 + size;
    const auto put32 = [&file](int at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            file[at + i] = char((value >> (8 * i)) & 0xFF);
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, total);
    put32(10, std::uint32_t(offset));
    file.append(reinterpret_cast<const char*>(data), qsizetype(size));
    return file;
}

// The table the shared build exports from every component, the form a component built
// without a resource script carries its pictures in.
QByteArray exportedResource(const ModuleCalls& calls, HMODULE module, int id, const char* type,
                            bool* found) {
    const auto table = reinterpret_cast<KestruneResourcesFn>(
        reinterpret_cast<void*>(calls.procAddress(module, KESTRUNE_RESOURCES_SYMBOL)));
    std::uint32_t count = 0;
    const KestruneResource* resources = table ? table(&count) : nullptr;
    for (std::uint32_t i = 0; resources && i < count; ++i) {
        const KestruneResource& r = resources[i];
        if (r.id == id && r.type && std::strcmp(r.type, type) == 0) {
            *found = true;
            return r.data ? QByteArray(reinterpret_cast<const char*>(r.data), qsizetype(r.size))
                          : QByteArray();
        }
    }
    return {};
}

} // namespace

HMODULE loadComponentLibrary(const ModuleCalls& calls, const QString& path, QString* why) {
    // A name without a folder would be looked up along the search order, which is how a
    // copied program silently picked up a component of another tree.
    if (!path.contains(u'/') && !path.contains(u'\\')) {
        *why = QStringLiteral("no folder given");
        return nullptr;
    }
    const std::wstring file = systemPath(path);
    HMODULE module = calls.loadLibrary(file.c_str(), nullptr, kComponentSearch);
    if (!module)
        *why = errorText(calls.lastError());
    return module;
}

QByteArray moduleResource(const ModuleCalls& calls, HMODULE module, int id, const char* type,
                          bool* found) {
    bool present = false;
    QByteArray bytes;
    if (module && type && id >= 0 && id <= 0xFFFF) {
        const ResourceType kind = resourceType(type);
        if (HRSRC info = calls.findResource(module, MAKEINTRESOURCEW(id), kind.id)) {
            present = true;
            const HGLOBAL loaded = calls.loadResource(module, info);
            const DWORD size = loaded ? calls.sizeofResource(module, info) : 0;
            const auto* data =
                loaded ? static_cast<const unsigned char*>(calls.lockResource(loaded)) : nullptr;
            if (data && size > 0)
                bytes = kind.id == bitmapType()
                            ? bitmapFile(data, size)
                            : QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
        } else {
            bytes = exportedResource(calls, module, id, type, &present);
        }
    }
    if (found)
        *found = present;
    return bytes;
}

Module::~Module() {
    if (handle_)
        systemModuleCalls().freeLibrary(static_cast<HMODULE>(handle_));
}

std::unique_ptr<Module> Module::load(const QString& path) {
    if (path.isEmpty())
        return nullptr;
    // A truncated file would be mapped as its headers promise and fault inside the loader.
    QString why = QString::fromStdString(SharedObjectProblem(
        QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toUtf8().toStdString()));
    HMODULE module =
        why.isEmpty() ? loadComponentLibrary(systemModuleCalls(), path, &why) : nullptr;
    if (!module) {
        std::fprintf(stderr, "Component %s not loaded: %s\n", path.toUtf8().constData(),
                     why.toUtf8().constData());
        return nullptr;
    }
    return std::unique_ptr<Module>(new Module(module, path));
}

void* Module::symbol(const char* name) const {
    if (!handle_ || !name)
        return nullptr;
    return reinterpret_cast<void*>(
        systemModuleCalls().procAddress(static_cast<HMODULE>(handle_), name));
}

QByteArray Module::resource(int id, const char* type) const {
    return moduleResource(systemModuleCalls(), static_cast<HMODULE>(handle_), id, type);
}

bool Module::hasResource(int id, const char* type) const {
    bool found = false;
    moduleResource(systemModuleCalls(), static_cast<HMODULE>(handle_), id, type, &found);
    return found;
}

} // namespace kestrune::platform
