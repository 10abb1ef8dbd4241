// Entry point of "VSKUpdate.dll".
#include "UpdateDialog.h"
#include "UpdateFeed.h"

#include <kestrune/component_export.h>
#include <kestrune/update_abi.h>

#include <QApplication>
#include <QThread>
#include <cstdio>

namespace {

QString text(const char16_t* value) {
    return value ? QString::fromUtf16(value) : QString();
}

} // namespace

KESTRUNE_EXPORT int32_t VSKUpdate(int32_t /*reserved1*/, const char16_t* /*programDirectory*/,
                                  const char16_t* productName, const char16_t* programVersion,
                                  int32_t mode, int32_t /*reserved2*/) {
    using namespace kestrune::update;
    try {
        const QString product = text(productName);
        const QString version = text(programVersion);
        if (mode == 1) {
            switch (checkForUpdate(product, version).outcome) {
            case Outcome::Newer:
                return 2;
            case Outcome::Refused:
                return KESTRUNE_UPDATE_NOT_VERIFIED;
            default:
                return 0;
            }
        }
        if (mode != 0)
            return 0;
        // Our dialog needs the caller's widget application and its GUI thread.
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        if (!app || QThread::currentThread() != app->thread()) {
            std::fprintf(stderr, "VSKUpdate: no user interface available\n");
            return 0;
        }
        return runUpdateDialog(product, version);
    } catch (...) {
        return 0;
    }
}
