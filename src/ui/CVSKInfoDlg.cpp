#include "ui/CVSKInfoDlg.h"

#include "app/ProgramLibraries.h"
#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CPictureEx.h"
#include "controls/LanguagePicture.h"
#include "lang/LanguageManager.h"
#include "shred/ShredReport.h"
#include "ui/DialogUnits.h"
#include "ui/ProgramLook.h"
#include "ui/TemplateDialog.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <string>

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
    // Below the template's two values: what the program is, on what terms, where its
    // records go and what it runs with.
    description_ = placeControl<QLabel>(this, "description", duRect(28, 80, 228, 27));
    const auto labelAndValue = [this](const char* name, int y, int lines, QLabel** label) {
        *label =
            placeControl<QLabel>(this, (name + std::string("Label")).c_str(), duRect(28, y, 64, 8));
        return placeControl<QLabel>(this, (name + std::string("Text")).c_str(),
                                    duRect(100, y, 156, 9 * lines));
    };
    licenceText_ = labelAndValue("licence", 111, 4, &licenceLabel_);
    reportsText_ = labelAndValue("reports", 151, 2, &reportsLabel_);
    librariesText_ = labelAndValue("libraries", 173, 4, &librariesLabel_);
    documentationLink_ = labelAndValue("documentation", 213, 1, &documentationLabel_);
    for (QLabel* text : {description_, licenceText_, reportsText_, librariesText_}) {
        text->setWordWrap(true);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    documentationLink_->setTextFormat(Qt::RichText);
    documentationLink_->setOpenExternalLinks(true);
    documentationLink_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    bottom_ = placeControl<CPictureEx>(this, "bottomPicture", duRect(0, 254, 15, 13));
    close_ = placeControl<QPushButton>(this, "closeButton", duRect(229, 267, 50, 14),
                                       QStringLiteral("Close"));
    close_->setDefault(true);
    close_->setAutoDefault(true);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    for (QLabel* label : {productName_, versionText_, reportsText_, librariesText_})
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
    showDetails();
    close_->setFocus();
    // The banners lie under the texts' edges; keep the button reachable above them.
    close_->raise();
    placeOnBand(*bottom_, {close_});
}

void CVSKInfoDlg::showDetails() {
    const auto text = [this](const char* key) {
        return language_->GetString(QString::fromLatin1(key));
    };
    description_->setText(text("about_description"));
    licenceLabel_->setText(text("about_licence_label"));
    licenceText_->setText(text("about_licence"));
    reportsLabel_->setText(text("about_reports_label"));
    reportsText_->setText(ShredReport::LogFolder(language_.get()));
    librariesLabel_->setText(text("about_libraries_label"));
    librariesText_->setText(ProgramLibrariesText());
    documentationLabel_->setText(text("about_documentation_label"));
    const QUrl address(text("about_documentation_url"));
    documentationLink_->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                                    .arg(address.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                         text("about_documentation").toHtmlEscaped()));
    documentationLink_->setToolTip(address.toString());
}

void CVSKInfoDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    // No caption: a thin border marks the window's edge.
    painter.setPen(look::kWindowEdge);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace kestrune
