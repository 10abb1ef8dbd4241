#include "shred/ShredReport.h"

#include "app/SystemUtil.h"
#include "lang/LanguageManager.h"
#include "platform/ExclusiveFile.h"
#include "platform/MessageService.h"
#include "platform/RecordClaim.h"
#include "platform/Registry.h"
#include "platform/SystemLog.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredMethod.h"

#include <QDateTime>
#include <QFile>
#include <QUuid>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <locale>
#include <mutex>
#include <sstream>

namespace kestrune {
namespace {

std::mutex askerMutex;
ShredReport::SaveFileAsker installedAsker;

QString overwritePatterns(std::int32_t algorithm) {
    const ShredMethod* method = findShredMethod(algorithm);
    return method ? QString::fromLatin1(method->reportPatterns) : QString();
}

QString mediumTypeName(platform::MediumType type) {
    switch (type) {
    case platform::MediumType::UsbFlashDrive:
        return QStringLiteral("usb flash drive");
    case platform::MediumType::MemoryCard:
        return QStringLiteral("memory card");
    case platform::MediumType::ImageFile:
        return QStringLiteral("image file");
    case platform::MediumType::Disk:
        break;
    }
    return QStringLiteral("disk");
}

std::int64_t secondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

ShredReport::ShredReport(std::int32_t algorithm, std::shared_ptr<LanguageManager> language,
                         std::int64_t startTime, const QString& id)
    : algorithm_(algorithm), language_(std::move(language)),
      startTime_(startTime >= 0 ? startTime : secondsNow()) {
    appendLine(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"));
    appendLine(QStringLiteral("<reports>"));
    // Every report gets its own identifier.
    id_ = id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : escapeXml(id);
    appendLine(QStringLiteral("<report id=\"%1\" version=\"4.2\">").arg(id_));
    appendLine(QStringLiteral("<hardware pccheck=\"0\">"));
    const QString date =
        formatLocalTime(QStringLiteral("<item name=\"date\" source=\"hw\">%A %d %B %Y</item>"));
    if (!date.isEmpty())
        appendLine(date);
    const QString time =
        formatLocalTime(QStringLiteral("<item name=\"time\" source=\"hw\">%I:%M:%S %p</item>"));
    if (!time.isEmpty())
        appendLine(time);
}

ShredReport::~ShredReport() = default;

void ShredReport::addHardwareItems(const QString& serial, const QString& make, const QString& model,
                                   const QString& size, const QString& bus) {
    serial_ = serial;
    make_ = make;
    model_ = model;
    size_ = size;
    bus_ = bus;
    appendLine(
        QStringLiteral("<item name=\"serial\" source=\"hw\">%1</item>").arg(escapeXml(serial)));
    appendLine(QStringLiteral("<item name=\"make\" source=\"hw\">%1</item>").arg(escapeXml(make)));
    appendLine(
        QStringLiteral("<item name=\"model\" source=\"hw\">%1</item>").arg(escapeXml(model)));
}

QString ShredReport::text(const char* key) const {
    return language_ ? language_->GetString(QString::fromLatin1(key)) : QString();
}

// strftime in the C locale: English day and month names whatever the user's locale.
QString ShredReport::formatLocalTime(const QString& format) const {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(startTime_, Qt::LocalTime);
    const QDate date = local.date();
    const QTime time = local.time();
    std::tm fields{};
    fields.tm_year = date.year() - 1900;
    fields.tm_mon = date.month() - 1;
    fields.tm_mday = date.day();
    fields.tm_wday = date.dayOfWeek() % 7;
    fields.tm_yday = date.dayOfYear() - 1;
    fields.tm_hour = time.hour();
    fields.tm_min = time.minute();
    fields.tm_sec = time.second();
    fields.tm_isdst = local.isDaylightTime() ? 1 : 0;
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::put_time(&fields, format.toStdString().c_str());
    return QString::fromStdString(text.str());
}

QString ShredReport::escapeXml(const QString& input) {
    QString out;
    out.reserve(input.size());
    for (qsizetype i = 0; i < input.size(); ++i) {
        const QChar c = input[i];
        switch (c.unicode()) {
        case u'&':
            out += QStringLiteral("&amp;");
            continue;
        case u'<':
            out += QStringLiteral("&lt;");
            continue;
        case u'>':
            out += QStringLiteral("&gt;");
            continue;
        case u'"':
            out += QStringLiteral("&quot;");
            continue;
        case u'\'':
            out += QStringLiteral("&apos;");
            continue;
        default:
            break;
        }
        // Characters XML 1.0 cannot carry at all (device names are whatever the firmware
        // says) are dropped: a report no parser accepts would be worse than a shorter name.
        if (c.isHighSurrogate() && i + 1 < input.size() && input[i + 1].isLowSurrogate()) {
            out += c;
            out += input[++i];
            continue;
        }
        const bool allowed = c.unicode() >= 0x20 ? !c.isSurrogate() && c.unicode() < 0xFFFE
                                                 : c == u'\t' || c == u'\n' || c == u'\r';
        if (allowed)
            out += c;
    }
    return out;
}

namespace {

QString xmlAttribute(const char* name, const QString& value) {
    return QStringLiteral(" %1=\"%2\"").arg(QLatin1String(name), ShredReport::escapeXml(value));
}

QString readbackElement(ReportVerification verification, std::uint64_t offset) {
    QString readback =
        QStringLiteral("<readback") + xmlAttribute("method", QStringLiteral("full read-back"));
    switch (verification) {
    case ReportVerification::Passed:
        readback += xmlAttribute("result", QStringLiteral("passed"));
        break;
    case ReportVerification::Failed:
        readback += xmlAttribute("result", QStringLiteral("failed")) +
                    xmlAttribute("offset", QString::number(offset));
        break;
    case ReportVerification::Interrupted:
        readback += xmlAttribute("result", QStringLiteral("interrupted")) +
                    xmlAttribute("offset", QString::number(offset));
        break;
    case ReportVerification::NotReached:
        readback += xmlAttribute("result", QStringLiteral("not reached"));
        break;
    }
    return readback + QStringLiteral("/>\n");
}

// Who did the job, where and with what: one element a line, those not given left out.
QString provenanceElements(const JobProvenance& who) {
    QString out;
    auto appendLine = [&out](const QString& line) { out += line + QStringLiteral("/>\n"); };
    QString tool = QStringLiteral("<tool") + xmlAttribute("name", who.toolName);
    if (!who.toolVersion.isEmpty())
        tool += xmlAttribute("version", who.toolVersion);
    appendLine(tool);
    if (!who.host.isEmpty())
        appendLine(QStringLiteral("<host") + xmlAttribute("name", who.host));
    appendLine(QStringLiteral("<medium") + xmlAttribute("type", mediumTypeName(who.mediumType)));
    QString account = QStringLiteral("<operator") + xmlAttribute("login", who.operatorLogin);
    if (!who.operatorName.isEmpty())
        account += xmlAttribute("name", who.operatorName);
    appendLine(account);
    if (!who.organisation.isEmpty() || !who.location.isEmpty()) {
        QString site = QStringLiteral("<organisation");
        if (!who.organisation.isEmpty())
            site += xmlAttribute("name", who.organisation);
        if (!who.location.isEmpty())
            site += xmlAttribute("location", who.location);
        appendLine(site);
    }
    if (!who.asset.isEmpty())
        appendLine(QStringLiteral("<asset") + xmlAttribute("number", who.asset));
    if (!who.source.isEmpty())
        appendLine(QStringLiteral("<source") + xmlAttribute("description", who.source));
    return out;
}

} // namespace

// The sanitization in the terms of the standards, with the same facts as the certificate;
// the values are fixed English words, whatever the program's language.
QString ShredReport::sanitization(std::int64_t end, RecordState state) const {
    QString out;
    auto appendLine = [&out](const QString& line) { out += line + u'\n'; };
    const int planned = plannedPasses(algorithm_);
    const bool clear = reachedClear(finalStatus_, planned, passesDone_, capacityBytes_,
                                    usableBytes_, verification_);
    appendLine(QStringLiteral("<sanitization") +
               xmlAttribute("standard", QLatin1String(kSanitizationStandard)) +
               xmlAttribute("techniques", QLatin1String(kSanitizationTechniques)) +
               xmlAttribute("method", clear ? QLatin1String(kSanitizationClear)
                                            : QStringLiteral("not reached")) +
               xmlAttribute("started", LocalTimeWithZone(startTime_, "yyyy-MM-ddTHH:mm:ss", "")) +
               (state == RecordState::Running
                    ? QString()
                    : xmlAttribute("ended", LocalTimeWithZone(end, "yyyy-MM-ddTHH:mm:ss", ""))) +
               u'>');
    QString technique = QStringLiteral("<technique name=\"overwrite\"") +
                        xmlAttribute("algorithm", QString::number(algorithm_)) +
                        xmlAttribute("passes", QString::number(planned));
    if (passesDone_)
        technique += xmlAttribute("passesdone", QString::number(*passesDone_));
    appendLine(technique + xmlAttribute("patterns", overwritePatterns(algorithm_)) +
               QStringLiteral("/>"));
    out += readbackElement(verification_, mismatchOffset_);
    out += progressElement(progress_, state, end, plannedPasses(algorithm_), capacityBytes_);
    out += provenanceElements(provenance_);
    // The signature itself lies beside the report (NAME.xml.p7s) and in the certificate.
    if (!signer_.isEmpty())
        appendLine(QStringLiteral("<signing status=\"signed\"") + xmlAttribute("signer", signer_) +
                   xmlAttribute("detached", QStringLiteral("p7s")) + QStringLiteral("/>"));
    else if (!unsignedReason_.isEmpty())
        appendLine(QStringLiteral("<signing status=\"unsigned\"") +
                   xmlAttribute("reason", unsignedReason_) + QStringLiteral("/>"));
    appendLine(QStringLiteral("</sanitization>"));
    return out;
}

QString ShredReport::document(std::int64_t end, RecordState state) const {
    QString out = body_;
    auto appendLine = [&out](const QString& line) { out += line + u'\n'; };
    appendLine(QStringLiteral("<cleaner seconds=\"%1\">").arg(end - startTime_));
    appendLine(
        QStringLiteral("<disk disk=\"1\" partition=\"0\" smart=\"0\" remappedsectors=\"0\" "
                       "secureeraseflag=\"0\" secureerasetime=\"0\" issecurecleaned=\"0\">"));
    appendLine(QStringLiteral("<gendev bus=\"%1\" product=\"%2 %3\" serial=\"%4\" rev=\"0\" "
                              "sectors=\"0\" size=\"%5\"/>")
                   .arg(escapeXml(bus_), escapeXml(make_), escapeXml(model_), escapeXml(serial_),
                        escapeXml(size_)));
    const ShredMethod* known = findShredMethod(algorithm_);
    const QString method =
        language_ && known ? language_->GetString(QString::fromLatin1(known->nameKey)) : QString();
    appendLine(QStringLiteral("<cleaninfo method=\"%1\" methodn=\"%2\" iscleaned=\"%3\" "
                              "isformatted=\"%4\"/>")
                   .arg(escapeXml(method))
                   .arg(algorithm_)
                   .arg(isCleaned_ ? 1 : 0)
                   .arg(isFormatted_ ? 1 : 0));
    appendLine(QStringLiteral("<result status=\"%1\" capacity=\"%2\"/>")
                   .arg(code(finalStatus_))
                   .arg(capacityBytes_));
    if (usableBytes_)
        appendLine(QStringLiteral("<capacity claimed=\"%1\" usable=\"%2\"/>")
                       .arg(capacityBytes_)
                       .arg(*usableBytes_));
    else
        appendLine(QStringLiteral("<capacity claimed=\"%1\"/>").arg(capacityBytes_));
    switch (verification_) {
    case ReportVerification::Passed:
        appendLine(QStringLiteral("<verification result=\"passed\"/>"));
        break;
    case ReportVerification::Failed:
        appendLine(
            QStringLiteral("<verification result=\"failed\" offset=\"%1\"/>").arg(mismatchOffset_));
        break;
    case ReportVerification::NotReached:
    case ReportVerification::Interrupted: // how far it got is told below
        appendLine(QStringLiteral("<verification result=\"not reached\"/>"));
        break;
    }
    for (const ReportRange& range : ranges_) {
        const char* holds = range.kind == ReportRange::Kind::ReadWrong    ? "read wrong"
                            : range.kind == ReportRange::Kind::Unreadable ? "unreadable"
                                                                          : "kept last pass";
        appendLine(QStringLiteral("<range offset=\"%1\" length=\"%2\" holds=\"%3\"/>")
                       .arg(range.offset)
                       .arg(range.length)
                       .arg(QLatin1String(holds)));
    }
    for (const char* line : {"</disk>", "</cleaner>", "</hardware>"})
        appendLine(QString::fromLatin1(line));
    out += sanitization(end, state);
    for (const char* line : {"</report>", "</reports>"})
        appendLine(QString::fromLatin1(line));
    return out;
}

int ShredReport::finish(std::int64_t finishTime) {
    const std::int64_t end = finishTime >= 0 ? finishTime : secondsNow();
    finishTime_ = end;
    if (state_ == RecordState::Running)
        state_ = RecordState::Ended;
    body_ = document(end, state_);
    // The job's record takes its final form where it lies. An interrupted job's record that
    // cannot stays for the next start.
    if (completeRecord())
        return 1;
    if (state_ == RecordState::Interrupted)
        return 0;
    QString target = makeReportFileName();
    std::printf("Logfile: %s\n", target.toUtf8().constData());
    std::fflush(stdout);
    const QByteArray bytes = body_.toUtf8();
    bool chosenByUser = false;
    bool replaced = false;
    for (int races = 0;;) {
        if (chosenByUser) {
            // The user chose this name and agreed to replace what is there: only a whole
            // report takes its place, written with the user's own rights wherever it is.
            bool existed = false;
            if (platform::ReplaceFileWhole(target, bytes,
                                           platform::FileFolder::Rights::InvokingUsers, &existed)
                    .isEmpty()) {
                replaced = existed;
                break;
            }
        } else {
            // Exclusive: two jobs finishing in the same minute never share one file.
            const platform::ExclusiveCreation created =
                platform::CreateFileExclusively(target, bytes);
            if (created == platform::ExclusiveCreation::Created)
                break;
            if (created == platform::ExclusiveCreation::NameTaken && ++races < 100) {
                // Another job took the name since it was chosen: take the next free one.
                target = makeReportFileName();
                continue;
            }
        }
        SaveFileAsker asker;
        {
            std::lock_guard guard(askerMutex);
            asker = installedAsker;
        }
        const QString chosen = asker ? asker(target) : QString();
        if (chosen.isEmpty())
            return 0;
        target = chosen;
        chosenByUser = true;
    }
    writtenPath_ = target;
    replacedOlderFile_ = replaced;
    return 1;
}

QString ShredReport::openRecord() {
    for (int races = 0; races < 100; ++races) {
        const QString path = makeReportFileName();
        QString failure;
        bool nameTaken = false;
        std::unique_ptr<platform::RecordClaim> claim =
            platform::RecordClaim::take(path, &failure, &nameTaken);
        if (!claim && nameTaken)
            continue; // another job's since the name was chosen
        if (!claim)
            return failure;
        recordedTime_ = secondsNow();
        switch (platform::CreateFileExclusively(
            path, document(recordedTime_, RecordState::Running).toUtf8())) {
        case platform::ExclusiveCreation::Created:
            claim_ = std::move(claim);
            return {};
        case platform::ExclusiveCreation::NameTaken:
            claim->release();
            continue;
        case platform::ExclusiveCreation::Failed:
            claim->release();
            recordedTime_ = -1;
            return QStringLiteral("%1 could not be written whole to the disk").arg(path);
        }
    }
    return QStringLiteral("no free name for it in %1").arg(logFolder());
}

QString ShredReport::updateRecord() {
    if (!claim_)
        return {};
    const std::int64_t now = secondsNow();
    const QString failure = platform::ReplaceFileWhole(claim_->reportPath(),
                                                       document(now, RecordState::Running).toUtf8(),
                                                       platform::FileFolder::Rights::ForTheFolder);
    if (failure.isEmpty())
        recordedTime_ = now;
    return failure;
}

bool ShredReport::completeRecord() {
    if (!claim_)
        return false;
    const QString path = claim_->reportPath();
    const QString failure = platform::ReplaceFileWhole(path, body_.toUtf8(),
                                                       platform::FileFolder::Rights::ForTheFolder);
    std::unique_ptr<platform::RecordClaim> claim = std::move(claim_);
    if (!failure.isEmpty() && state_ == RecordState::Interrupted) {
        platform::LogWarning(
            QStringLiteral("The record %1 could not be completed: %2.").arg(path, failure));
        return false;
    }
    if (!failure.isEmpty()) {
        // The report goes elsewhere; a record left running would be taken for a job that
        // never ended.
        const QString left = claim->dropRecord();
        platform::LogWarning(QStringLiteral("The report could not take the place of its job's "
                                            "record %1: %2.%3")
                                 .arg(path, failure,
                                      left.isEmpty()
                                          ? QString()
                                          : QStringLiteral(" The record stays: ") + left + u'.'));
        return false;
    }
    std::printf("Logfile: %s\n", path.toUtf8().constData());
    std::fflush(stdout);
    writtenPath_ = path;
    // The job's end is on disk; a claim that cannot go is only completed again, as it is.
    const QString kept = claim->release();
    if (!kept.isEmpty())
        platform::LogWarning(
            QStringLiteral("The claim on the report %1 stays: %2.").arg(path, kept));
    return true;
}

QString ShredReport::logFolder() const {
    return LogFolder(language_.get());
}

QString ShredReport::LogFolder(const LanguageManager* language) {
    const auto text = [language](const char* key) {
        return language ? language->GetString(QString::fromLatin1(key)) : QString();
    };
    const QString company = text("company_ntv");
    const QString product = text("product_name");
    QString folder;
    const QString key = QStringLiteral("Software\\%1\\%2\\Settings").arg(company, product);
    const auto value = platform::registry().read(platform::RegistryRoot::LocalMachine, key,
                                                 QStringLiteral("LogPath"));
    if (value && value->data.size() <= 520)
        folder = platform::registryText(*value).value_or(QString());
    if (folder.isEmpty()) {
        const QString dataHome =
            QFile::decodeName(QByteArray::fromStdString(platform::UserDataHome()));
        if (!dataHome.isEmpty())
            folder = dataHome + u'/' + company + u'/' + product + QStringLiteral("/Logs/");
    }
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

QString ShredReport::makeReportFileName() const {
    const QString folder = logFolder();
    const platform::FileFolder place(QFile::encodeName(folder).toStdString(), true);
    const QString base =
        folder + formatLocalTime(text("dateformat")) + formatLocalTime(QStringLiteral("-%H%M"));
    QString name = base + QStringLiteral(".xml");
    if (!place.ok())
        return name; // writing it fails and says why
    // Looked up with the rights the report is written with. A date format with a folder in
    // it names a place that writing will find or not.
    auto present = [&](const QString& candidate) {
        const QString inFolder = candidate.mid(folder.size());
        return !inFolder.contains(u'/') && place.exists(QFile::encodeName(inFolder).toStdString());
    };
    // A name whose certificate name is taken is passed over too: the two stay a pair.
    auto taken = [&](const QString& candidate) {
        return present(candidate) || present(certificatePathFor(candidate)) ||
               present(folder + u'.' + candidate.mid(folder.size()) + QStringLiteral(".running"));
    };
    for (int counter = 1; taken(name) && counter < 1000; ++counter)
        name = QStringLiteral("%1(%2).xml").arg(base).arg(counter);
    return name;
}

void ShredReport::setSaveFileAsker(SaveFileAsker asker) {
    std::lock_guard guard(askerMutex);
    installedAsker = std::move(asker);
}

} // namespace kestrune
