#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <kolta/kolta_sdk.h>

namespace kolta_test {

using namespace std::chrono_literals;

// A fresh directory under the system temp folder, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path log_file() const { return path_ / "logs" / "kolta.log"; }

private:
    std::filesystem::path path_;
};

// Sets (or unsets) an environment variable for the scope's lifetime.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string> &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// Aborts the whole test run when not disarmed in time: a deadlock must fail
// loudly rather than hang.
class Watchdog {
public:
    Watchdog(std::string what, std::chrono::milliseconds limit);
    ~Watchdog();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

std::string read_text(const std::filesystem::path &file);

// A signed-in SDK whose storage is `dir`.
std::shared_ptr<kolta::IKoltaSdk> signed_in_sdk(const TempDir &dir,
                                                const std::string &key = "kt_all");

kolta::ProcessorAttributes attributes(const std::string &model,
                                      std::uint32_t rate = 16000,
                                      std::uint16_t channels = 1, bool cloud = false);

kolta::LanguageTranslationConfig
lt_config(std::function<void(kolta::TextFrame &&)> callback);

// Pushes `input` in chunks of `chunk_values` (the last one may be shorter
// and then dropped) and returns the concatenated output.
std::vector<float> run_chunks(kolta::IAudioProcessor &processor,
                              const std::vector<float> &input, std::size_t chunk_values);

// run_chunks, then drain chunks (zeros, `chunk_values` long) until one
// returns nothing: the whole processed stream, however late it came back.
std::vector<float> run_and_drain(kolta::IAudioProcessor &processor,
                                 const std::vector<float> &input,
                                 std::size_t chunk_values);

// Output of one call, copied out of the processor's buffer.
std::vector<float> push(kolta::IAudioProcessor &processor,
                        const std::vector<float> &chunk);

// Interleaved test signals (all channels carry the same tone; noise differs).
std::vector<float> tone(double hz, double amplitude, std::size_t frames,
                        std::uint32_t rate, std::uint16_t channels = 1);
std::vector<float> white_noise(double rms, std::size_t values, std::uint32_t seed);
std::vector<float> silence(std::size_t values);
void append(std::vector<float> &to, const std::vector<float> &more);

// RMS in dBFS of values [begin, end).
double rms_db(const std::vector<float> &values, std::size_t begin, std::size_t end);

// Callback recorder shared with the callbacks (they may outlive the test's
// own references when a processor is torn down on its output thread).
class Recorder {
public:
    void on_state(kolta::PipelineState state);
    void on_text(kolta::TextFrame &&frame);

    std::vector<kolta::PipelineState> states() const;
    std::vector<kolta::TextFrame> texts() const;
    std::size_t distinct_text_threads() const;

    // Wait until at least `count` states / texts arrived; false on timeout.
    bool wait_for_states(std::size_t count,
                         std::chrono::milliseconds limit = 5000ms) const;
    bool wait_for_texts(std::size_t count,
                        std::chrono::milliseconds limit = 5000ms) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<kolta::PipelineState> states_;
    std::vector<kolta::TextFrame> texts_;
    std::vector<std::thread::id> text_threads_;
};

// Callbacks that record into `recorder` and keep it alive.
std::function<void(kolta::PipelineState)>
state_sink(const std::shared_ptr<Recorder> &recorder);
std::function<void(kolta::TextFrame &&)>
text_sink(const std::shared_ptr<Recorder> &recorder);

} // namespace kolta_test
