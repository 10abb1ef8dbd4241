// The main of the programs that test the core: it paints certificates, so Qt Gui, but no
// widgets; message boxes are recorded.
#include "RunTests.h"
#include "TestSupport.h"

#include <QGuiApplication>

int main(int argc, char** argv) {
    return kestrune::test::runTests<QGuiApplication>(argc, argv, kestrune::test::recordMessages);
}
