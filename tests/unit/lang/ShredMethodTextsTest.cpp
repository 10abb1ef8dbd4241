#include "LanguageFixtures.h"

#include "lang/LanguageManager.h"
#include "shred/ShredMethod.h"

#include <QSet>

namespace kestrune::test {
namespace {

// A method is a row of the table and its texts: each shipped language names it, describes it
// and says what it wrote, and no two methods share a name in the settings' list.
TEST(ShredMethodTexts, EveryMethodOfTheTableIsNamedDescribedAndAccountedForInBothLanguages) {
    LanguageVariables environment;
    environment.language("en_GB.UTF-8");
    LanguageFolder folder;
    folder.installShipped();
    LanguageManager manager;
    ASSERT_EQ(manager.GetLanguageCount(), 2);
    for (int index = 0; index < 2; ++index) {
        QSet<QString> names;
        for (const ShredMethod& method : kShredMethods) {
            for (const char* key : {method.nameKey, method.descriptionKey, method.patternsKey}) {
                const QString text = manager.GetStringForLanguage(QString::fromLatin1(key), index);
                EXPECT_FALSE(text.isEmpty() || text == QLatin1String(key))
                    << key << " in " << index;
                // Shown as they are: a '%' would be taken for a placeholder.
                EXPECT_FALSE(text.contains(u'%')) << key << " in " << index;
            }
            names.insert(manager.GetStringForLanguage(QString::fromLatin1(method.nameKey), index));
        }
        EXPECT_EQ(names.size(), qsizetype(kShredMethods.size())) << "in " << index;
    }
}

} // namespace
} // namespace kestrune::test
