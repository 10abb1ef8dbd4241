// The main of the programs that test the platform layer: no pictures, no widgets; message
// boxes are recorded.
#include "RunTests.h"
#include "TestSupport.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    return kestrune::test::runTests<QCoreApplication>(argc, argv, kestrune::test::recordMessages);
}
