// A job's record while it runs, and the report of a job that a later start found never to
// have ended.
#include "lang/LanguageManager.h"
#include "platform/RecordClaim.h"
#include "shred/ErasureCertificate.h"
#include "shred/ShredReport.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <algorithm>

namespace kestrune {
namespace {

const char* phaseName(JobRecordProgress::Phase phase) {
    switch (phase) {
    case JobRecordProgress::Phase::Starting:
        return "starting";
    case JobRecordProgress::Phase::Passes:
        return "pass";
    case JobRecordProgress::Phase::ReadBack:
        return "read-back";
    case JobRecordProgress::Phase::Format:
        break;
    }
    return "format";
}

JobRecordProgress::Phase phaseNamed(QStringView name) {
    for (auto phase : {JobRecordProgress::Phase::Passes, JobRecordProgress::Phase::ReadBack,
                       JobRecordProgress::Phase::Format})
        if (name == QLatin1String(phaseName(phase)))
            return phase;
    return JobRecordProgress::Phase::Starting;
}

const char* stateName(RecordState state) {
    switch (state) {
    case RecordState::Running:
        return "running";
    case RecordState::Ended:
        return "ended";
    case RecordState::Interrupted:
        break;
    }
    return "interrupted";
}

platform::MediumType mediumNamed(QStringView name) {
    if (name == u"usb flash drive")
        return platform::MediumType::UsbFlashDrive;
    if (name == u"memory card")
        return platform::MediumType::MemoryCard;
    if (name == u"image file")
        return platform::MediumType::ImageFile;
    return platform::MediumType::Disk;
}

// What a running record states, read back.
struct RecordFacts {
    QString id, serial, make, model, bus, size;
    std::int32_t algorithm = 0;
    std::uint64_t capacity = 0;
    std::int64_t started = -1;
    std::int64_t recorded = -1;
    QString state;
    bool verified = false; // the read-back ended and matched
    bool cleaned = false;  // the engine ended having shredded
    JobProvenance provenance;
    JobRecordProgress progress;
};

std::int64_t isoSeconds(QStringView text) {
    const QDateTime when = QDateTime::fromString(text.toString(), Qt::ISODate);
    return when.isValid() ? when.toSecsSinceEpoch() : -1;
}

void readElement(QXmlStreamReader& xml, RecordFacts& facts) {
    const QXmlStreamAttributes at = xml.attributes();
    const QStringView name = xml.name();
    auto value = [&at](const char* attribute) {
        return at.value(QLatin1String(attribute)).toString();
    };
    JobProvenance& who = facts.provenance;
    if (name == u"report") {
        facts.id = value("id");
    } else if (name == u"item") {
        const QString item = value("name");
        const QString text = xml.readElementText();
        if (item == u"serial")
            facts.serial = text;
        else if (item == u"make")
            facts.make = text;
        else if (item == u"model")
            facts.model = text;
    } else if (name == u"gendev") {
        facts.bus = value("bus");
        facts.size = value("size");
    } else if (name == u"cleaninfo") {
        facts.algorithm = value("methodn").toInt();
        facts.cleaned = value("iscleaned") == u"1";
    } else if (name == u"result") {
        facts.capacity = value("capacity").toULongLong();
    } else if (name == u"sanitization") {
        facts.started = isoSeconds(value("started"));
    } else if (name == u"tool") {
        who.toolName = value("name");
        who.toolVersion = value("version");
    } else if (name == u"host") {
        who.host = value("name");
    } else if (name == u"medium") {
        who.mediumType = mediumNamed(value("type"));
    } else if (name == u"operator") {
        who.operatorLogin = value("login");
        who.operatorName = value("name");
    } else if (name == u"organisation") {
        who.organisation = value("name");
        who.location = value("location");
    } else if (name == u"asset") {
        who.asset = value("number");
    } else if (name == u"source") {
        who.source = value("description");
    } else if (name == u"progress") {
        facts.state = value("state");
        facts.recorded = isoSeconds(value("recorded"));
        facts.progress.phase = phaseNamed(value("phase"));
    } else if (name == u"pass" && facts.progress.passesWritten.size() < 1000) {
        facts.progress.passesWritten.push_back(value("written").toULongLong());
        facts.progress.passBytes = value("of").toULongLong();
    } else if (name == u"readback" && at.hasAttribute(QLatin1String("checked"))) {
        facts.progress.readBack = value("checked").toULongLong();
    } else if (name == u"readback") {
        facts.verified = value("result") == u"passed";
    }
}

} // namespace

JobRecordProgress JobRecordProgress::fromBytes(int passes, std::uint64_t done, std::uint64_t left) {
    JobRecordProgress progress;
    if (passes <= 0)
        return progress;
    progress.passBytes = (done + left) / static_cast<std::uint64_t>(passes + 1);
    const std::uint64_t unit = progress.passBytes;
    auto part = [&](std::uint64_t index) {
        const std::uint64_t from = index * unit;
        return done <= from ? 0 : std::min(unit, done - from);
    };
    for (int pass = 0; pass < passes; ++pass)
        progress.passesWritten.push_back(part(static_cast<std::uint64_t>(pass)));
    progress.readBack = part(static_cast<std::uint64_t>(passes));
    progress.phase = unit > 0 && done >= unit * static_cast<std::uint64_t>(passes) ? Phase::ReadBack
                                                                                   : Phase::Passes;
    return progress;
}

int JobRecordProgress::passesComplete() const {
    return static_cast<int>(
        std::count_if(passesWritten.begin(), passesWritten.end(),
                      [this](std::uint64_t written) { return passBytes && written >= passBytes; }));
}

QString progressElement(const JobRecordProgress& progress, RecordState state, std::int64_t at,
                        int passes, std::uint64_t claimedBytes) {
    const std::uint64_t of = progress.passBytes ? progress.passBytes : claimedBytes;
    QString out =
        QStringLiteral("<progress state=\"%1\" phase=\"%2\" recorded=\"%3\">\n")
            .arg(QLatin1String(stateName(state)), QLatin1String(phaseName(progress.phase)),
                 LocalTimeWithZone(at, "yyyy-MM-ddTHH:mm:ss", ""));
    for (int pass = 0; pass < passes; ++pass) {
        const std::size_t index = static_cast<std::size_t>(pass);
        const std::uint64_t written =
            index < progress.passesWritten.size() ? progress.passesWritten[index] : 0;
        out += QStringLiteral("<pass number=\"%1\" written=\"%2\" of=\"%3\"/>\n")
                   .arg(pass + 1)
                   .arg(written)
                   .arg(of);
    }
    out += QStringLiteral("<readback checked=\"%1\" of=\"%2\"/>\n").arg(progress.readBack).arg(of);
    return out + QStringLiteral("</progress>\n");
}

std::unique_ptr<ShredReport>
ShredReport::fromInterruptedRecord(const QByteArray& record,
                                   std::shared_ptr<LanguageManager> language,
                                   std::unique_ptr<platform::RecordClaim> claim, QString* failure) {
    RecordFacts facts;
    QXmlStreamReader xml(record);
    while (!xml.atEnd())
        if (xml.readNext() == QXmlStreamReader::StartElement)
            readElement(xml, facts);
    if (xml.hasError()) {
        *failure = QStringLiteral("it is no well-formed report (line %1: %2)")
                       .arg(xml.lineNumber())
                       .arg(xml.errorString());
        return nullptr;
    }
    if (facts.state != u"running") {
        *failure = QStringLiteral("it is no running job's record");
        return nullptr;
    }
    if (facts.started < 0 || facts.recorded < 0) {
        *failure = QStringLiteral("it does not say when its job started and last recorded");
        return nullptr;
    }
    auto report = std::make_unique<ShredReport>(facts.algorithm, std::move(language), facts.started,
                                                facts.id);
    report->addHardwareItems(facts.serial, facts.make, facts.model, facts.size, facts.bus);
    report->setProvenance(facts.provenance);
    report->setOutcome(JobStatus::Interrupted, facts.capacity);
    report->setProgress(facts.progress);
    report->setPassesDone(facts.progress.passesComplete());
    if (facts.cleaned)
        report->setCleaned();
    if (facts.verified)
        report->setVerification(ReportVerification::Passed);
    else if (facts.progress.readBack > 0)
        report->setVerification(ReportVerification::Interrupted, facts.progress.readBack);
    report->state_ = RecordState::Interrupted;
    report->recordedTime_ = facts.recorded;
    report->claim_ = std::move(claim);
    return report;
}

} // namespace kestrune
