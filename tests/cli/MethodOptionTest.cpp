// The terminal's --algorithm takes the methods of the table and no other number, and its
// help lists each with its name.
#include "cli/CliArguments.h"
#include "shred/ShredMethod.h"

#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::cli;

TEST(CliMethods, EveryMethodOfTheTableIsTakenAndListedAndNoOtherNumber) {
    const QString help = helpText(QStringLiteral("kestrune-cli")).simplified();
    QStringList numbers;
    for (const ShredMethod& method : kShredMethods) {
        const QString number = QString::number(method.number);
        numbers << number;
        const ParsedArguments parsed =
            parseArguments({QStringLiteral("shred"), QStringLiteral("-a"), number, "d"});
        ASSERT_TRUE(parsed.arguments) << parsed.error.toStdString();
        EXPECT_EQ(parsed.arguments->algorithm, method.number);
        EXPECT_TRUE(help.contains(number + u' ' + QLatin1String(method.helpName)))
            << method.helpName;
    }
    EXPECT_TRUE(help.contains(QStringLiteral("[--algorithm %1]").arg(numbers.join(u'|'))));
    for (const std::int32_t outside :
         {kShredMethods.front().number - 1, kShredMethods.back().number + 1}) {
        const ParsedArguments parsed =
            parseArguments({QStringLiteral("shred"), QStringLiteral("--algorithm"),
                            QString::number(outside), "d"});
        EXPECT_FALSE(parsed.arguments) << outside;
        EXPECT_TRUE(parsed.error.contains(numbers.last())) << parsed.error.toStdString();
    }
}
