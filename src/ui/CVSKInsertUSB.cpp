#include "ui/CVSKInsertUSB.h"

#include "controls/CPictureEx.h"
#include "controls/LanguagePicture.h"
#include "lang/LanguageManager.h"
#include "ui/DialogUnits.h"
#include "ui/ProgramLook.h"

#include <QKeyEvent>
#include <QPainter>
#include <QShortcutEvent>

namespace kestrune {

CVSKInsertUSB::CVSKInsertUSB(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("insertUsbPrompt"));
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    resize(duX(386), duY(234));
    ApplyProgramLook(*this);
    picture_ = new CPictureEx(this);
    picture_->setObjectName(QStringLiteral("insertUsbPicture"));
    picture_->setGeometry(duRect(0, 0, 15, 13));
    picture_->installEventFilter(this);
}

CVSKInsertUSB::~CVSKInsertUSB() = default;

void CVSKInsertUSB::Create(QWidget* mainWindow, QWidget* over) {
    hide();
    if (mainWindow && parentWidget() != mainWindow)
        setParent(mainWindow, Qt::Tool | Qt::FramelessWindowHint);
    ShowLanguagePicture(*picture_, *GetLanguageManager(), QStringLiteral("insert_usb"), "JPG", -1);
    // A one-pixel border around the picture; a missing picture keeps the template size.
    if (picture_->isLoaded()) {
        picture_->move(1, 1);
        resize(picture_->width() + 2, picture_->height() + 2);
    }
    mainWindow_ = mainWindow;
    over_ = over;
    centre();
    created_ = true;
    hide();
}

void CVSKInsertUSB::centre() {
    QRect area;
    if (over_)
        area = QRect(over_->mapToGlobal(QPoint(0, 0)), over_->size());
    else if (mainWindow_)
        area = mainWindow_->frameGeometry();
    else
        return;
    // Rounded so that both sides keep the same margin.
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
}

void CVSKInsertUSB::ShowPrompt() {
    if (isVisible())
        return;
    // The window manager may have placed or moved the main window since creation.
    centre();
    show();
    raise();
}

void CVSKInsertUSB::HidePrompt() {
    if (isVisible())
        hide();
}

void CVSKInsertUSB::Follow(InsertPromptRule::Event event, bool windowClosing) {
    switch (InsertPromptRule::decide(event, windowClosing)) {
    case InsertPromptRule::Change::Show:
        ShowPrompt();
        break;
    case InsertPromptRule::Change::Hide:
        HidePrompt();
        break;
    case InsertPromptRule::Change::Keep:
        break;
    }
}

bool CVSKInsertUSB::isPauseKey(QEvent* event) const {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Pause;
    case QEvent::Shortcut:
        return static_cast<QShortcutEvent*>(event)->key() == QKeySequence(Qt::Key_Pause);
    default:
        return false;
    }
}

bool CVSKInsertUSB::eventFilter(QObject* watched, QEvent* event) {
    // Hide, then let the event go on as usual.
    if (isPauseKey(event))
        Follow(InsertPromptRule::Event::PauseKey);
    return QDialog::eventFilter(watched, event);
}

bool CVSKInsertUSB::event(QEvent* event) {
    if (isPauseKey(event))
        Follow(InsertPromptRule::Event::PauseKey);
    return QDialog::event(event);
}

void CVSKInsertUSB::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    painter.setPen(look::kFrame);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace kestrune
