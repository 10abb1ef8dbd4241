#pragma once

#include "shred/JobStatus.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace kestrune {

namespace platform {
class Module;
}

// The engine wrote or read on: percent of the current pass plan, bytes still to go and done
// so far, and the speed of the last stretch in MiB/s (0: no sample).
struct ProgressEvent {
    int percent = 0;
    std::int64_t bytesLeft = 0;
    std::int64_t bytesDone = 0;
    double speed = 0.0;
    bool operator==(const ProgressEvent&) const = default;
};

// The job's format: percent 0 when it begins, then how far it got.
struct FormattingEvent {
    int percent = 0;
    bool operator==(const FormattingEvent&) const = default;
};

// Something the engine found out about the medium just before it returned. No progress: it
// goes into the job's outcome and its report.
struct FindingEvent {
    enum class Kind : std::uint8_t {
        Capacity,          // value: the usable bytes the capacity check found
        Verified,          // the read-back matched everything written
        VerifyMismatch,    // value: the byte offset of the first difference
        PassesDone,        // value: the overwrite passes that ran to their end
        VerifyInterrupted, // value: the bytes from the start the read-back found matching
        RangeWrong,        // offset, value (length): the read-back found other bytes there
        RangeUnreadable,   // ... it could read nothing there
        RangeKept,         // ... a counterfeit kept the last pass there
    };
    Kind kind = Kind::Capacity;
    std::int64_t value = 0;
    std::int64_t offset = 0;
    bool operator==(const FindingEvent&) const = default;
    bool isRange() const { return kind >= Kind::RangeWrong; }
};

// How the job ended; detail: the usable bytes of a counterfeit, the offset of a failed
// read-back.
struct EndedEvent {
    JobStatus status = JobStatus::None;
    std::int64_t detail = 0;
    bool operator==(const EndedEvent&) const = default;
};

using EngineEvent = std::variant<ProgressEvent, FormattingEvent, FindingEvent, EndedEvent>;

// One report of the engine's status callback as what it means; empty for a code that means
// nothing (a replacement engine's own). The only place that reads the engine's numbers.
std::optional<EngineEvent> engineEventOf(std::int32_t status, std::int64_t bytesLeft,
                                         std::int64_t secondValue, double speed);

// The shred engine, loaded from its component.
class ShredEngine {
public:
    enum class LoadFailure { None, Missing, NoEntry };
    using Sink = std::function<void(const EngineEvent&)>;

    // Null when the component cannot be loaded or lacks its entry; failure says which.
    static std::unique_ptr<ShredEngine> load(const QString& path, LoadFailure* failure);
    ~ShredEngine();

    // Blocks until the engine returns. Its reports reach sink on the engine's thread; the
    // engine stops once *abortFlag is not 0.
    JobStatus run(std::uint16_t driveLetter, std::uint32_t deviceNumber, std::int32_t algorithm,
                  const unsigned char* abortFlag, const Sink& sink);

private:
    ShredEngine(std::unique_ptr<platform::Module> module, void* entry);
    std::unique_ptr<platform::Module> module_;
    void* entry_;
};

} // namespace kestrune
