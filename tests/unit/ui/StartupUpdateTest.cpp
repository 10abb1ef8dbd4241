#include "UpdateTestKit.h"

#include "controls/CVSKImageButton.h"
#include "ui/CVSKKestruneDlg.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;
using platform::RegistryRoot;

namespace {

// Answers every yes/no question with one answer, whatever else is shown before it (the
// test runner's missing version record is reported on the way).
class QuestionAnswerer final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override {
        if ((request.style & 0xF) != platform::MB_YESNO_STYLE) {
            notices.push_back(request);
            return platform::ID_OK;
        }
        questions.push_back(request);
        return answer;
    }
    int answer = platform::ID_NO;
    std::vector<platform::MessageRequest> questions;
    std::vector<platform::MessageRequest> notices;
};

// The main window's scheduled check at start-up, against the real update component.
class StartupUpdateTest : public SignedUpdateFixture {
protected:
    void SetUp() override {
        SignedUpdateFixture::SetUp();
        if (IsSkipped())
            return;
        qputenv("KESTRUNE_SIMULATED_DISKS", disks_.path().toLocal8Bit());
        publish({.version = QStringLiteral("9.0")});
        platform::setMessageService(&answerer_);
    }
    void TearDown() override {
        platform::setMessageService(&messages());
        qunsetenv("KESTRUNE_SIMULATED_DISKS");
        SignedUpdateFixture::TearDown();
    }

    std::vector<platform::MessageRequest> questions() const { return answerer_.questions; }

    // Presses a button of the update component's dialog whenever it shows.
    void pressInUpdateDialog(const char* buttonName) {
        name_ = QString::fromLatin1(buttonName);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != QLatin1String("updateDialog"))
                return;
            auto* button = dialog->findChild<QPushButton*>(name_);
            if (button && button->isEnabled()) {
                ++dialogs_;
                QTest::mouseClick(button, Qt::LeftButton);
            }
        });
        poll_.start(20);
    }

    QuestionAnswerer answerer_;
    QTemporaryDir disks_;
    QTimer poll_;
    QString name_;
    int dialogs_ = 0;
};

TEST_F(StartupUpdateTest, AnsweringNoGoesOnAndAsksAgainOnlyAfterAPeriod) {
    answerer_.answer = platform::ID_NO;
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_FALSE(window.endRequested());
        EXPECT_TRUE(window.updateButton()->isEnabled());
        const auto asked = questions();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].text,
                  GetLanguageManager()->GetString(QStringLiteral("question_install_update")));
        EXPECT_EQ(asked[0].caption, GetSettingsStore()->GetProductName());
        EXPECT_EQ(asked[0].style,
                  unsigned(platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE));
        EXPECT_EQ(asked[0].owner, &window);
    }
    EXPECT_TRUE(userDword(kUpdateKey, QStringLiteral("LastUpdate")).has_value());
    answerer_.questions.clear();
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_TRUE(questions().empty()) << "stamped a moment ago, so not due";
    }
}

TEST_F(StartupUpdateTest, AnsweringYesAndInstallingEndsTheRun) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root, the dialog asks pkexec to run the installer";
    QTemporaryDir downloads;
    // Nothing is really installed: the component beside a stand-in installer that always
    // succeeds.
    QTemporaryDir component;
    ASSERT_TRUE(QFile::copy(QDir(binDir()).filePath(QStringLiteral("VSKUpdate.dll")),
                            QDir(component.path()).filePath(QStringLiteral("VSKUpdate.dll"))));
    QFile installer(QDir(component.path()).filePath(QStringLiteral("kestrune-install-update")));
    ASSERT_TRUE(installer.open(QIODevice::WriteOnly));
    installer.write("#!/bin/sh\nexit 0\n");
    installer.close();
    installer.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    registerUpdateComponent(component.path());
    const QByteArray previousHome = qgetenv("HOME");
    const QByteArray previousCache = qgetenv("XDG_CACHE_HOME");
    qputenv("HOME", downloads.path().toUtf8());
    qunsetenv("XDG_CACHE_HOME");

    answerer_.answer = platform::ID_YES;
    pressInUpdateDialog("installButton");
    {
        CVSKKestruneDlg window;
        window.OnInitDialog();
        EXPECT_TRUE(window.endRequested());
    }
    EXPECT_EQ(dialogs_, 1);
    EXPECT_EQ(questions().size(), 1u);
    EXPECT_TRUE(QFileInfo::exists(downloads.path() +
                                  QStringLiteral("/.cache/kestrune/updates/kestrune_9.0_all.deb")));

    qputenv("HOME", previousHome);
    if (!previousCache.isEmpty())
        qputenv("XDG_CACHE_HOME", previousCache);
}

TEST_F(StartupUpdateTest, AnsweringYesButClosingTheUpdateGoesOn) {
    answerer_.answer = platform::ID_YES;
    pressInUpdateDialog("closeButton");
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    EXPECT_FALSE(window.endRequested());
    EXPECT_EQ(dialogs_, 1);
}

TEST_F(StartupUpdateTest, HiddenOrCurrentMeansNoQuestion) {
    putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 1);
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_FALSE(window.updateButton()->isEnabled());
    }
    EXPECT_FALSE(userDword(kUpdateKey, QStringLiteral("LastUpdate")).has_value());
    putDword(RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("HideUpdate"), 0);
    // The test runner has no version record, so it counts as 0.0.0.0.
    publish({.version = QStringLiteral("0.0.0.0")});
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_TRUE(window.updateButton()->isEnabled());
    }
    EXPECT_TRUE(userDword(kUpdateKey, QStringLiteral("LastUpdate")).has_value());
    EXPECT_TRUE(questions().empty());
}

TEST_F(StartupUpdateTest, AnUpdateThatIsNotOursIsToldAndNotOffered) {
    publishFeed("version=9.0\nurl=kestrune_9.0_all.deb\nsha256=" + QByteArray(64, '0') + "\n");
    answerer_.answer = platform::ID_YES;
    pressInUpdateDialog("installButton");
    ::testing::internal::CaptureStderr();
    QString text, product;
    {
        CVSKKestruneDlg window;
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_FALSE(window.endRequested());
        EXPECT_TRUE(window.updateButton()->isEnabled());
        text = GetLanguageManager()->GetString(QStringLiteral("message_update_not_verified"));
        product = GetSettingsStore()->GetProductName();
    }
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(questions().empty());
    EXPECT_EQ(dialogs_, 0);
    std::vector<QString> told;
    for (const auto& notice : answerer_.notices)
        if (notice.text == text)
            told.push_back(notice.caption);
    ASSERT_EQ(told.size(), 1u) << text.toStdString();
    EXPECT_EQ(told[0], product);
    EXPECT_NE(errors.find("no signature"), std::string::npos) << errors;
}

} // namespace
