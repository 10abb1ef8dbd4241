#include "cli/CliArguments.h"

#include "cli/ExitCodes.h"
#include "shred/ShredMethod.h"

namespace kestrune::cli {
namespace {

constexpr qsizetype kHelpWidth = 79;
// The options' descriptions end one column further, as they always have.
constexpr qsizetype kOptionsWidth = 80;
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

// The methods' numbers as a sentence names them: "100, 101, 102 or 103".
QString methodNumbers() {
    QString numbers;
    for (std::size_t i = 0; i < kShredMethods.size(); ++i) {
        if (i > 0)
            numbers +=
                i + 1 == kShredMethods.size() ? QStringLiteral(" or ") : QStringLiteral(", ");
        numbers += QString::number(kShredMethods[i].number);
    }
    return numbers;
}

// Reads the options in order, then lets the command decide which of them it takes.
class CommandLine {
public:
    explicit CommandLine(const QStringList& arguments) : arguments_(arguments) {}

    ParsedArguments parse() {
        for (at_ = 0; at_ < arguments_.size(); ++at_) {
            const QString& argument = arguments_[at_];
            if (optionsEnded_ || !argument.startsWith(u'-') || argument == QLatin1String("-")) {
                if (!command_)
                    command_ = argument;
                else
                    rest_ << argument;
            } else if (auto answer = readOption(argument)) {
                return *answer;
            }
        }
        return forCommand();
    }

private:
    static ParsedArguments fail(const QString& error) { return {std::nullopt, error}; }

    // An answer when the option ends the reading: help, version or a refusal.
    std::optional<ParsedArguments> readOption(const QString& argument) {
        const auto is = [&argument](const char* option) {
            return argument == QLatin1String(option);
        };
        const auto takesValue = [&argument](const char* option) {
            return argument == QLatin1String(option) ||
                   argument.startsWith(QLatin1String(option) + u'=');
        };
        std::optional<QString> refusal;
        if (is("--")) {
            optionsEnded_ = true;
        } else if (is("-h") || is("--help")) {
            return ParsedArguments{CliArguments{}, {}};
        } else if (is("--version")) {
            CliArguments version;
            version.command = CliArguments::Command::Version;
            return ParsedArguments{version, {}};
        } else if (is("--json")) {
            parsed_.json = true;
        } else if (is("-y") || is("--yes")) {
            parsed_.yes = true;
        } else if (is("--format") || is("--no-format")) {
            refusal = readFormat(is("--format"));
        } else if (is("--trace")) {
            parsed_.trace = true;
        } else if (takesValue("--asset")) {
            refusal = readCertificateValue("--asset", "the medium's asset number", parsed_.asset);
        } else if (takesValue("--source")) {
            refusal = readCertificateValue("--source", "where the media came from", parsed_.source);
        } else if (is("-a") || takesValue("--algorithm")) {
            refusal = readAlgorithm();
        } else {
            refusal = QStringLiteral("unknown option '%1'").arg(argument);
        }
        if (refusal)
            return fail(*refusal);
        return std::nullopt;
    }

    // An option's value: after its '=', else the next argument (taken), else none.
    std::optional<QString> value() {
        const QString& option = arguments_[at_];
        if (option.contains(u'='))
            return option.section(u'=', 1);
        if (at_ + 1 < arguments_.size())
            return arguments_[++at_];
        return std::nullopt;
    }

    std::optional<QString> readFormat(bool format) {
        if (parsed_.format && *parsed_.format != format)
            return QStringLiteral(
                "--format and --no-format contradict each other: give one of them");
        parsed_.format = format;
        return std::nullopt;
    }

    std::optional<QString> readCertificateValue(const char* option, const char* what,
                                                QString& into) {
        const std::optional<QString> given = value();
        if (!given)
            return QStringLiteral("%1 needs %2").arg(QLatin1String(option), QLatin1String(what));
        if (const QString problem = certificateValueProblem(option, *given, what);
            !problem.isEmpty())
            return problem;
        into = given->trimmed();
        return std::nullopt;
    }

    std::optional<QString> readAlgorithm() {
        const std::optional<QString> given = value();
        if (!given)
            return QStringLiteral("--algorithm needs a number (%1)").arg(methodNumbers());
        bool ok = false;
        const int number = given->toInt(&ok);
        if (!ok || !IsShredAlgorithm(number))
            return QStringLiteral("--algorithm takes %1, not '%2'").arg(methodNumbers(), *given);
        parsed_.algorithm = number;
        return std::nullopt;
    }

