#include "ui/CVSKInfoDlg.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CPictureEx.h"
#include "controls/LanguagePicture.h"
#include "lang/LanguageManager.h"
#include "ui/DialogUnits.h"
#include "ui/ProgramLook.h"
#include "ui/TemplateDialog.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

namespace kestrune {

CVSKInfoDlg::CVSKInfoDlg(QWidget* parent) : QDialog(parent) {
    settings_ = GetSettingsStore();
    util_ = GetSystemUtil();
    language_ = GetLanguageManager();
    createControls();
    OnInitDialog();
}

CVSKInfoDlg::~CVSKInfoDlg() = default;

void CVSKInfoDlg::createControls() {
    setObjectName(QStringLiteral("infoDialog"));
    makeWhiteCaptionlessDialog(*this, QSize(duX(284), duY(285)));

    // Template order: the Close button comes last, above the bottom banner.
    top_ = placeControl<CPictureEx>(this, "topPicture", duRect(0, 0, 15, 13));
    heading_ =
        placeControl<QLabel>(this, "heading", duRect(28, 38, 193, 8), QStringLiteral("About"));
    productLabel_ = placeControl<QLabel>(this, "productLabel", duRect(28, 57, 64, 8),
                                         QStringLiteral("Product Name:"));
    productName_ = placeControl<QLabel>(this, "productName", duRect(100, 57, 134, 8));
    versionLabel_ = placeControl<QLabel>(this, "versionLabel", duRect(28, 66, 64, 8),
                                         QStringLiteral("Product Version:"));
    versionText_ = placeControl<QLabel>(this, "versionText", duRect(100, 66, 134, 8));
    bottom_ = placeControl<CPictureEx>(this, "bottomPicture", duRect(0, 254, 15, 13));
    close_ = placeControl<QPushButton>(this, "closeButton", duRect(229, 267, 50, 14),
                                       QStringLiteral("Close"));
    close_->setDefault(true);
    close_->setAutoDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    for (QLabel* label : {productName_, versionText_})
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
}

void CVSKInfoDlg::OnInitDialog() {
    QFont headingFont(font());
    headingFont.setStyleHint(QFont::SansSerif);
    headingFont.setPixelSize(16);
    headingFont.setWeight(QFont::Bold);
    headingFont.setItalic(false);
    headingFont.setUnderline(false);
    headingFont.setStrikeOut(false);

    ShowLanguagePicture(*top_, *language_, QStringLiteral("settings_top"), "JPG", -1);
    ShowLanguagePicture(*bottom_, *language_, QStringLiteral("settings_bot"), "JPG", -1);
    heading_->setFont(headingFont);
    // A 16-pixel heading does not fit the template's 8 units: let it grow, not clip.
    heading_->resize(heading_->width(),
                     std::max(heading_->height(), QFontMetrics(headingFont).height()));

    productLabel_->setText(language_->GetString(QStringLiteral("main_about_product_name")));
    language_->SelectCurrentLanguage();
    productName_->setText(settings_->GetProductName());
    versionLabel_->setText(language_->GetString(QStringLiteral("main_about_program_version")));
    versionText_->setText(util_->GetProgramVersion());
    heading_->setText(language_->GetString(QStringLiteral("information")));
    close_->setText(language_->GetString(QStringLiteral("Close")));
    close_->setFocus();
    // The banners lie under the texts' edges; keep the button reachable above them.
    close_->raise();
    placeOnBand(*bottom_, {close_});
}

void CVSKInfoDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    // No caption: a thin border marks the window's edge.
    painter.setPen(look::kWindowEdge);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace kestrune
