#include "ui/RowTexts.h"

#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "shred/ShredMethod.h"

namespace kestrune {

QString StartQuestionText(const LanguageManager& language, const RowDisk& disk,
                          std::uint32_t algorithm, bool format) {
    const auto text = [&language](const QString& key) { return language.GetString(key); };
    const QString volumes =
        disk.volumes.isEmpty() ? text(QStringLiteral("question_start_no_volumes")) : disk.volumes;
    // A disk without vendor and product is still told apart by its path.
    const QString device = disk.device.isEmpty() ? disk.path : disk.device;
    // Only the known methods have a name; the engine refuses any other number.
    const ShredMethod* known = findShredMethod(algorithm);
    const QString method =
        known ? text(QString::fromLatin1(known->nameKey)) : QString::number(algorithm);
    QString question = FillPlaceholders(text(QStringLiteral("question_start_shred")),
                                        {device, disk.path, disk.size, volumes, method});
    if (format)
        question += QStringLiteral("\n\n") + text(QStringLiteral("info_format_auto"));
    return question;
}

RowAccessibleNames AccessibleNamesOfRow(const LanguageManager& language, const RowFacts& row) {
    const auto text = [&language](const char* key) {
        return language.GetString(QString::fromLatin1(key));
    };
    QStringList parts;
    for (const QString& part : {row.device, row.size, row.distinguisher})
        if (!part.isEmpty())
            parts << part;
    const QString disk = parts.join(QStringLiteral(", "));
    const bool offersAbort = row.buttonCaption == text("status_abort");
    RowAccessibleNames names;
    names.button = FillPlaceholders(text(offersAbort ? "access_abort" : "access_start"), {disk});
    names.progress = FillPlaceholders(text("access_progress"), {disk});
    names.status = FillPlaceholders(text("access_status"), {disk, row.status});
    return names;
}

} // namespace kestrune
