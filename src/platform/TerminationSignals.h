#pragma once

#include <QObject>
#include <memory>

namespace kestrune::platform {

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the thread that creates the object, so a
// shutdown, a logout or Ctrl+C in the terminal ends the program the orderly way instead of
// killing its jobs. One instance at a time; the previous handlers come back with its end.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the handlers could not be installed (the signals then act as before).
    bool isActive() const;

signals:
    void terminationRequested(int signalNumber);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace kestrune::platform
