#include "shred/EngineEvents.h"

#include "platform/Module.h"

#include <kestrune/shred_abi.h>

namespace kestrune {
namespace {
// JobStatus keeps the engine's numbers, which reports store: the two lists must never drift.
constexpr bool sameNumber(JobStatus status, std::int32_t engine) {
    return code(status) == engine;
}
static_assert(sameNumber(JobStatus::Shredded, SHRED_STATUS_SHREDDED) &&
              sameNumber(JobStatus::Formatted, SHRED_STATUS_FORMATTED) &&
              sameNumber(JobStatus::EngineMissing, SHRED_STATUS_ENGINE_MISSING) &&
              sameNumber(JobStatus::Aborted, SHRED_STATUS_ABORTED) &&
              sameNumber(JobStatus::FailedMedia, SHRED_STATUS_FAILED_MEDIA) &&
              sameNumber(JobStatus::FailedWrite, SHRED_STATUS_FAILED_WRITE) &&
              sameNumber(JobStatus::FailedPermission, SHRED_STATUS_FAILED_PERMISSION) &&
              sameNumber(JobStatus::FailedFormat, SHRED_STATUS_FAILED_FORMAT) &&
              sameNumber(JobStatus::FailedVerify, SHRED_STATUS_FAILED_VERIFY) &&
              sameNumber(JobStatus::FailedBusy, SHRED_STATUS_FAILED_BUSY) &&
              sameNumber(JobStatus::FailedNotAuthorized, SHRED_STATUS_FAILED_NOT_AUTHORIZED) &&
              sameNumber(JobStatus::FailedNoDiskService, SHRED_STATUS_FAILED_NO_DISK_SERVICE) &&
              sameNumber(JobStatus::FailedSystemDisk, SHRED_STATUS_FAILED_SYSTEM_DISK) &&
              sameNumber(JobStatus::FailedCounterfeit, SHRED_STATUS_FAILED_COUNTERFEIT) &&
              sameNumber(JobStatus::FailedWriteProtected, SHRED_STATUS_FAILED_WRITE_PROTECTED) &&
              sameNumber(JobStatus::FailedHeld, SHRED_STATUS_FAILED_HELD) &&
              sameNumber(JobStatus::Interrupted, SHRED_STATUS_INTERRUPTED));

std::optional<FindingEvent::Kind> findingKind(std::int32_t status) {
    using Kind = FindingEvent::Kind;
    switch (status) {
    case SHRED_FINDING_CAPACITY:
        return Kind::Capacity;
    case SHRED_FINDING_VERIFIED:
        return Kind::Verified;
    case SHRED_FINDING_VERIFY_MISMATCH:
        return Kind::VerifyMismatch;
    case SHRED_FINDING_PASSES_DONE:
        return Kind::PassesDone;
    case SHRED_FINDING_VERIFY_INTERRUPTED:
        return Kind::VerifyInterrupted;
    case SHRED_FINDING_RANGE_WRONG:
        return Kind::RangeWrong;
    case SHRED_FINDING_RANGE_UNREADABLE:
        return Kind::RangeUnreadable;
    case SHRED_FINDING_RANGE_KEPT:
        return Kind::RangeKept;
    default:
        return std::nullopt;
    }
}

struct Relay {
    const ShredEngine::Sink& sink;
};

void relayToSink(void* context, std::int32_t, std::int32_t status, std::int64_t bytesLeft,
                 std::int64_t secondValue, double speed) {
    if (const auto event = engineEventOf(status, bytesLeft, secondValue, speed))
        static_cast<Relay*>(context)->sink(*event);
}

} // namespace

std::optional<EngineEvent> engineEventOf(std::int32_t status, std::int64_t bytesLeft,
                                         std::int64_t secondValue, double speed) {
    if (status >= 0 && status <= 100)
        return ProgressEvent{status, bytesLeft, secondValue, speed};
    if (status >= SHRED_STATUS_FORMATTING && status < SHRED_STATUS_FORMATTED)
        return FormattingEvent{status - SHRED_STATUS_FORMATTING};
    if (status == SHRED_STATUS_SHREDDED || status == SHRED_STATUS_FORMATTED || status < 0)
        return EndedEvent{JobStatus{status}, secondValue};
    if (status >= SHRED_FINDING_FIRST && status <= SHRED_FINDING_LAST) {
        const auto kind = findingKind(status);
        if (!kind)
            return std::nullopt;
        return FindingEvent{*kind, secondValue, bytesLeft};
    }
    return std::nullopt;
}

std::unique_ptr<ShredEngine> ShredEngine::load(const QString& path, LoadFailure* failure) {
    std::unique_ptr<platform::Module> module = platform::Module::load(path);
    *failure = LoadFailure::Missing;
    if (!module)
        return nullptr;
    void* entry = module->symbol(KESTRUNE_SHRED_ENTRY);
    *failure = LoadFailure::NoEntry;
    if (!entry)
        return nullptr;
    *failure = LoadFailure::None;
    return std::unique_ptr<ShredEngine>(new ShredEngine(std::move(module), entry));
}

ShredEngine::ShredEngine(std::unique_ptr<platform::Module> module, void* entry)
    : module_(std::move(module)), entry_(entry) {}

ShredEngine::~ShredEngine() = default;

JobStatus ShredEngine::run(std::uint16_t driveLetter, std::uint32_t deviceNumber,
                           std::int32_t algorithm, const unsigned char* abortFlag,
                           const Sink& sink) {
    Relay relay{sink};
    const auto shred = reinterpret_cast<VSKRMShredFn>(entry_);
    return JobStatus{
        shred(driveLetter, deviceNumber, algorithm, &relayToSink, &relay, 0, abortFlag)};
}

} // namespace kestrune
