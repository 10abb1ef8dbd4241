#pragma once

#include "shred/JobProgress.h"

#include <QPoint>
#include <optional>

class QMenu;
class QWidget;

namespace kestrune {

class LanguageManager;

// A row's menu: the certificate of the disk's last job, and the folder that holds it,
// opened with the desktop's own programs. Both stay disabled until the job has written it.
// The menu is returned shown at `at` and deletes itself once closed.
QMenu* ShowRowDocumentsMenu(QWidget* parent, const std::optional<JobProgress>& job,
                            const LanguageManager& language, QPoint at);

} // namespace kestrune
