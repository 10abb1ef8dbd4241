// The update component as the program loads it, and its dialog with a stand-in installer.
#pragma once

#include "UpdateTestKit.h"
#include "platform/Module.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <kestrune/update_abi.h>
#include <memory>

namespace kestrune::test {
namespace {

// The component as the program loads it, called through its entry.
class UpdateComponentTest : public SignedUpdateFixture {
protected:
    void SetUp() override {
        SignedUpdateFixture::SetUp();
        if (IsSkipped())
            return;
        module_ = platform::Module::load(
            QDir(componentFolder()).filePath(QStringLiteral("VSKUpdate.dll")));
        ASSERT_TRUE(module_);
        entry_ = module_->entry<VSKUpdateFn>(KESTRUNE_UPDATE_ENTRY);
        ASSERT_TRUE(entry_);
    }

    virtual QString componentFolder() const { return binDir(); }

    int call(const QString& version, int mode) {
        const std::u16string dir = binDir().toStdU16String();
        const std::u16string product = u"Vaskor Kestrune";
        const std::u16string ver = version.toStdU16String();
        return entry_(0, dir.c_str(), product.c_str(), ver.c_str(), mode, 0);
    }

    // The scheduled check's answer, and what it wrote to standard error.
    int check(QString* errors) {
        ::testing::internal::CaptureStderr();
        const int answer = call(QStringLiteral("1.0.0.1"), 1);
        *errors = QString::fromStdString(::testing::internal::GetCapturedStderr());
        return answer;
    }

    std::unique_ptr<platform::Module> module_;
    VSKUpdateFn entry_ = nullptr;
};

// Mode 0 runs the component's own dialog; these tests press its buttons.
class UpdateDialogTest : public UpdateComponentTest {
protected:
    void SetUp() override {
        // The component in a folder of its own, beside a stand-in for its installer that
        // writes down its command line and answers with the exit code the test chose.
        ASSERT_TRUE(QFile::copy(QDir(binDir()).filePath(QStringLiteral("VSKUpdate.dll")),
                                QDir(tools_.path()).filePath(QStringLiteral("VSKUpdate.dll"))));
        installLog_ = QDir(tools_.path()).filePath(QStringLiteral("installed.txt"));
        installerAnswer_ = QDir(tools_.path()).filePath(QStringLiteral("installer-answer"));
        setInstallerAnswer(0);
        QFile installer(QDir(tools_.path()).filePath(QStringLiteral("kestrune-install-update")));
        ASSERT_TRUE(installer.open(QIODevice::WriteOnly));
        installer.write("#!/bin/sh\necho \"$*\" >> '" + installLog_.toUtf8() +
                        "'\necho 'E: the fake installer says no' >&2\nexit $(cat '" +
                        installerAnswer_.toUtf8() + "')\n");
        installer.close();
        installer.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        UpdateComponentTest::SetUp();
        if (IsSkipped())
            return;
        previousCache_ = qgetenv("XDG_CACHE_HOME");
        previousPath_ = qgetenv("PATH");
        downloads_ = QDir(tools_.path()).filePath(QStringLiteral("cache/kestrune/updates"));
        qputenv("XDG_CACHE_HOME", QDir(tools_.path()).filePath(QStringLiteral("cache")).toUtf8());
        // The desktop's opener is replaced by one that writes down what it was given.
        openLog_ = QDir(tools_.path()).filePath(QStringLiteral("opened.txt"));
        const QString opener = QDir(tools_.path()).filePath(QStringLiteral("xdg-open"));
        QFile script(opener);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"$1\" >> '" + openLog_.toUtf8() + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", tools_.path().toUtf8() + ":" + previousPath_);
    }
    QString componentFolder() const override { return tools_.path(); }
    void setInstallerAnswer(int code) {
        QFile answer(installerAnswer_);
        ASSERT_TRUE(answer.open(QIODevice::WriteOnly));
        answer.write(QByteArray::number(code));
    }
    QString installed() const {
        QFile file(installLog_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }
    void TearDown() override {
        if (!previousPath_.isEmpty()) {
            if (previousCache_.isEmpty())
                qunsetenv("XDG_CACHE_HOME");
            else
                qputenv("XDG_CACHE_HOME", previousCache_);
            qputenv("PATH", previousPath_);
        }
        UpdateComponentTest::TearDown();
    }

    // Runs the component in mode 0 while script works the dialog once it shows.
    int runDialog(const QString& version, std::function<void(QDialog&)> script) {
        bool ran = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || ran || dialog->objectName() != QLatin1String("updateDialog"))
                return;
            ran = true;
            script(*dialog);
        });
        poll.start();
        const int result = call(version, 0);
        EXPECT_TRUE(ran) << "the dialog never showed";
        return result;
    }

    // Presses Download and install once it can be pressed; the dialog must end by itself.
    int installRefused(const QString& version, QString* errors) {
        ::testing::internal::CaptureStderr();
        const int result = runDialog(version, [&](QDialog& dialog) {
            ASSERT_TRUE(waitFor([&] { return button(dialog, "installButton")->isEnabled(); }));
            QTest::mouseClick(button(dialog, "installButton"), Qt::LeftButton);
        });
        *errors = QString::fromStdString(::testing::internal::GetCapturedStderr());
        return result;
    }

    static bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 500 && !condition(); ++i)
            QTest::qWait(10);
        return condition();
    }

    static QPushButton* button(QDialog& dialog, const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    static QString label(QDialog& dialog, const char* name) {
        auto* text = dialog.findChild<QLabel*>(QString::fromLatin1(name));
        return text ? text->text() : QString();
    }

    QString opened() const {
        QFile file(openLog_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed()
                                              : QString();
    }
    QStringList downloaded() const {
        return QDir(downloads_).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

    QTemporaryDir tools_;
    QString downloads_;
    QString openLog_;
    QString installLog_;
    QString installerAnswer_;
    QByteArray previousCache_;
    QByteArray previousPath_;
};

} // namespace
} // namespace kestrune::test
