#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace kestrune::test {

// Damaged copies of a good shared object, each as a component file would be damaged: cut
// short by a full disk or an aborted copy, replaced by something else, or built for
// another kind of machine.
struct DamagedObject {
    const char* kind;
    QByteArray bytes;
    const char* reason; // part of the reason the check gives
};

std::vector<DamagedObject> damagedCopiesOf(const QByteArray& good);
QByteArray readWholeFile(const QString& path);
bool writeWholeFile(const QString& path, const QByteArray& bytes);

} // namespace kestrune::test
