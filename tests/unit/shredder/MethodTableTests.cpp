#include "shredengine/ShredJob.h"

#include <kestrune/shred_methods.h>

#include <gtest/gtest.h>

#include <set>

using namespace kestrune::engine;
using kestrune::kShredMethods;
using kestrune::ShredFill;
using kestrune::ShredMethod;
using kestrune::ShredStep;

// The engine writes each row's steps in their order, as many passes as the row counts (what
// the certificate says was planned), and nothing for a number no row has.
TEST(MethodTable, TheEngineWritesEveryRowsStepsInOrder) {
    std::set<int32_t> numbers;
    for (const ShredMethod& method : kShredMethods) {
        SCOPED_TRACE(method.number);
        EXPECT_TRUE(numbers.insert(method.number).second) << "two rows with one number";
        std::vector<Pass> plan;
        ASSERT_TRUE(passPlan(method.number, plan));
        ASSERT_EQ(plan.size(), size_t(method.passes()));
        size_t at = 0;
        for (const ShredStep& step : method.steps) {
            for (int i = 0; i < step.passes; ++i, ++at) {
                if (step.fill == ShredFill::Random)
                    EXPECT_EQ(plan[at], randomPass()) << at;
                else if (step.fill == ShredFill::Pattern)
                    EXPECT_EQ(plan[at],
                              patternPass(step.pattern[0], step.pattern[1], step.pattern[2]))
                        << at;
                else
                    EXPECT_EQ(plan[at].kind, PassKind::Pattern) << at;
            }
        }
    }
    std::vector<Pass> none;
    EXPECT_FALSE(passPlan(*numbers.begin() - 1, none));
    EXPECT_FALSE(passPlan(*numbers.rbegin() + 1, none));
    EXPECT_TRUE(none.empty());
}
