// The look of the product's own dialogs, whatever the desktop's theme.
#pragma once

#include <QPalette>
#include <QString>
#include <QWidget>

namespace kestrune::update {

// The product's light look, whatever the desktop's theme.
QPalette productPalette();

// The banner of the product's dialogs: navy to teal, the shield, the product's name.
class Banner final : public QWidget {
public:
    Banner(const QString& title, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString title_;
};

// The band at the bottom of the product's dialogs that holds the buttons.
class Band final : public QWidget {
public:
    static constexpr int kInset = 12;
    static constexpr int kBarHeight = 4;
    explicit Band(QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
};

} // namespace kestrune::update
