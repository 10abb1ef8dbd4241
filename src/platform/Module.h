#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

namespace kestrune::platform {

// A loaded component: the analogue of LoadLibrary/GetProcAddress/FreeLibrary plus the
// module's resource section (the table it exports).
class Module {
public:
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads the shared object at path, which must name its folder: a bare name is never
    // searched for. A file that is missing, damaged or not an object for this process is
    // refused with its reason on standard error. Null when it cannot be loaded.
    static std::unique_ptr<Module> load(const QString& path);

    void* symbol(const char* name) const;
    template <typename Fn> Fn entry(const char* name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }

    // The bytes of a resource by number and type ("JPG", "BITMAP"); empty when missing.
    QByteArray resource(int id, const char* type) const;
    bool hasResource(int id, const char* type) const;

    QString path() const { return path_; }

private:
    Module(void* handle, QString path) : handle_(handle), path_(std::move(path)) {}
    void* handle_;
    QString path_;
};

} // namespace kestrune::platform
