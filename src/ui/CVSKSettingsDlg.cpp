#include "ui/CVSKSettingsDlg.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CPictureEx.h"
#include "controls/LanguagePicture.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"
#include "shred/ShredMethod.h"
#include "ui/DialogUnits.h"
#include "ui/ProgramLook.h"
#include "ui/TemplateDialog.h"
#include "update/UpdateManager.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>

namespace kestrune {
namespace {

QGroupBox* group(QWidget* parent, const char* name, QRect rect, const char* templateText) {
    auto* box = placeControl<QGroupBox>(parent, name, rect);
    box->setTitle(QString::fromUtf8(templateText));
    return box;
}

// Group boxes draw their title in the frame's top line, as the template expects: the
// frame then starts half a line below the box's top and the first control inside stays
// clear of it.
const char* const kGroupStyle =
    "QGroupBox { border: 1px solid #cdd5da; border-radius: 4px; margin-top: 7px;"
    " font-weight: bold; color: #0e2742; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
    " left: 9px; padding: 0 4px; }";

// Every control inside a group starts and ends the same distance from its frame;
// indented controls (the schedule radios) keep their indent.
void insetIn(const QGroupBox& box, QWidget* control, int indent = 0) {
    constexpr int kInset = 14;
    const int left = box.x() + kInset + indent;
    control->setGeometry(left, control->y(), box.geometry().right() + 1 - kInset - left,
                         control->height());
}

// A drop-down keeps the template's width; its closed height is the style's.
QComboBox* dropDown(QWidget* parent, const char* name, double x, double y, double width) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromLatin1(name));
    list->setMaxVisibleItems(8);
    list->setGeometry(duX(x), duY(y), duX(width), std::max(list->sizeHint().height(), duY(12)));
    return list;
}

} // namespace

CVSKSettingsDlg::CVSKSettingsDlg(QWidget* parent) : QDialog(parent) {
    settings_ = GetSettingsStore();
    language_ = GetLanguageManager();
    util_ = GetSystemUtil();
    createControls();
    OnInitDialog();
}

CVSKSettingsDlg::~CVSKSettingsDlg() = default;

void CVSKSettingsDlg::createControls() {
    setObjectName(QStringLiteral("settingsDialog"));
    makeWhiteCaptionlessDialog(*this, QSize(duX(471), duY(263)));

    // Creation order is the template's; later controls lie above earlier ones, so the
    // buttons stay on top of the bottom picture.
    top_ = placeControl<CPictureEx>(this, "topPicture", duRect(0, 0, 471, 34));
    bottom_ = placeControl<CPictureEx>(this, "bottomPicture", duRect(0, 232, 471, 31));
    ok_ = placeControl<QPushButton>(this, "okButton", duRect(360, 245, 50, 14), "OK");
    ok_->setDefault(true);
    cancel_ = placeControl<QPushButton>(this, "cancelButton", duRect(416, 245, 50, 14), "Cancel");
    cancel_->setAutoDefault(false);

    algorithmGroup_ =
        group(this, "algorithmGroup", duRect(26, 36, 203, 127), "Shredding Algorithm");
    chooseAlgorithm_ = placeControl<QLabel>(this, "chooseAlgorithmText", duRect(37, 47, 182, 8),
                                            "Choose your prefered shredding algorithm");
    algorithms_ = dropDown(this, "algorithmList", 37, 63, 180);
    informationGroup_ = group(this, "informationGroup", duRect(37, 79, 180, 79), "Information");
    description_ = placeControl<QLabel>(this, "algorithmDescription", duRect(48, 90, 159, 66),
                                        "Shredding algorithm information");
    description_->setWordWrap(true);
    description_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    advancedGroup_ = group(this, "advancedGroup", duRect(26, 177, 203, 44), "Advanced options");
    startAuto_ = placeControl<QCheckBox>(this, "startAutoCheck", duRect(39, 190, 187, 10),
                                         "Start shredding automatically");
    startAuto_->setEnabled(false);
    // The automatic start is never shown: the one visible option takes its line, level
    // with the first line of the language group beside it.
    format_ = placeControl<QCheckBox>(this, "formatCheck", duRect(39, 190, 186, 10),
                                      "Format after successful shredding");

    updateGroup_ = group(this, "updateGroup", duRect(243, 36, 203, 127), "Automatic Updates");
    updateText_ = placeControl<QLabel>(
        this, "updateText", duRect(256, 48, 182, 21),
        "Please choose below how often you would like the program to check for new updates.");
    updateText_->setWordWrap(true);
    updateText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    activate_ = placeControl<QCheckBox>(this, "activateCheck", duRect(256, 73, 182, 10),
                                        "Activate Updates");
    daily_ = placeControl<QRadioButton>(this, "dailyRadio", duRect(264, 89, 166, 10),
                                        "Check once a day");
    weekly_ = placeControl<QRadioButton>(this, "weeklyRadio", duRect(264, 101, 166, 10),
                                         "Check once a week");
    monthly_ = placeControl<QRadioButton>(this, "monthlyRadio", duRect(264, 113, 166, 10),
                                          "Check once a month");

    languageGroup_ = group(this, "languageGroup", duRect(243, 178, 203, 44), "Language");
    chooseLanguage_ = placeControl<QLabel>(this, "chooseLanguageText", duRect(255, 189, 180, 8),
                                           "Choose your prefered langauge");
    languages_ = dropDown(this, "languageList", 256, 202, 179);
    grey_ = placeControl<CPictureEx>(this, "greyPicture", duRect(243, 43, 15, 13));
    grey_->hide();

    setStyleSheet(QString::fromLatin1(kGroupStyle));
    for (QWidget* control :
         {static_cast<QWidget*>(chooseAlgorithm_), static_cast<QWidget*>(algorithms_),
          static_cast<QWidget*>(informationGroup_)})
        insetIn(*algorithmGroup_, control);
    insetIn(*informationGroup_, description_);
    for (QWidget* control : {static_cast<QWidget*>(startAuto_), static_cast<QWidget*>(format_)})
        insetIn(*advancedGroup_, control);
    for (QWidget* control : {static_cast<QWidget*>(updateText_), static_cast<QWidget*>(activate_)})
        insetIn(*updateGroup_, control);
    for (QRadioButton* radio : {daily_, weekly_, monthly_})
        insetIn(*updateGroup_, radio, duX(8));
    for (QWidget* control :
         {static_cast<QWidget*>(chooseLanguage_), static_cast<QWidget*>(languages_)})
        insetIn(*languageGroup_, control);

    connect(ok_, &QPushButton::clicked, this, &CVSKSettingsDlg::OnOK);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(activate_, &QCheckBox::clicked, this, &CVSKSettingsDlg::OnActivateClicked);
}

