#include <QCoreApplication>
#include <gtest/gtest.h>

// The platform's Windows half answers on Qt's event loop (device changes, console signals).
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
