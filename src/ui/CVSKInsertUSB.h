#pragma once

#include "window/InsertPromptRule.h"

#include <QDialog>
#include <QPointer>

namespace kestrune {

class CPictureEx;

// The insert-media prompt: a caption-less picture window, owned by the main window, that
// asks for a removable disk while the device list is empty. Hidden most of the time.
class CVSKInsertUSB : public QDialog {
    Q_OBJECT
public:
    explicit CVSKInsertUSB(QWidget* parent = nullptr);
    ~CVSKInsertUSB() override;

    // Makes the window a tool window of mainWindow, loads the picture "insert_usb" of the
    // current language, centres the window over `over` (a part of the main window where
    // it hides no text; the whole main window when null) and hides it.
    void Create(QWidget* mainWindow, QWidget* over = nullptr);
    bool isCreated() const { return created_; }
    // Shows the prompt centred over its place in the main window where that stands now.
    void ShowPrompt();
    void HidePrompt();
    // Shows or hides the prompt as the window's rule says for this event.
    void Follow(InsertPromptRule::Event event, bool windowClosing = false);

    CPictureEx* picture() const { return picture_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool isPauseKey(QEvent* event) const;
    void centre();

    CPictureEx* picture_ = nullptr;
    QPointer<QWidget> mainWindow_;
    QPointer<QWidget> over_;
    bool created_ = false;
};

} // namespace kestrune
