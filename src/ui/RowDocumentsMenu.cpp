#include "ui/RowDocumentsMenu.h"

#include "lang/LanguageManager.h"
#include "platform/DesktopNotifier.h"
#include "platform/MessageService.h"

#include <QFileInfo>
#include <QMenu>

namespace kestrune {
namespace {

void open(const QString& path) {
    if (!platform::OpenOnDesktop(path))
        std::printf("No program could be started to open %s\n", path.toUtf8().constData());
}

} // namespace

QMenu* ShowRowDocumentsMenu(QWidget* parent, const std::optional<JobProgress>& job,
                            const LanguageManager& language, QPoint at) {
    const QString certificate = job ? job->certificatePath : QString();
    auto* menu = new QMenu(parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QAction* openCertificate =
        menu->addAction(language.GetString(QStringLiteral("open_certificate")));
    QAction* openFolder = menu->addAction(language.GetString(QStringLiteral("open_folder")));
    openCertificate->setEnabled(!certificate.isEmpty());
    openFolder->setEnabled(!certificate.isEmpty());
    QObject::connect(openCertificate, &QAction::triggered, menu,
                     [certificate] { open(certificate); });
    QObject::connect(openFolder, &QAction::triggered, menu,
                     [certificate] { open(QFileInfo(certificate).path()); });
    menu->popup(at);
    return menu;
}

} // namespace kestrune
