#include "TestPaths.h"

namespace kestrune::test {

QString binDir() {
    return QStringLiteral(KESTRUNE_BIN_DIR);
}
QString sourceDir() {
    return QStringLiteral(KESTRUNE_SOURCE_DIR);
}

} // namespace kestrune::test