QString CVSKSettingsDlg::text(const char* key) const {
    return language_ ? language_->GetString(QString::fromLatin1(key)) : QString();
}

void CVSKSettingsDlg::OnInitDialog() {
    if (!language_)
        return;
    setWindowTitle(settings_->GetProductName());
    showPictures();
    ok_->setText(text("OK-button"));
    cancel_->setText(text("Cancel-button"));
    showAlgorithms();
    showAdvancedOptions();
    showUpdates();
    showLanguages();
    connect(algorithms_, &QComboBox::currentIndexChanged, this,
            &CVSKSettingsDlg::OnAlgorithmSelected);
    ok_->setFocus();
}

void CVSKSettingsDlg::showPictures() {
    ShowLanguagePicture(*top_, *language_, QStringLiteral("settings_top"), "JPG", -1);
    ShowLanguagePicture(*bottom_, *language_, QStringLiteral("settings_bot"), "JPG", -1);
    // The pictures size themselves to the image; the buttons stay above them, on the
    // bottom band's middle line.
    ok_->raise();
    cancel_->raise();
    placeOnBand(*bottom_, {cancel_, ok_});
}

void CVSKSettingsDlg::showAlgorithms() {
    algorithmGroup_->setTitle(text("shred_algo"));
    chooseAlgorithm_->setText(text("choose_algo"));
    for (const ShredMethod& method : kShredMethods)
        algorithms_->addItem(text(method.nameKey));
    // An unknown number selects the method that runs in its place, never nothing.
    const ShredMethod& stored = EffectiveShredMethod(settings_->GetShredAlgo());
    algorithms_->setCurrentIndex(int(&stored - kShredMethods.data()));
    description_->setText(text(stored.descriptionKey));
}

void CVSKSettingsDlg::showAdvancedOptions() {
    advancedGroup_->setTitle(text("advanced_options"));
    startAuto_->setText(text("adv_start_auto"));
    format_->setText(text("adv_format_auto"));
    startAuto_->setChecked(settings_->GetStartAuto());
    startAuto_->hide();
    format_->setChecked(settings_->GetFormatDrive());
}

