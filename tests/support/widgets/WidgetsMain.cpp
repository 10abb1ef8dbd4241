// The main of the programs that draw widgets; message boxes are recorded.
#include "RunTests.h"
#include "TestSupport.h"

#include <QApplication>

int main(int argc, char** argv) {
    return kestrune::test::runTests<QApplication>(argc, argv, kestrune::test::recordMessages);
}
