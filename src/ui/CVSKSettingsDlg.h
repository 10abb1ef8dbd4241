#pragma once

#include <QDialog>
#include <cstdint>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace kestrune {

class CPictureEx;
class LanguageManager;
class SettingsStore;
class SystemUtil;
class UpdateManager;

// The settings dialog: shredding algorithm, format after shredding, update schedule and
// language. Everything is written to the registry on OK only.
class CVSKSettingsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVSKSettingsDlg(QWidget* parent);
    ~CVSKSettingsDlg() override;

    // The schedule number of each radio (1040, 1041, 1042).
    static constexpr std::uint32_t kDaily = 1, kWeekly = 2, kMonthly = 3;

    int initialLanguage() const { return initialLanguage_; }

    CPictureEx* topPicture() const { return top_; }
    CPictureEx* bottomPicture() const { return bottom_; }
    CPictureEx* greyPicture() const { return grey_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    QComboBox* algorithmList() const { return algorithms_; }
    QLabel* algorithmDescription() const { return description_; }
    QCheckBox* startAutoCheck() const { return startAuto_; }
    QCheckBox* formatCheck() const { return format_; }
    QGroupBox* updateGroup() const { return updateGroup_; }
    QLabel* updateText() const { return updateText_; }
    QCheckBox* activateCheck() const { return activate_; }
    QRadioButton* dailyRadio() const { return daily_; }
    QRadioButton* weeklyRadio() const { return weekly_; }
    QRadioButton* monthlyRadio() const { return monthly_; }
    QComboBox* languageList() const { return languages_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void createControls();
    void OnInitDialog();
    void showPictures();
    void showAlgorithms();
    void showAdvancedOptions();
    void showUpdates();
    void showLanguages();
    void OnAlgorithmSelected(int index);
    void OnActivateClicked();
    void OnOK();
    QString text(const char* key) const;
    std::uint32_t checkedSchedule() const;
    QRadioButton* radioFor(std::uint32_t schedule) const;

    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<LanguageManager> language_;
    std::shared_ptr<SystemUtil> util_;
    std::shared_ptr<UpdateManager> updates_;
    int initialLanguage_ = 0;

    CPictureEx* top_ = nullptr;
    CPictureEx* bottom_ = nullptr;
    CPictureEx* grey_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QGroupBox* algorithmGroup_ = nullptr;
    QLabel* chooseAlgorithm_ = nullptr;
    QComboBox* algorithms_ = nullptr;
    QGroupBox* informationGroup_ = nullptr;
    QLabel* description_ = nullptr;
    QGroupBox* advancedGroup_ = nullptr;
    QCheckBox* startAuto_ = nullptr;
    QCheckBox* format_ = nullptr;
    QGroupBox* updateGroup_ = nullptr;
    QLabel* updateText_ = nullptr;
    bool scheduleOffered_ = true;
    QCheckBox* activate_ = nullptr;
    QRadioButton* daily_ = nullptr;
    QRadioButton* weekly_ = nullptr;
    QRadioButton* monthly_ = nullptr;
    QGroupBox* languageGroup_ = nullptr;
    QLabel* chooseLanguage_ = nullptr;
    QComboBox* languages_ = nullptr;
};

} // namespace kestrune
