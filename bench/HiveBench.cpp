// How long one settings read takes from a hive of many keys. Every setting is read from the
// file anew, so the time per read must grow with the hive's size, not with its square.
#include "platform/Registry.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

using namespace kestrune;

namespace {

const QString kSettings = QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune\\Settings");

bool writeHive(const QString& path, int keys) {
    QByteArray text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int i = 0; i < keys; ++i)
        text += "[HKEY_CURRENT_USER\\Software\\Filler\\Key" + QByteArray::number(i) +
                "]\r\n\"Value\"=dword:" + QByteArray::number(i, 16).rightJustified(8, '0') +
                "\r\n\r\n";
    text += "[HKEY_CURRENT_USER\\" + kSettings.toUtf8() + "]\r\n\"StartAuto\"=dword:00000001\r\n";
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Milliseconds per read, the best of a few rounds; with changed, the file is written anew
// (other bytes, same size of hive) before each read, so each read parses it.
double millisecondsPerRead(const QString& folder, int keys, bool changed) {
    const QString path = folder + QStringLiteral("/user.reg");
    if (!writeHive(path, keys))
        return -1;
    double best = -1;
    for (int round = 0; round < 5; ++round) {
        constexpr int reads = 10;
        qint64 elapsed = 0;
        for (int i = 0; i < reads; ++i) {
            if (changed && !writeHive(path, keys + (i % 2)))
                return -1;
            QElapsedTimer timer;
            timer.start();
            const auto value = platform::registry().read(platform::RegistryRoot::CurrentUser,
                                                         kSettings, QStringLiteral("StartAuto"));
            elapsed += timer.nsecsElapsed();
            if (!value || value->data.size() != 4 || value->data[0] != 1)
                return -1;
        }
        const double each = double(elapsed) / 1e6 / reads;
        if (best < 0 || each < best)
            best = each;
    }
    return best;
}

} // namespace

int main() {
    QTemporaryDir folder;
    qputenv("KESTRUNE_REGISTRY_DIR", QFile::encodeName(folder.path()));
    // About 72 bytes a key: the large hive stays below the 1 MiB a hive may have.
    const int small = 2000, large = 10000;
    const double smallMs = millisecondsPerRead(folder.path(), small, true);
    const double largeMs = millisecondsPerRead(folder.path(), large, true);
    const double unchangedMs = millisecondsPerRead(folder.path(), large, false);
    if (smallMs <= 0 || largeMs <= 0 || unchangedMs <= 0) {
        std::fprintf(stderr, "bench: the filled hive did not read back\n");
        return 1;
    }
    std::printf("bench: settings read from a %d-key hive: %.2f ms per read (file read, its parse "
                "reused while unchanged); %.2f ms when it changed (%d keys: %.2f ms)\n",
                large, unchangedMs, largeMs, small, smallMs);
    return 0;
}
