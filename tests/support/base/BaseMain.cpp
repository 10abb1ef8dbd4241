// The main of the programs that test the base and the engine: Qt Core at most.
#include "RunTests.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    return kestrune::test::runTests<QCoreApplication>(argc, argv);
}
