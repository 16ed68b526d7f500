#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <kolta/sdk_types.h>
#include <kolta_common/sdk_errors.h>

namespace kolta::server {

// The service's counters, served at /metrics in the Prometheus text format.
// Every count is an atomic: streams and sign-ins on any thread add to them
// without a lock.
class Metrics {
public:
    void sign_in(bool success, SdkErrorType error);
    void stream_opened(const std::string &codec);
    void stream_closed();
    // One audio message of a stream, from its arrival to its answer ready.
    void chunk_processed(std::chrono::nanoseconds latency);
    void bytes_received(std::size_t bytes) { bytes_in_ += bytes; }
    void bytes_sent(std::size_t bytes) { bytes_out_ += bytes; }

    std::string render() const;

    // Upper bounds of the latency histogram's buckets, in seconds.
    static constexpr std::array<double, 12> kLatencyBuckets = {
        0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0};
    // The codecs a stream may name; others are not counted by codec.
    static constexpr std::array<const char *, 2> kCodecs = {"l16", "opus"};

private:
    std::atomic<std::uint64_t> sign_ins_{0};
    std::array<std::atomic<std::uint64_t>, kolta_common::kSdkErrorTypeCount>
        sign_in_failures_{};
    std::atomic<std::int64_t> streams_open_{0};
    std::array<std::atomic<std::uint64_t>, kCodecs.size()> streams_by_codec_{};
    // Per bucket (not cumulative); the last one is +Inf.
    std::array<std::atomic<std::uint64_t>, kLatencyBuckets.size() + 1> latency_counts_{};
    std::atomic<std::uint64_t> latency_sum_ns_{0};
    std::atomic<std::uint64_t> bytes_in_{0};
    std::atomic<std::uint64_t> bytes_out_{0};
};

// The Content-Type of Metrics::render()'s text.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

} // namespace kolta::server
