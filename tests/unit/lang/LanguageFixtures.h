#pragma once

#include "TestSupport.h"
#include "platform/Registry.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <optional>

namespace kestrune::test {

inline QString fixturePath(const QString& relative) {
    return QDir(QStringLiteral(KESTRUNE_LANG_FIXTURES)).filePath(relative);
}

// Sets environment variables for the lifetime of the object (unset when the value is
// nullopt) and restores them afterwards.
class LanguageVariables {
public:
    void set(const char* name, std::optional<QByteArray> value) {
        if (!saved_.count(name))
            saved_[name] =
                qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    // The locale variables the language component reads, all at once.
    void language(const QByteArray& lang) {
        set("LANGUAGE", std::nullopt);
        set("LC_ALL", std::nullopt);
        set("LC_MESSAGES", std::nullopt);
        set("LANG", lang);
    }
    ~LanguageVariables() {
        for (const auto& [name, value] : saved_) {
            if (value)
                qputenv(name.c_str(), *value);
            else
                qunsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<QByteArray>> saved_;
};

// A fresh registry with a component folder registered for "VSKLanguage.dll".
class LanguageFolder {
public:
    LanguageFolder() {
        const QString dir = path();
        QByteArray data(reinterpret_cast<const char*>(dir.utf16()), (dir.size() + 1) * 2);
        EXPECT_EQ(platform::registry().write(
                      platform::RegistryRoot::LocalMachine,
                      QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs"),
                      QStringLiteral("VSKLanguage.dll"), {platform::REG_SZ_TYPE, data}),
                  0);
    }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return QDir(path()).filePath(name); }
    QString registryPath() const { return registry_.path(); }

    void copy(const QString& source, const QString& name) const {
        ASSERT_TRUE(QFile::copy(source, file(name))) << source.toStdString();
    }
    void write(const QString& name, const QByteArray& content) const {
        QFile out(file(name));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(content);
    }
    QByteArray read(const QString& name) const {
        QFile in(file(name));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }
    // The shipped component and both shipped language files.
    void installShipped() const {
        copy(QDir(binDir()).filePath(QStringLiteral("VSKLanguage.dll")),
             QStringLiteral("VSKLanguage.dll"));
        for (const char* code : {"NTV", "DE"}) {
            const QString name =
                QStringLiteral("VSKLanguageKestrune_%1.dll").arg(QLatin1String(code));
            copy(QDir(binDir()).filePath(name), name);
        }
    }

private:
    ScopedRegistry registry_;
    QTemporaryDir dir_;
};

} // namespace kestrune::test
