#include "metrics.h"

#include <sstream>

#include <kolta_common/error_names.h>

namespace kolta::server {

void Metrics::sign_in(bool success, SdkErrorType error) {
    if (success) {
        ++sign_ins_;
        return;
    }
    const auto index = static_cast<std::size_t>(error);
    if (index < sign_in_failures_.size()) {
        ++sign_in_failures_[index];
    }
}

void Metrics::stream_opened(const std::string &codec) {
    ++streams_open_;
    for (std::size_t i = 0; i < kCodecs.size(); ++i) {
        if (codec == kCodecs[i]) {
            ++streams_by_codec_[i];
        }
    }
}

void Metrics::stream_closed() {
    --streams_open_;
}

void Metrics::chunk_processed(std::chrono::nanoseconds latency) {
    const double seconds = std::chrono::duration<double>(latency).count();
    std::size_t bucket = 0;
    while (bucket < kLatencyBuckets.size() && seconds > kLatencyBuckets[bucket]) {
        ++bucket;
    }
    ++latency_counts_[bucket];
    latency_sum_ns_ +=
        static_cast<std::uint64_t>(latency.count() > 0 ? latency.count() : 0);
}

namespace {

void family(std::ostringstream &out, const char *name, const char *type,
            const char *help) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

} // namespace

std::string Metrics::render() const {
    std::ostringstream out;
    out.precision(9);
    family(out, "kolta_sign_ins_total", "counter", "Sign-ins granted.");
    out << "kolta_sign_ins_total " << sign_ins_.load() << "\n";
    family(out, "kolta_sign_in_failures_total", "counter",
           "Sign-ins refused, by the error answered.");
    for (std::size_t i = 0; i < sign_in_failures_.size(); ++i) {
        const std::uint64_t count = sign_in_failures_[i].load();
        if (count > 0) {
            out << "kolta_sign_in_failures_total{error=\""
                << kolta_common::error_type_member_name(static_cast<SdkErrorType>(i))
                << "\"} " << count << "\n";
        }
    }
    family(out, "kolta_streams_open", "gauge", "Audio streams open now.");
    out << "kolta_streams_open " << streams_open_.load() << "\n";
    family(out, "kolta_streams_opened_total", "counter",
           "Audio streams accepted, by codec.");
    for (std::size_t i = 0; i < kCodecs.size(); ++i) {
        out << "kolta_streams_opened_total{codec=\"" << kCodecs[i] << "\"} "
            << streams_by_codec_[i].load() << "\n";
    }
    family(out, "kolta_stream_chunk_seconds", "histogram",
           "Time to process one audio message of a stream.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
        cumulative += latency_counts_[i].load();
        out << "kolta_stream_chunk_seconds_bucket{le=\"" << kLatencyBuckets[i] << "\"} "
            << cumulative << "\n";
    }
    cumulative += latency_counts_.back().load();
    out << "kolta_stream_chunk_seconds_bucket{le=\"+Inf\"} " << cumulative << "\n";
    out << "kolta_stream_chunk_seconds_sum "
        << static_cast<double>(latency_sum_ns_.load()) / 1e9 << "\n";
    out << "kolta_stream_chunk_seconds_count " << cumulative << "\n";
    family(out, "kolta_stream_received_bytes_total", "counter",
           "Bytes of audio messages received on streams.");
    out << "kolta_stream_received_bytes_total " << bytes_in_.load() << "\n";
    family(out, "kolta_stream_sent_bytes_total", "counter",
           "Bytes of messages sent on streams.");
    out << "kolta_stream_sent_bytes_total " << bytes_out_.load() << "\n";
    return out.str();
}

} // namespace kolta::server