    ParsedArguments forCommand() {
        if (!command_)
            return fail(QStringLiteral("no command given (list, shred or verify)"));
        if (*command_ == QLatin1String("help"))
            return {CliArguments{}, {}};
        if (*command_ == QLatin1String("list"))
            return forList();
        if (*command_ == QLatin1String("verify"))
            return forVerify();
        if (*command_ == QLatin1String("shred"))
            return forShred();
        return fail(QStringLiteral("unknown command '%1' (list, shred or verify)").arg(*command_));
    }

    ParsedArguments forList() {
        parsed_.command = CliArguments::Command::List;
        if (!rest_.isEmpty())
            return fail(QStringLiteral("list takes no disks ('%1')").arg(rest_.first()));
        const auto unknown = [this](const QString& option) {
            return fail(unknownOption(option, *command_));
        };
        if (parsed_.algorithm)
            return unknown(QStringLiteral("--algorithm"));
        if (parsed_.format)
            return unknown(*parsed_.format ? QStringLiteral("--format")
                                           : QStringLiteral("--no-format"));
        if (parsed_.yes)
            return unknown(QStringLiteral("--yes"));
        if (!parsed_.asset.isEmpty())
            return unknown(QStringLiteral("--asset"));
        if (!parsed_.source.isEmpty())
            return unknown(QStringLiteral("--source"));
        return {parsed_, {}};
    }

    ParsedArguments forVerify() {
        parsed_.command = CliArguments::Command::Verify;
        if (rest_.size() != 1)
            return fail(QStringLiteral("verify takes one FILE: a certificate or a report"));
        if (parsed_.json || parsed_.algorithm || parsed_.format || parsed_.yes ||
            !parsed_.asset.isEmpty() || !parsed_.source.isEmpty())
            return fail(QStringLiteral("verify takes no options but --trace"));
        parsed_.file = rest_.first();
        return {parsed_, {}};
    }

    ParsedArguments forShred() {
        parsed_.command = CliArguments::Command::Shred;
        if (parsed_.json)
            return fail(unknownOption(QStringLiteral("--json"), *command_));
        if (rest_.isEmpty())
            return fail(QStringLiteral("shred needs at least one DISK"));
        // One asset number belongs to one medium.
        if (!parsed_.asset.isEmpty() && rest_.size() > 1)
            return fail(QStringLiteral("--asset names one medium: give it with one DISK"));
        parsed_.disks = rest_;
        return {parsed_, {}};
    }

    const QStringList& arguments_;
    qsizetype at_ = 0;
    bool optionsEnded_ = false;
    CliArguments parsed_;
    std::optional<QString> command_;
    QStringList rest_;
};

// The words after line's start, wrapped at width under that start's indent.
QString wrapped(QString line, const QString& words, qsizetype width) {
    const QString indent(line.size(), u' ');
    QString text;
    for (const QString& word : words.split(u' ')) {
        if (line.size() + 1 + word.size() > width) {
            text += line + u'\n';
            line = indent;
        }
        line += u' ' + word;
    }
    return text + line + u'\n';
}

} // namespace

ParsedArguments parseArguments(const QStringList& arguments) {
    return CommandLine(arguments).parse();
}

QString helpText(const QString& program) {
    QString text = QStringLiteral(
        "Usage: %1 list [--json]\n"
        "       %1 shred [--algorithm %2] [--format|--no-format] [--yes]\n"
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
        "%3"
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
    QStringList numbers;
    QStringList methods;
    for (const ShredMethod& method : kShredMethods) {
        numbers << QString::number(method.number);
        methods << QStringLiteral("%1 %2").arg(method.number).arg(QLatin1String(method.helpName));
    }
    const QString algorithm = wrapped(QStringLiteral("  -a, --algorithm N   "),
                                      methods.join(QStringLiteral(", ")) +
                                          QStringLiteral("; without it the method of the settings"),
                                      kOptionsWidth);
    text = text.arg(program, numbers.join(u'|'), algorithm);
    for (const ExitCodeMeaning& entry : exitCodeMeanings())
        text += wrapped(QStringLiteral("  %1 ").arg(entry.code, 2),
                        QString::fromLatin1(entry.meaning), kHelpWidth);
    return text;
}

} // namespace kestrune::cli
