// Tests of what the desktop learns of running jobs, against stand-in services on buses of
// the test's own: a system bus for the login manager and a session bus for notices and the
// launcher.
#pragma once

#include "RealDisks.h"
#include "StandInServices.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"

#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Texts as text in the failures' messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace kestrune::test {

class DesktopServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (systemBus.address().isEmpty())
            GTEST_SKIP() << "no bus of the test's own: " << systemBus.failure().toStdString();
        ASSERT_FALSE(sessionBus.address().isEmpty()) << sessionBus.failure().toStdString();
        systemAddress = std::make_unique<ScopedEnvironment>("DBUS_SYSTEM_BUS_ADDRESS",
                                                            systemBus.address().toUtf8());
        sessionAddress = std::make_unique<ScopedEnvironment>("DBUS_SESSION_BUS_ADDRESS",
                                                             sessionBus.address().toUtf8());
        registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), binDir());
        messages().clear();
    }
    void TearDown() override {
        ReleaseLanguageManager();
        sessionAddress.reset();
        systemAddress.reset();
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }

    ScopedRegistry registry;
    PrivateBus systemBus;
    PrivateBus sessionBus;
    std::unique_ptr<ScopedEnvironment> systemAddress;
    std::unique_ptr<ScopedEnvironment> sessionAddress;
};

} // namespace kestrune::test
