// What the code under test writes to standard error while the object lives.
#pragma once

#include <QString>
#include <QTemporaryFile>
#include <cstdio>
#include <unistd.h>

namespace kestrune::test {

class CapturedStandardError {
public:
    CapturedStandardError() {
        file_.open();
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(file_.handle(), STDERR_FILENO);
    }
    ~CapturedStandardError() { restore(); }
    CapturedStandardError(const CapturedStandardError&) = delete;
    CapturedStandardError& operator=(const CapturedStandardError&) = delete;
    QString text() {
        restore();
        file_.seek(0);
        return QString::fromUtf8(file_.readAll());
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

} // namespace kestrune::test
