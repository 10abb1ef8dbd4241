#include "cli/ShredCommand.h"

#include "app/SettingsStore.h"
#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/DiskListing.h"
#include "cli/DiskScan.h"
#include "cli/DiskSelection.h"
#include "cli/ExitCodes.h"
#include "cli/JobRun.h"
#include "cli/TerminalMessages.h"
#include "platform/MessageService.h"
#include "shred/ShredMethod.h"

#include <algorithm>

namespace kestrune::cli {
namespace {

QString methodName(std::int32_t algorithm) {
    const ShredMethod* method = findShredMethod(algorithm);
    return method ? cliText(method->nameKey) : QString::number(algorithm);
}

} // namespace

ShredCommand::ShredCommand(Console& console, TerminalMessageService& messages)
    : console_(console), messages_(messages) {}

int ShredCommand::run(const CliArguments& arguments) {
    const auto settings = GetSettingsStore();
    // Without the options, the settings the window would use for a Start now.
    std::int32_t algorithm = arguments.algorithm.value_or(0);
    if (!arguments.algorithm)
        algorithm = static_cast<std::int32_t>(EffectiveShredAlgorithm(settings->GetShredAlgo()));
    const bool format = arguments.format.value_or(settings->GetFormatDrive());

    const DiskScan scan = DiskScan::run();
    if (scan.failed()) {
        console_.message(cliText("cli_disks_unreadable"));
        return ExitProgramFailure;
    }
    const DiskSelection selection = selectDisks(scan.disks(), arguments.disks);
    if (!selection.refusals.empty()) {
        for (const DiskRefusal& refusal : selection.refusals)
            console_.message(refusal.text);
        console_.message(cliText("cli_nothing_erased"));
        return ExitRefused;
    }

    std::vector<ScannedDisk> chosen;
    for (const ScannedDisk* disk : selection.disks)
        chosen.push_back(*disk);
    console_.message(FillPlaceholders(cliText("cli_erase_summary"), {methodName(algorithm)}));
    for (const QString& line : disksAsTable(chosen))
        console_.message(QStringLiteral("  ") + line);
    if (format)
        console_.message(cliText("info_format_auto"));
    messages_.setAssumeYes(arguments.yes);
    const int answer = platform::showMessage(
        cliText("cli_question_erase"), settings->GetProductName(),
        platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE | platform::MB_DEFBUTTON2_STYLE);
    if (answer != platform::ID_YES) {
        console_.message(cliText("cli_nothing_erased"));
        return ExitNotConfirmed;
    }

    JobRun run(scan, console_, abortWait_);
    run.start(selection.disks, algorithm, format, arguments.asset, arguments.source);
    run.wait();
    leftJobsRunning_ = run.leftJobsRunning();
    return run.finish();
}

} // namespace kestrune::cli