void CVSKSettingsDlg::showUpdates() {
    updateGroup_->setTitle(text("automatic_updates"));
    updateText_->setText(text("update_check"));
    activate_->setText(text("update_activate"));
    daily_->setText(text("settings_update_day"));
    weekly_->setText(text("settings_update_week"));
    monthly_->setText(text("settings_update_month"));

    updates_ = GetUpdateManager();
    if (!updates_->IsUpdateAvailable() || updates_->GetHideUpdate()) {
        for (QWidget* control : std::initializer_list<QWidget*>{
                 updateGroup_, updateText_, activate_, daily_, weekly_, monthly_})
            control->hide();
        ShowLanguagePicture(*grey_, *language_, QStringLiteral("grey_usb"), "JPG", -1);
        grey_->show();
    } else if (!updates_->IsFeedConfigured()) {
        // Nothing to check against until an administrator names a feed: the choice would
        // be a promise nothing keeps. The user's stored schedule stays for when there is one.
        scheduleOffered_ = false;
        for (QWidget* control :
             std::initializer_list<QWidget*>{activate_, daily_, weekly_, monthly_})
            control->hide();
        updateText_->setText(text("update_not_configured"));
        updateText_->setGeometry(updateText_->x(), updateText_->y(), updateText_->width(),
                                 monthly_->geometry().bottom() - updateText_->y());
    } else {
        if (QRadioButton* radio = radioFor(updates_->GetUpdateSchedule()))
            radio->setChecked(true);
        if (updates_->GetNotActivate()) {
            for (QRadioButton* radio : {daily_, weekly_, monthly_})
                radio->setEnabled(false);
        } else {
            activate_->setChecked(true);
        }
    }
}

void CVSKSettingsDlg::showLanguages() {
    languageGroup_->setTitle(text("settings_box_language"));
    chooseLanguage_->setText(text("prefered_langauge"));
    for (int j = 0; j < language_->GetLanguageCount(); ++j)
        languages_->addItem(language_->GetStringForLanguage(QStringLiteral("Language"), j));
    initialLanguage_ = language_->SelectCurrentLanguage();
    languages_->setCurrentIndex(initialLanguage_);
}

void CVSKSettingsDlg::OnAlgorithmSelected(int index) {
    if (!language_)
        return;
    if (index < 0 || index >= int(kShredMethods.size()))
        return;
    description_->setText(language_->GetStringForLanguage(
        QString::fromLatin1(kShredMethods[std::size_t(index)].descriptionKey), initialLanguage_));
}

void CVSKSettingsDlg::OnActivateClicked() {
    const bool active = activate_->checkState() == Qt::Checked;
    for (QRadioButton* radio : {daily_, weekly_, monthly_})
        radio->setEnabled(active);
    if (!active)
        return;
    if (checkedSchedule() == 0)
        weekly_->setChecked(true);
    if (QRadioButton* radio = radioFor(updates_ ? updates_->GetUpdateSchedule() : 0))
        radio->setChecked(true);
}

std::uint32_t CVSKSettingsDlg::checkedSchedule() const {
    if (daily_->isChecked())
        return kDaily;
    if (weekly_->isChecked())
        return kWeekly;
    if (monthly_->isChecked())
        return kMonthly;
    return 0;
}

QRadioButton* CVSKSettingsDlg::radioFor(std::uint32_t schedule) const {
    switch (schedule) {
    case kDaily:
        return daily_;
    case kWeekly:
        return weekly_;
    case kMonthly:
        return monthly_;
    default:
        return nullptr;
    }
}

void CVSKSettingsDlg::OnOK() {
    if (language_) {
        const int index = std::max(algorithms_->currentIndex(), 0);
        const auto method = std::uint32_t(kShredMethods[std::size_t(index)].number);
        bool saved = util_->WriteRegistryDword(settings_->ProductKey(QStringLiteral("\\Shredding")),
                                               QStringLiteral("ShredAlgo"), method, false) == 0;
        saved = settings_->SetStartAuto(startAuto_->checkState() == Qt::Checked) == 0 && saved;
        saved = settings_->SetFormatDrive(format_->checkState() == Qt::Checked) == 0 && saved;
        if (updates_ && scheduleOffered_)
            saved = updates_->SetUpdateSchedule(activate_->checkState() == Qt::Checked,
                                                checkedSchedule()) == 0 &&
                    saved;
        // A damaged hive is never overwritten, so the user must hear that nothing was kept.
        if (!saved)
            platform::showMessage(
                text("settings_not_saved")
                    .replace(QStringLiteral("%s"),
                             platform::registry().location(platform::RegistryRoot::CurrentUser)),
                settings_->GetProductName(), platform::MB_OK_STYLE | platform::MB_ICONERROR_STYLE,
                this);

        const int chosen = languages_->currentIndex();
        if (chosen >= 0 && chosen != initialLanguage_) {
            if (!language_->SetLanguage(chosen))
                platform::showMessage(text("settings_language_bad_setting"),
                                      SystemUtil::ApplicationTitle(),
                                      platform::MB_OK_STYLE | platform::MB_ICONERROR_STYLE, this);
            platform::showMessage(text("settings_language_restart"), settings_->GetProductName(),
                                  platform::MB_OK_STYLE | platform::MB_ICONINFORMATION_STYLE, this);
        }
    }
    accept();
}

void CVSKSettingsDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    // No caption: a thin border marks the window's edge.
    painter.setPen(look::kWindowEdge);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace kestrune
