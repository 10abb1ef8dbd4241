// The middle strip's picture for each bottom-button notification and the information
// panel's texts for each combination of settings, decided without any widget.
#include "window/WindowTexts.h"
#include "shred/ShredMethod.h"
#include "window/WindowMessages.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace kestrune;

namespace {

// Echoes each key, so a test sees which texts were fetched and how they were joined.
struct KeyEcho {
    QStringList asked;
    QString operator()(const QString& key) {
        asked << key;
        return QLatin1Char('<') + key + QLatin1Char('>');
    }
};

InfoTexts compose(KeyEcho& echo, std::uint32_t algorithm, bool format, bool startAuto) {
    return ComposeInfoTexts(algorithm, format, startAuto,
                            [&echo](const QString& key) { return echo(key); });
}

} // namespace

TEST(MiddlePicture, EachButtonStateHasItsPicture) {
    for (unsigned normal : {MSG_SETTINGS_NORMAL, MSG_ABOUT_NORMAL, MSG_UPDATE_NORMAL})
        EXPECT_EQ(MiddlePictureForMessage(normal), DefaultMiddlePicture()) << normal;
    EXPECT_EQ(DefaultMiddlePicture(), QStringLiteral("bott_middle"));
    EXPECT_EQ(MiddlePictureForMessage(MSG_SETTINGS_HOVER), QStringLiteral("bott_middle_settings"));
    EXPECT_EQ(MiddlePictureForMessage(MSG_ABOUT_HOVER), QStringLiteral("bott_middle_about"));
    EXPECT_EQ(MiddlePictureForMessage(MSG_UPDATE_HOVER), QStringLiteral("bott_middle_update"));
}

TEST(MiddlePicture, PressesAndOtherMessagesLeaveTheStripAlone) {
    for (unsigned message : std::initializer_list<unsigned>{
             MSG_SETTINGS_PRESSED, MSG_ABOUT_PRESSED, MSG_UPDATE_PRESSED, MSG_ROW_COMMAND,
             UM_DEVICELIST_EMPTY, UM_DEVICELIST_FILLED, 3023u, 3033u})
        EXPECT_FALSE(MiddlePictureForMessage(message).has_value()) << message;
}

TEST(InfoTexts, StoredNumbersOfNoMethodMeanTheFirstMethod) {
    EXPECT_EQ(EffectiveShredAlgorithm(0), 100u);
    EXPECT_EQ(EffectiveShredAlgorithm(99), 100u);
    EXPECT_EQ(EffectiveShredAlgorithm(100), 100u);
    EXPECT_EQ(EffectiveShredAlgorithm(103), 103u);
    EXPECT_EQ(EffectiveShredAlgorithm(104), 100u);
    EXPECT_EQ(EffectiveShredAlgorithm(250), 100u);
}

TEST(InfoTexts, FormatNoteFollowsTheDescriptionAfterABlankLine) {
    KeyEcho echo;
    const InfoTexts texts = compose(echo, 0, true, false);
    EXPECT_EQ(texts.information,
              QStringLiteral("<shred_algo_description_100>\n\n<info_format_auto>"));
    EXPECT_EQ(texts.title, QStringLiteral("<shred_algo_short_100>"));
    EXPECT_TRUE(texts.warning.isEmpty());
    // No warning text is fetched when there is nothing to warn of.
    EXPECT_FALSE(echo.asked.contains(QStringLiteral("warning_start_auto")));
}

TEST(InfoTexts, AutomaticStartWarnsAndANumberOfNoMethodShowsTheMethodThatRuns) {
    KeyEcho echo;
    const InfoTexts named = compose(echo, 103, false, true);
    EXPECT_EQ(named.information, QStringLiteral("<shred_algo_description_103>"));
    EXPECT_EQ(named.title, QStringLiteral("<shred_algo_short_103>"));
    EXPECT_EQ(named.warning, QStringLiteral("<warning_start_auto>"));

    KeyEcho unknown;
    const InfoTexts texts = compose(unknown, 105, false, false);
    EXPECT_EQ(texts.information, QStringLiteral("<shred_algo_description_100>"));
    EXPECT_EQ(texts.title, QStringLiteral("<shred_algo_short_100>"));
}
