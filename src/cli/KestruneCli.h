#pragma once

#include <QGuiApplication>
#include <string>
#include <vector>

namespace kestrune::cli {

// The command-line program: the window's scan, rules, jobs, reports and texts behind a
// terminal. A server has no display: the application runs on the offscreen platform, which
// gives the certificates their fonts and shows nothing.
class KestruneCli : public QGuiApplication {
    Q_OBJECT
public:
    KestruneCli(int& argc, char** argv);
    // The exit status.
    int Run();
    // What was taken out of the environment before the program started, for --trace.
    void setDroppedEnvironment(std::vector<std::string> names) { dropped_ = std::move(names); }

private:
    std::vector<std::string> dropped_;
};

} // namespace kestrune::cli
