#include "cli/KestruneCli.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "cli/CliArguments.h"
#include "cli/CliText.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/ListCommand.h"
#include "cli/ShredCommand.h"
#include "cli/TerminalMessages.h"
#include "cli/VerifyCommand.h"
#include "lang/LanguageManager.h"
#include "platform/Terminal.h"
#include "platform/TraceLines.h"
#include "shred/InterruptedJobs.h"
#include "shred/ShredJobs.h"
#include "shred/ShredReport.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace kestrune::cli {
namespace {

const QString kProgramName = QStringLiteral("kestrune-cli");

void writeTo(std::FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void releaseProcessObjects() {
    ReleaseSettingsStore();
    ReleaseSystemUtil();
    ReleaseLanguageManager();
}

QtMessageHandler toolkitHandler = nullptr;

// Starting a platform, the toolkit looks into the runtime folder, which a root shell (sudo,
// a server's cron) often names none of, and says so on standard error. That is no concern
// of this program's user: every other message goes on as it came.
void withoutRuntimeFolderNotice(QtMsgType type, const QMessageLogContext& context,
                                const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    toolkitHandler(type, context, message);
}

// Set before the application starts, whatever the environment names: the program never
// opens a window, and must run where no display is.
int& onOffscreenPlatform(int& argc) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    toolkitHandler = qInstallMessageHandler(withoutRuntimeFolderNotice);
    return argc;
}

} // namespace

KestruneCli::KestruneCli(int& argc, char** argv)
    : QGuiApplication(onOffscreenPlatform(argc), argv) {
    setApplicationName(kProgramName);
    setOrganizationName(QStringLiteral("Vaskor Security"));
}

int KestruneCli::Run() {
    QStringList words = arguments();
    if (!words.isEmpty())
        words.removeFirst();
    const ParsedArguments parsed = parseArguments(words);
    if (!parsed.arguments) {
        writeTo(stderr, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                            .arg(kProgramName, terminalSafe(parsed.error)));
        return ExitUsage;
    }
    const CliArguments& command = *parsed.arguments;
    if (command.command == CliArguments::Command::Help) {
        writeTo(stdout, helpText(kProgramName));
        return ExitSuccess;
    }

    // Whether the output is a terminal must be read before the trace lines take its place.
    Console::Setup setup;
    setup.outputIsTerminal = platform::isTerminal(stdout);
    setup.errorsAreTerminal = platform::isTerminal(stderr);
    setup.output = platform::divertTraceLines(command.trace);
    if (!dropped_.empty()) {
        std::string names;
        for (std::string name : dropped_) {
            // A name is the user's text too: nothing of it may steer the terminal.
            for (char& c : name)
                c = std::isalnum(static_cast<unsigned char>(c)) || c == '_' ? c : '?';
            names += (names.empty() ? "" : " ") + name;
        }
        std::printf("Running as root for a user: the environment keeps only known variables; "
                    "dropped: %s\n",
                    names.c_str());
    }
    platform::ignoreClosedOutput();
    Console console(setup);
    TerminalMessageService messages(console);
    platform::setMessageService(&messages);
    ShredReport::setSaveFileAsker([&console](const QString& suggestedName) {
        console.message(FillPlaceholders(cliText("cli_report_not_saved"), {suggestedName}));
        return QString();
    });

    int status = ExitProgramFailure;
    bool leftJobsRunning = false;
    if (command.command == CliArguments::Command::Version) {
        console.print(kProgramName + u' ' + GetSystemUtil()->GetProgramVersion());
        status = ExitSuccess;
    } else if (command.command == CliArguments::Command::Verify) {
        status = runVerifyCommand(console, command.file);
    } else if (GetLanguageManager()->HasLanguages()) {
        messages.setAnswers({cliText("cli_answer_prompt"),
                             cliText("cli_answers_yes").split(u'|', Qt::SkipEmptyParts),
                             cliText("cli_no_terminal")});
        // Jobs a killed program or a power cut left without an end are recorded first.
        for (const CompletedRecord& job :
             CompleteInterruptedJobs(GetSettingsStore(), GetLanguageManager()))
            console.message(FillPlaceholders(cliText("cli_interrupted_job"), {job.report}));
        if (command.command == CliArguments::Command::List) {
            status = runListCommand(console, command.json);
        } else {
            ShredCommand shred(console, messages);
            status = shred.run(command);
            leftJobsRunning = shred.leftJobsRunning();
        }
    }

    std::fflush(setup.output);
    std::fflush(stderr);
    // A job stuck in a device that no longer answers still holds what it uses: the
    // process ends under it, its report written as aborted.
    if (leftJobsRunning || ShredJobs::runningInProcess() > 0)
        std::_Exit(status);
    ShredReport::setSaveFileAsker({});
    platform::setMessageService(nullptr);
    releaseProcessObjects();
    return status;
}

} // namespace kestrune::cli
