// Who a certificate names as the operator: the account the job is done for, by the full
// name the password database gives it.
#include "platform/AccountName.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(JobAccount, TheFullNameIsTheFirstFieldOfTheComment) {
    using platform::FullNameFromGecos;
    EXPECT_EQ(FullNameFromGecos(QStringLiteral("Jane Doe,Room 4,555-1234,"), "jdoe"), "Jane Doe");
    EXPECT_EQ(FullNameFromGecos(QStringLiteral("  Jane Doe  "), "jdoe"), "Jane Doe");
    EXPECT_EQ(FullNameFromGecos(QStringLiteral("& Smith,,,"), "jdoe"), "Jdoe Smith");
    for (const char* none : {"", ",,,", "   ,Room 4"})
        EXPECT_EQ(FullNameFromGecos(QString::fromLatin1(none), "jdoe"), QString()) << none;
}
