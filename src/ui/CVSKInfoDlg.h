#pragma once

#include <QDialog>
#include <memory>

class QLabel;
class QPushButton;

namespace kestrune {

class CPictureEx;
class LanguageManager;
class SettingsStore;
class SystemUtil;

// The About box: banners at the top and bottom, a heading, the product name and the
// program version, what the program does, its licence, where its reports go, the libraries
// it runs with and a link to its documentation, and a Close button. Modal; Close and
// Escape end it.
class CVSKInfoDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVSKInfoDlg(QWidget* parent);
    ~CVSKInfoDlg() override;

    CPictureEx* topPicture() const { return top_; }
    CPictureEx* bottomPicture() const { return bottom_; }
    QLabel* heading() const { return heading_; }
    QLabel* productLabel() const { return productLabel_; }
    QLabel* productName() const { return productName_; }
    QLabel* versionLabel() const { return versionLabel_; }
    QLabel* versionText() const { return versionText_; }
    QLabel* description() const { return description_; }
    QLabel* licenceText() const { return licenceText_; }
    QLabel* reportsText() const { return reportsText_; }
    QLabel* librariesText() const { return librariesText_; }
    QLabel* documentationLink() const { return documentationLink_; }
    QPushButton* closeButton() const { return close_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void createControls();
    void OnInitDialog();
    void showDetails();

    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<SystemUtil> util_;
    std::shared_ptr<LanguageManager> language_;

    CPictureEx* top_ = nullptr;
    QLabel* heading_ = nullptr;
    QLabel* productLabel_ = nullptr;
    QLabel* productName_ = nullptr;
    QLabel* versionLabel_ = nullptr;
    QLabel* versionText_ = nullptr;
    QLabel* description_ = nullptr;
    QLabel* licenceLabel_ = nullptr;
    QLabel* licenceText_ = nullptr;
    QLabel* reportsLabel_ = nullptr;
    QLabel* reportsText_ = nullptr;
    QLabel* librariesLabel_ = nullptr;
    QLabel* librariesText_ = nullptr;
    QLabel* documentationLabel_ = nullptr;
    QLabel* documentationLink_ = nullptr;
    CPictureEx* bottom_ = nullptr;
    QPushButton* close_ = nullptr;
};

} // namespace kestrune
