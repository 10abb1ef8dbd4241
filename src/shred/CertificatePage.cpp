#include "shred/CertificatePage.h"

#include "lang/LanguageManager.h"
#include "lang/TextPlaceholders.h"
#include "shred/ShredMethod.h"
#include "shred/ShredStatusDisplay.h"

namespace kestrune {
namespace {

QString dateTimeText(std::int64_t seconds) {
    return LocalTimeWithZone(seconds, "yyyy-MM-dd HH:mm:ss", " UTC");
}

const char* mediumTypeKey(platform::MediumType type) {
    switch (type) {
    case platform::MediumType::UsbFlashDrive:
        return "cert_medium_usb_flash_drive";
    case platform::MediumType::MemoryCard:
        return "cert_medium_memory_card";
    case platform::MediumType::ImageFile:
        return "cert_medium_image_file";
    case platform::MediumType::Disk:
        break;
    }
    return "cert_medium_disk";
}

// How far each pass and the read-back got, runs of alike passes told together:
// "passes 1 to 12 complete; pass 13: 12.50 MiB of 64.00 MiB written; passes 14 to 35 not
// begun; read-back not begun".
QString progressText(const CertificateFacts& facts, const LanguageManager& language) {
    auto text = [&language](const char* key) {
        return language.GetString(QString::fromLatin1(key));
    };
    auto size = [&](std::uint64_t bytes) {
        return BinarySizeText(bytes, text("cert_decimal_point"));
    };
    const JobRecordProgress& progress = facts.progress;
    const std::uint64_t of = progress.passBytes ? progress.passBytes : facts.claimedBytes;
    auto written = [&](int pass) {
        const auto index = static_cast<std::size_t>(pass);
        return index < progress.passesWritten.size() ? progress.passesWritten[index] : 0;
    };
    QStringList parts;
    for (int pass = 0; pass < facts.passesPlanned;) {
        const std::uint64_t bytes = written(pass);
        if (bytes > 0 && bytes < of) {
            parts << FillPlaceholders(text("cert_progress_pass_partly"),
                                      {QString::number(pass + 1), size(bytes), size(of)});
            ++pass;
            continue;
        }
        int last = pass;
        while (last + 1 < facts.passesPlanned && written(last + 1) == bytes)
            ++last;
        const bool done = bytes > 0;
        if (last == pass)
            parts << FillPlaceholders(
                text(done ? "cert_progress_pass_done" : "cert_progress_pass_none"),
                {QString::number(pass + 1)});
        else
            parts << FillPlaceholders(
                text(done ? "cert_progress_passes_done" : "cert_progress_passes_none"),
                {QString::number(pass + 1), QString::number(last + 1)});
        pass = last + 1;
    }
    parts << (progress.readBack > 0 ? FillPlaceholders(text("cert_progress_readback"),
                                                       {size(progress.readBack), size(of)})
                                    : text("cert_progress_readback_none"));
    if (progress.phase == JobRecordProgress::Phase::Format)
        parts << text("cert_progress_format");
    return parts.join(QStringLiteral("; "));
}

// The words of one certificate, in the language it is written in.
class Words {
public:
    explicit Words(const LanguageManager& language) : language_(language) {}
    const LanguageManager& language() const { return language_; }
    QString operator()(const char* key) const {
        return language_.GetString(QString::fromLatin1(key));
    }
    QString notDetermined() const { return (*this)("cert_not_determined"); }
    QString orNone(const QString& value) const {
        return value.trimmed().isEmpty() ? (*this)("N/A") : value;
    }
    QString bytes(std::uint64_t count) const {
        const Words& text = *this;
        return FillPlaceholders(text("cert_bytes"),
                                {BinarySizeText(count, text("cert_decimal_point")),
                                 GroupedNumber(count, text("cert_digit_group"))});
    }

private:
    const LanguageManager& language_;
};

void titleAndSummary(Page& page, CertificateVerdict verdict, const QString& status,
                     const Words& text) {
    switch (verdict) {
    case CertificateVerdict::Certified:
        page.title = text("cert_title_certified");
        page.summary = text("cert_summary_certified");
        break;
    case CertificateVerdict::NotCompleted:
        page.title = text("cert_title_not_completed");
        page.summary = FillPlaceholders(text("cert_summary_failed"), {status});
        break;
    case CertificateVerdict::NotCertified:
        // The erasure itself was verified; only what came after it failed.
        page.title = text("cert_title_not_certified");
        page.summary = FillPlaceholders(text("cert_summary_erased_then_failed"), {status});
        break;
    }
}

Section mediumSection(const CertificateFacts& facts, CertificateVerdict verdict,
                      const Words& text) {
    Section medium{text("cert_section_medium"), {}};
    medium.rows = {
        pair(text("cert_medium_type"), text(mediumTypeKey(facts.provenance.mediumType)),
             text("cert_bus"), text.orNone(facts.bus)),
        pair(text("cert_vendor"), text.orNone(facts.vendor), text("cert_product"),
             text.orNone(facts.product)),
        {text("cert_serial"), text.orNone(facts.serial)},
        {text("cert_capacity_claimed"),
         facts.claimedBytes ? text.bytes(facts.claimedBytes) : text("N/A")},
        // Only what the check measured: a job that ended before it measured nothing.
        {text("cert_capacity_usable"), facts.usableBytes ? text.bytes(*facts.usableBytes)
                                       : verdict == CertificateVerdict::NotCompleted
                                           ? text("cert_capacity_not_measured")
                                           : text.notDetermined()},
    };
    return medium;
}

QString verificationText(const CertificateFacts& facts, const Words& text) {
    switch (facts.verification) {
    case ReportVerification::Passed:
        return text("cert_verification_passed");
    case ReportVerification::Failed:
        return FillPlaceholders(text("cert_verification_failed"),
                                {QString::number(facts.mismatchOffset)});
    case ReportVerification::Interrupted:
        return FillPlaceholders(text("cert_verification_interrupted"),
                                {QString::number(facts.mismatchOffset)});
    case ReportVerification::NotReached:
        break;
    }
    return text("cert_verification_not_reached");
}

// The method, its passes and patterns, as the language names them or by number.
Row methodRow(const CertificateFacts& facts, const Words& text) {
    const ShredMethod* method = findShredMethod(facts.algorithm);
    QString algorithm =
        method ? text.language().GetString(QString::fromLatin1(method->nameKey)) : QString();
    if (algorithm.isEmpty())
        algorithm = QString::number(facts.algorithm);
    const QString passes = FillPlaceholders(
        text("cert_passes_value"),
        {facts.passesDone ? QString::number(*facts.passesDone) : text.notDetermined(),
         facts.passesPlanned > 0 ? QString::number(facts.passesPlanned) : text.notDetermined()});
    return pair(text("cert_method"), algorithm, text("cert_passes"), passes);
}

Section sanitizationSection(const CertificateFacts& facts, CertificateVerdict verdict,
                            const QString& program, const Words& text) {
    const ShredMethod* method = findShredMethod(facts.algorithm);
    QString patterns =
        method ? text.language().GetString(QString::fromLatin1(method->patternsKey)) : QString();
    if (patterns.isEmpty())
        patterns = text.notDetermined();
    const bool clear = reachedClear(facts.finalStatus, facts.passesPlanned, facts.passesDone,
                                    facts.claimedBytes, facts.usableBytes, facts.verification);
    Section sanitization{text("cert_section_sanitization"), {}};
    sanitization.rows = {
        {text("cert_standard"),
         QStringLiteral("%1, %2").arg(QLatin1String(kSanitizationStandard),
                                      QLatin1String(kSanitizationTechniques))},
        pair(text("cert_sanitization_method"),
             clear ? QString::fromLatin1(kSanitizationClear) : text("cert_method_not_reached"),
             text("cert_technique"), text("cert_technique_overwrite")),
        methodRow(facts, text),
        {text("cert_patterns"), patterns},
        {text("cert_verification"),
         FillPlaceholders(text("cert_verification_method_value"), {verificationText(facts, text)})},
    };
    // A job that ended early says how far it got.
    if (verdict == CertificateVerdict::NotCompleted && facts.passesPlanned > 0)
        sanitization.rows.push_back({text("cert_progress"), progressText(facts, text.language())});
    sanitization.rows.push_back({text("cert_tool"), program});
    sanitization.rows.push_back({QString(), text("cert_flash_note")});
    return sanitization;
}

Section erasureSection(const CertificateFacts& facts, const QString& status, const Words& text) {
    QString formatted = text("cert_formatted_no");
    if (facts.formatted)
        formatted = facts.label.isEmpty()
                        ? text("cert_formatted_unlabelled")
                        : FillPlaceholders(text("cert_formatted_labelled"), {facts.label});
    Section job{text("cert_section_erasure"), {}};
    job.rows = {
        {text("cert_started"), dateTimeText(facts.startTime)},
        {text("cert_ended"),
         facts.state == RecordState::Interrupted
             ? FillPlaceholders(text("cert_ended_interrupted"), {dateTimeText(facts.finishTime)})
             : dateTimeText(facts.finishTime)},
        pair(text("cert_duration"), FormatTimeSpan(facts.finishTime - facts.startTime),
             text("cert_final_status"), status),
        {text("cert_formatted"), formatted},
    };
    return job;
}

Section accountabilitySection(const JobProvenance& who, const Words& text) {
    // Blank where nothing is known, to be filled in by hand.
    const bool nameSaysMore = !who.operatorName.isEmpty() &&
                              who.operatorName.compare(who.operatorLogin, Qt::CaseInsensitive);
    const QString operatorName =
        nameSaysMore ? QStringLiteral("%1 (%2)").arg(who.operatorName, who.operatorLogin)
                     : who.operatorLogin;
    // Boxes to tick by hand; a line breaks between the choices, never inside one.
    QStringList destinations;
    for (const char* key : {"cert_destination_reuse_inside", "cert_destination_reuse_outside",
                            "cert_destination_recycling", "cert_destination_manufacturer",
                            "cert_destination_destruction", "cert_destination_other"})
        destinations << QString(QStringLiteral("\u2610 ") + text(key)).replace(u' ', QChar(0xA0));
    Section accountability{text("cert_section_accountability"), {}};
    accountability.rows = {
        pair(text("cert_organisation"), who.organisation, text("cert_location"), who.location),
        pair(text("cert_operator"), operatorName, text("cert_asset"), who.asset),
        pair(text("cert_host"), who.host, text("cert_source"), who.source),
        {text("cert_destination"), destinations.join(QStringLiteral("\u2002 "))},
    };
    return accountability;
}

Section reportSection(const CertificateFacts& facts, const Words& text) {
    Section report{text("cert_section_report"), {}};
    report.rows = {
        // The footer names the report's file.
        {text("cert_report_id"), text.orNone(facts.reportId)},
        {text("cert_report_sha256"),
         facts.reportSha256.isEmpty() ? text.notDetermined() : facts.reportSha256, true},
    };
    return report;
}

void signaturesAndFooter(Page& page, const CertificateFacts& facts, const Words& text) {
    page.signatures = text("cert_section_signatures");
    page.operatorLabel = text("cert_signature_operator");
    page.witnessLabel = text("cert_signature_witness");
    page.verifierLabel = text("cert_signature_verifier");
    page.dateLabel = text("cert_signature_date");
    if (!facts.unsignedReason.isEmpty())
        page.unsignedNote = FillPlaceholders(text("cert_unsigned"), {facts.unsignedReason});
    page.footer = FillPlaceholders(text("cert_footer"), {text.orNone(facts.reportFile)});
}

} // namespace

Page certificatePage(const CertificateFacts& facts, const LanguageManager& language) {
    const Words text(language);
    const JobProvenance& who = facts.provenance;
    Page page;
    const CertificateVerdict verdict = certificateVerdict(facts);
    page.certified = verdict == CertificateVerdict::Certified;
    const auto usable = static_cast<std::int64_t>(facts.usableBytes.value_or(0));
    const QString status = JobStatusText(&language, facts.finalStatus, usable, facts.formatBegan);
    titleAndSummary(page, verdict, status, text);
    const QString version = who.toolVersion.isEmpty() ? text.notDetermined() : who.toolVersion;
    page.company = text("company_ntv");
    page.program = who.toolName + u' ' + version;
    page.sections = {mediumSection(facts, verdict, text),
                     sanitizationSection(facts, verdict, page.program, text),
                     erasureSection(facts, status, text), accountabilitySection(who, text),
                     reportSection(facts, text)};
    signaturesAndFooter(page, facts, text);
    return page;
}

} // namespace kestrune
