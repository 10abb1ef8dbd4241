// The claims and records of running jobs in the report folder: two jobs never share a name,
// and what a later start finds beside a claim nobody holds decides what it does.
#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "lang/LanguageManager.h"
#include "platform/RecordClaim.h"
#include "shred/InterruptedJobs.h"
#include "shred/ShredReport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class JobRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), test::binDir());
        test::writeRegistryString(platform::RegistryRoot::LocalMachine,
                                  test::productKey("\\Settings"), QStringLiteral("LogPath"),
                                  logs.path());
    }
    void TearDown() override { ReleaseLanguageManager(); }
    QStringList claims() const {
        return QDir(logs.path())
            .entryList({QStringLiteral(".*.running")}, QDir::Files | QDir::Hidden);
    }
    std::unique_ptr<ShredReport> openedRecord() {
        auto report = std::make_unique<ShredReport>(100, GetLanguageManager());
        report->addHardwareItems(QStringLiteral("SN"), QStringLiteral("Acme"),
                                 QStringLiteral("Stick"), QStringLiteral("0.06"),
                                 QStringLiteral("USB"));
        EXPECT_EQ(report->openRecord(), QString());
        return report;
    }

    test::ScopedRegistry registry;
    QTemporaryDir logs;
};

} // namespace

TEST_F(JobRecordTest, JobsStartedInOneMinuteClaimNamesOfTheirOwn) {
    const auto first = openedRecord();
    const auto second = openedRecord();
    const QStringList records = QDir(logs.path()).entryList({QStringLiteral("*.xml")});
    ASSERT_EQ(records.size(), 2) << records.join(u' ').toStdString();
    EXPECT_EQ(records.filter(QStringLiteral("(1).xml")).size(), 1)
        << records.join(u' ').toStdString();
    EXPECT_EQ(claims().size(), 2);
    QString failure;
    bool taken = false;
    EXPECT_EQ(platform::RecordClaim::take(QDir(logs.path()).filePath(records[0]), &failure, &taken),
              nullptr);
    EXPECT_TRUE(taken) << failure.toStdString();
    // Ended, each report is where its record was, and no claim stays.
    ASSERT_EQ(first->finish(), 1);
    ASSERT_EQ(second->finish(), 1);
    EXPECT_EQ(QDir(logs.path()).entryList({QStringLiteral("*.xml")}), records);
    EXPECT_TRUE(claims().isEmpty());
}

// A claim nobody holds beside: no record (the program died before writing it), a report that
// ended (only the claim stayed), or a record no program can read.
TEST_F(JobRecordTest, WhatLiesBesideAnUnheldClaimDecidesWhatTheNextStartDoes) {
    struct Case {
        const char* name;
        const char* record; // nullptr: none
        bool claimStays;
    };
    for (const Case& found :
         {Case{"no record", nullptr, false},
          Case{"an ended report",
               "<reports><report><sanitization><progress state=\"ended\"/>"
               "</sanitization></report></reports>",
               false},
          Case{"a damaged record", "<reports><report><progress state=\"running\"", true}}) {
        SCOPED_TRACE(found.name);
        const QString report = QDir(logs.path()).filePath(QStringLiteral("job.xml"));
        QString failure;
        ASSERT_NE(platform::RecordClaim::take(report, &failure), nullptr) << failure.toStdString();
        QFile::remove(report);
        if (found.record) {
            QFile file(report);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(found.record);
        }
        EXPECT_TRUE(CompleteInterruptedJobs(GetSettingsStore(), GetLanguageManager()).empty());
        EXPECT_EQ(!claims().isEmpty(), found.claimStays);
        if (found.record) {
            EXPECT_EQ(contentOf(report), QByteArray(found.record));
        }
        for (const QString& claim : claims())
            QFile::remove(QDir(logs.path()).filePath(claim));
    }
}
