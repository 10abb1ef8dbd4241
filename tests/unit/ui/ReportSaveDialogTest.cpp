// The dialog that asks for a report's name when its folder cannot be written.
#include "ui/ReportSaveDialog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

// Tries the step every 20 ms until it has done its part, as a user who waits for a window,
// for at most five seconds.
void whenShown(std::function<bool()> step, int triesLeft = 250) {
    QTimer::singleShot(20, [step, triesLeft] {
        if (!step() && triesLeft > 1)
            whenShown(step, triesLeft - 1);
    });
}

template <typename Window> Window* shown() {
    return qobject_cast<Window*>(QApplication::activeModalWidget());
}

class ShredReportTest : public ::testing::Test {
protected:
    QTemporaryDir logs;
};

} // namespace

TEST_F(ShredReportTest, TheSaveDialogAsksBeforeItTakesTheNameOfAnExistingFile) {
    const QString older = logs.filePath(QStringLiteral("older.xml"));
    QFile file(older);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    for (const QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
        QString question;
        whenShown([&] {
            auto* dialog = shown<QFileDialog>();
            auto* name =
                dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
            if (!name)
                return false;
            whenShown([&] {
                auto* box = shown<QMessageBox>();
                if (!box)
                    return false;
                question = box->text();
                // Not replaced: the dialog stays for another name, and the user gives up.
                if (answer == QMessageBox::No)
                    whenShown([] {
                        auto* again = shown<QFileDialog>();
                        if (again)
                            again->reject();
                        return again != nullptr;
                    });
                box->button(answer)->click();
                return true;
            });
            name->setText(QStringLiteral("older.xml")); // typed by the user
            static_cast<QDialog*>(dialog)->accept();    // the save button
            return true;
        });
        const QString chosen =
            AskWithSaveDialog(logs.filePath(QStringLiteral("new.xml")), QString());
        EXPECT_TRUE(question.contains(QStringLiteral("already exists"))) << question.toStdString();
        EXPECT_EQ(chosen, answer == QMessageBox::Yes ? older : QString());
    }
}
