// Shared pieces of the fuzz targets: quiet logging and invariant failures.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

// Drops every log record below ERROR, so a run spends its time in the code
// under test rather than in formatting records nobody reads.
void quietLogs();

// Takes every log record, DEBUG included, and fails the run on one that
// holds a control byte (below 0x20, or 0x7f): text from the network must
// never split a record or carry terminal controls into the log. Nothing is
// printed. Returns the number of records seen so far.
void checkLogRecords();
unsigned long logRecordsSeen();

// Keeps a descriptor on the current standard error for invariant reports,
// so that they stay visible when the fuzzer discards the target's own
// standard error (-close_fd_mask=2). Call from LLVMFuzzerInitialize.
void keepReportChannel();

// What every target's LLVMFuzzerInitialize does: keeps the report channel,
// then quiets the logs or checks every record. Returns 0.
enum eFuzzLogs { FUZZ_LOGS_QUIET, FUZZ_LOGS_CHECKED };
int initializeFuzzing(eFuzzLogs logs);

// Reports a broken invariant on the report channel and aborts, which the
// fuzzer records as a crash with this input as its reproducer.
[[noreturn]] void fuzzFail(const std::string& what);

inline void fuzzCheck(bool ok, const char* what)
{
    if (!ok)
        fuzzFail(what);
}

// A heap copy of exactly len bytes, so that the sanitizer catches a read
// past what the code under test was given.
std::unique_ptr<char[]> exactCopy(const void* data, std::size_t len);

// Whether two IPv6 addresses (16 bytes each), or two IPv4 endpoints, are the same.
inline bool sameIp6(const void* a, const void* b) { return std::memcmp(a, b, 16) == 0; }
inline bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The longest offer the system builds (without a key tag).
constexpr int kLongestOffer = 162;

// Hexadecimal bytes for a report line.
std::string hexBytes(const void* bytes, std::size_t len);
