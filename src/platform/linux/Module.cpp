#include "platform/Module.h"

#include "base/SharedObjectCheck.h"

#include <kestrune/resource_abi.h>

#include <QFile>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace kestrune::platform {
namespace {

const KestruneResource* findResource(void* handle, int id, const char* type) {
    if (!handle || !type)
        return nullptr;
    auto table = reinterpret_cast<KestruneResourcesFn>(dlsym(handle, KESTRUNE_RESOURCES_SYMBOL));
    if (!table)
        return nullptr;
    uint32_t count = 0;
    const KestruneResource* resources = table(&count);
    if (!resources)
        return nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const KestruneResource& r = resources[i];
        if (r.id == id && r.type && std::strcmp(r.type, type) == 0)
            return &r;
    }
    return nullptr;
}

} // namespace

Module::~Module() {
    if (handle_)
        dlclose(handle_);
}

std::unique_ptr<Module> Module::load(const QString& path) {
    if (path.isEmpty())
        return nullptr;
    const QByteArray native = QFile::encodeName(path);
    // A name without a folder would be looked up along run paths and the loader's cache,
    // which is how a copied program silently picked up a component of another tree.
    if (!native.contains('/')) {
        std::fprintf(stderr, "Component %s not loaded: no folder given\n", native.constData());
        return nullptr;
    }
    // The loader maps what the headers promise; a truncated file would fault inside it.
    const std::string problem = SharedObjectProblem(native.toStdString());
    if (!problem.empty()) {
        std::fprintf(stderr, "Component %s not loaded: %s\n", native.constData(), problem.c_str());
        return nullptr;
    }
    void* handle = dlopen(native.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        std::fprintf(stderr, "Component %s not loaded: %s\n", native.constData(),
                     why ? why : "unknown reason");
        return nullptr;
    }
    return std::unique_ptr<Module>(new Module(handle, path));
}

void* Module::symbol(const char* name) const {
    if (!handle_ || !name)
        return nullptr;
    return dlsym(handle_, name);
}

QByteArray Module::resource(int id, const char* type) const {
    const KestruneResource* r = findResource(handle_, id, type);
    if (!r || !r->data)
        return {};
    return QByteArray(reinterpret_cast<const char*>(r->data), static_cast<qsizetype>(r->size));
}

bool Module::hasResource(int id, const char* type) const {
    return findResource(handle_, id, type) != nullptr;
}

} // namespace kestrune::platform
