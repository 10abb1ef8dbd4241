#pragma once

#include <QCoreApplication>

namespace kestrune::cli {

// The command-line program: the window's scan, rules, jobs, reports and texts behind a
// terminal. A core application: a server has no display.
class KestruneCli : public QCoreApplication {
    Q_OBJECT
public:
    KestruneCli(int& argc, char** argv);
    // The exit status.
    int Run();
};

} // namespace kestrune::cli
