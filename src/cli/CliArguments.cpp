#include "cli/CliArguments.h"

#include "cli/ExitCodes.h"
#include "shred/ShredMethod.h"

namespace kestrune::cli {
namespace {

constexpr qsizetype kHelpWidth = 79;
constexpr qsizetype kMaxAssetLength = 64;

QString unknownOption(const QString& option, const QString& command) {
    return QStringLiteral("unknown option '%1' for %2").arg(option, command);
}

// Why a value cannot stand on a certificate as given; empty when it can.
QString certificateValueProblem(const char* option, const QString& value, const char* what) {
    if (value.trimmed().isEmpty())
        return QStringLiteral("%1 needs %2").arg(QLatin1String(option), QLatin1String(what));
    if (value.size() > kMaxAssetLength)
        return QStringLiteral("%1 takes at most %2 characters, not %3")
            .arg(QLatin1String(option))
            .arg(kMaxAssetLength)
            .arg(value.size());
    for (const QChar c : value)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("%1 takes printable characters only").arg(QLatin1String(option));
    return {};
}

} // namespace

ParsedArguments parseArguments(const QStringList& arguments) {
    CliArguments parsed;
    auto fail = [](const QString& error) { return ParsedArguments{std::nullopt, error}; };
    QStringList rest;
    bool optionsEnded = false;
    std::optional<QString> command;
    // An option's value: after its '=', else the next argument (taken), else none.
    const auto valueOf = [&arguments](const QString& option,
                                      qsizetype& i) -> std::optional<QString> {
        if (option.contains(u'='))
            return option.section(u'=', 1);
        if (i + 1 < arguments.size())
            return arguments[++i];
        return std::nullopt;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (optionsEnded || !argument.startsWith(u'-') || argument == QLatin1String("-")) {
            if (!command)
                command = argument;
            else
                rest << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            return {CliArguments{}, {}};
        } else if (argument == QLatin1String("--version")) {
            CliArguments version;
            version.command = CliArguments::Command::Version;
            return {version, {}};
        } else if (argument == QLatin1String("--json")) {
            parsed.json = true;
        } else if (argument == QLatin1String("-y") || argument == QLatin1String("--yes")) {
            parsed.yes = true;
        } else if (argument == QLatin1String("--format") ||
                   argument == QLatin1String("--no-format")) {
            const bool format = argument == QLatin1String("--format");
            if (parsed.format && *parsed.format != format)
                return fail(QStringLiteral("--format and --no-format contradict each other: "
                                           "give one of them"));
            parsed.format = format;
        } else if (argument == QLatin1String("--trace")) {
            parsed.trace = true;
        } else if (argument == QLatin1String("--asset") ||
                   argument.startsWith(QLatin1String("--asset="))) {
            const std::optional<QString> value = valueOf(argument, i);
            if (!value)
                return fail(QStringLiteral("--asset needs the medium's asset number"));
            if (const QString problem =
                    certificateValueProblem("--asset", *value, "the medium's asset number");
                !problem.isEmpty())
                return fail(problem);
            parsed.asset = value->trimmed();
        } else if (argument == QLatin1String("--source") ||
                   argument.startsWith(QLatin1String("--source="))) {
            const std::optional<QString> value = valueOf(argument, i);
            const char* what = "where the media came from";
            if (!value)
                return fail(QStringLiteral("--source needs ") + QLatin1String(what));
            if (const QString problem = certificateValueProblem("--source", *value, what);
                !problem.isEmpty())
                return fail(problem);
            parsed.source = value->trimmed();
        } else if (argument == QLatin1String("-a") || argument == QLatin1String("--algorithm") ||
                   argument.startsWith(QLatin1String("--algorithm="))) {
            const std::optional<QString> value = valueOf(argument, i);
            if (!value)
                return fail(QStringLiteral("--algorithm needs a number (100, 101, 102 or 103)"));
            bool ok = false;
            const int number = value->toInt(&ok);
            if (!ok || !IsShredAlgorithm(number))
                return fail(
                    QStringLiteral("--algorithm takes 100, 101, 102 or 103, not '%1'").arg(*value));
            parsed.algorithm = number;
        } else {
            return fail(QStringLiteral("unknown option '%1'").arg(argument));
        }
    }

    if (!command)
        return fail(QStringLiteral("no command given (list, shred or verify)"));
    if (*command == QLatin1String("help"))
        return {CliArguments{}, {}};
    if (*command == QLatin1String("list")) {
        parsed.command = CliArguments::Command::List;
        if (!rest.isEmpty())
            return fail(QStringLiteral("list takes no disks ('%1')").arg(rest.first()));
        if (parsed.algorithm)
            return fail(unknownOption(QStringLiteral("--algorithm"), *command));
        if (parsed.format)
            return fail(unknownOption(*parsed.format ? QStringLiteral("--format")
                                                     : QStringLiteral("--no-format"),
                                      *command));
        if (parsed.yes)
            return fail(unknownOption(QStringLiteral("--yes"), *command));
        if (!parsed.asset.isEmpty())
            return fail(unknownOption(QStringLiteral("--asset"), *command));
        if (!parsed.source.isEmpty())
            return fail(unknownOption(QStringLiteral("--source"), *command));
        return {parsed, {}};
    }
    if (*command == QLatin1String("verify")) {
        parsed.command = CliArguments::Command::Verify;
        if (rest.size() != 1)
            return fail(QStringLiteral("verify takes one FILE: a certificate or a report"));
        if (parsed.json || parsed.algorithm || parsed.format || parsed.yes ||
            !parsed.asset.isEmpty() || !parsed.source.isEmpty())
            return fail(QStringLiteral("verify takes no options but --trace"));
        parsed.file = rest.first();
        return {parsed, {}};
    }
    if (*command == QLatin1String("shred")) {
        parsed.command = CliArguments::Command::Shred;
        if (parsed.json)
            return fail(unknownOption(QStringLiteral("--json"), *command));
        if (rest.isEmpty())
            return fail(QStringLiteral("shred needs at least one DISK"));
        // One asset number belongs to one medium.
        if (!parsed.asset.isEmpty() && rest.size() > 1)
            return fail(QStringLiteral("--asset names one medium: give it with one DISK"));
        parsed.disks = rest;
        return {parsed, {}};
    }
    return fail(QStringLiteral("unknown command '%1' (list, shred or verify)").arg(*command));
}

QString helpText(const QString& program) {
    QString text = QStringLiteral(
        "Usage: %1 list [--json]\n"
        "       %1 shred [--algorithm 100|101|102|103] [--format|--no-format] [--yes]\n"
        "             [--asset TEXT] [--source TEXT] DISK...\n"
        "       %1 verify FILE\n"
        "       %1 --help | --version\n"
        "\n"
        "Securely erases USB sticks and memory cards with the engine, the rules and the\n"
        "reports of the Kestrune window, for terminals, scripts and servers.\n"
        "\n"
        "Commands:\n"
        "  list           the disks the window would list: disk, vendor and product, serial\n"
        "                 number, size and volumes\n"
        "  shred DISK...  erases the disks, all at once, after asking; DISK is a device path\n"
        "                 (/dev/sdb), a serial number, or the image file of a simulated disk\n"
        "  verify FILE    checks a job's record from its certificate (.pdf) or report\n"
        "                 (.xml) and the partner beside it: that the certificate names\n"
        "                 the report's SHA-256 and each signature there holds; one line\n"
        "                 per check, saying who signed and when\n"
        "\n"
        "Options:\n"
        "  --json               list: the disks as one JSON document\n"
        "  -a, --algorithm N    100 zeros (1 pass), 101 random data (1 pass), 102 three\n"
        "                       passes, 103 Gutmann (35 passes); without it the method of\n"
        "                       the settings\n"
        "  --format             afterwards a FAT file system labelled SHREDDED on each disk\n"
        "  --no-format          no file system afterwards, whatever the settings say\n"
        "  --asset TEXT         the medium's asset number, printed on its certificate and\n"
        "                       kept in its report (one DISK only; at most 64 characters)\n"
        "  --source TEXT        where the media came from (a customer, a batch), printed\n"
        "                       on every certificate and kept in every report\n"
        "  -y, --yes            erase without asking\n"
        "  --trace              the program's trace lines on standard error\n"
        "  -h, --help           this help\n"
        "  --version            the program's version\n"
        "\n"
        "Each job writes its report (XML) and its erasure certificate (PDF, same name)\n"
        "into the window's report folder, and the output names both. Ctrl+C, SIGTERM or\n"
        "SIGHUP aborts every job; each still writes its report and certificate.\n"
        "\n"
        "Exit status (several disks: the highest code of their jobs):\n");
    text = text.arg(program);
    for (const ExitCodeMeaning& entry : exitCodeMeanings()) {
        QString line = QStringLiteral("  %1 ").arg(entry.code, 2);
        const QString indent(line.size(), u' ');
        for (const QString& word : QString::fromLatin1(entry.meaning).split(u' ')) {
            if (line.size() + 1 + word.size() > kHelpWidth) {
                text += line + u'\n';
                line = indent;
            }
            line += u' ' + word;
        }
        text += line + u'\n';
    }
    return text;
}

} // namespace kestrune::cli
