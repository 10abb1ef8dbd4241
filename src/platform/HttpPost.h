#pragma once

#include <QByteArray>
#include <QString>

namespace kestrune::platform {

// Posts the body to an http or https address and gives the answer's body, or nothing and why
// not in *failure (no answer, an HTTP status other than 200, an answer of an unexpected type).
QByteArray PostHttp(const QString& url, const QByteArray& contentType, const QByteArray& body,
                    const QByteArray& expectedType, QString* failure);

} // namespace kestrune::platform
