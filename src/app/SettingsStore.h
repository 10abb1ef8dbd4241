#pragma once

#include "shred/DocumentSigner.h"

#include <QString>
#include <cstdint>
#include <memory>

namespace kestrune {

class SystemUtil;

// The program's settings in the registry. Caches nothing: every accessor builds the
// product key and reads or writes one value.
class SettingsStore {
public:
    explicit SettingsStore(std::shared_ptr<SystemUtil> util);

    bool GetHideSettings() const;
    std::uint32_t GetShredAlgo() const;
    bool GetStartAuto() const;
    // The setters give the registry's result: 0 when stored.
    std::int32_t SetStartAuto(bool on) const;
    bool GetFormatDrive() const;
    std::int32_t SetFormatDrive(bool on) const;
    QString GetProductName() const;
    // A PDF certificate beside every report, unless the user's "NoCertificates" is 1.
    bool GetCertificates() const;
    // Whether Start in the window asks before it erases a disk: yes, unless the machine's
    // "NoStartQuestion" is 1 (a bulk-erasure station).
    bool GetAskBeforeStart() const;
    // Who erases and where, for every report and certificate: the machine's "Organisation"
    // and "Location" texts, which only an administrator sets; empty when not set.
    QString GetOrganisation() const;
    QString GetLocation() const;
    // The signing certificate, key and time-stamp service in "Settings\Signing": the
    // machine's values when it names a certificate or a key (a station), else the user's.
    SigningSettings GetSigning() const;

    // "Software\<company>\<product><suffix>", company from language 0.
    QString ProductKey(const QString& suffix) const;
    bool ReadFlag(const QString& suffix, const QString& name, bool machineWide) const;
    std::int32_t WriteFlag(const QString& suffix, const QString& name, bool on) const;
    // A text value of the machine's hive, trimmed; empty when missing or not text.
    QString ReadMachineText(const QString& suffix, const QString& name) const;

    std::shared_ptr<SystemUtil> util() const { return util_; }

private:
    std::shared_ptr<SystemUtil> util_;
};

std::shared_ptr<SettingsStore> GetSettingsStore();
void ReleaseSettingsStore();

} // namespace kestrune
