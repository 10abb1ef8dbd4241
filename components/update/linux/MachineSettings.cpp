#include "UpdateFeed.h"

#include "base/Hive.h"
#include "base/SettingsPlace.h"

#include <QFile>

namespace kestrune::update {

QString machineHivePath() {
    // Refused (working for another user from a folder they could change): no hive at all.
    const platform::SettingsPlace hive = platform::MachineHiveFile();
    return hive.refused ? QString() : QFile::decodeName(QByteArray::fromStdString(hive.path));
}

UpdateSettings machineUpdateSettings(const QString& productName) {
    // Read as every hive is: without blocking, only a regular file, a damaged one not at all.
    if (const QString path = machineHivePath(); !path.isEmpty()) {
        const platform::HiveFile hive = platform::ReadHiveFile(path);
        if (hive.state == platform::HiveState::Loaded)
            return updateSettingsFromHive(*hive.hive, productName);
    }
    return {};
}

} // namespace kestrune::update
