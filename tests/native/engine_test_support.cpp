#include "engine_test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace kolta_test {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::optional<std::string> get_env(const std::string &name) {
#if defined(_MSC_VER)
    char *buffer = nullptr;
    std::size_t size = 0;
    if (_dupenv_s(&buffer, &size, name.c_str()) != 0 || buffer == nullptr) {
        return std::nullopt;
    }
    std::string value(buffer);
    std::free(buffer);
    return value;
#else
    const char *value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
#endif
}

void set_env(const std::string &name, const std::optional<std::string> &value) {
#if defined(_WIN32)
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
#endif
}

// Tests compare exact transcript texts: the placeholder transcriber gives
// them. Tests of the recogniser ask for it with a ScopedEnv.
class PlaceholderTranscripts : public ::testing::Environment {
public:
    void SetUp() override { set_env("KOLTA_ENGINE_TRANSCRIPTS", "placeholder"); }
};

[[maybe_unused]] const auto *const placeholder_transcripts =
    ::testing::AddGlobalTestEnvironment(new PlaceholderTranscripts);

} // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("kolta-engine-test-" + std::to_string(random()) + "-" +
             std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string> &value)
    : name_(std::move(name)), previous_(get_env(name_)) {
    set_env(name_, value);
}

ScopedEnv::~ScopedEnv() {
    set_env(name_, previous_);
}

Watchdog::Watchdog(std::string what, std::chrono::milliseconds limit) {
    thread_ = std::thread([this, what = std::move(what), limit] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: '%s' did not finish within %lld ms\n",
                         what.c_str(), static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

std::string read_text(const std::filesystem::path &file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::shared_ptr<kolta::IKoltaSdk> signed_in_sdk(const TempDir &dir,
                                                const std::string &key) {
    kolta::InitParams params;
    params.storage_dir = dir.str();
    auto sdk = kolta::CreateKoltaSdk(params);
    const auto result = sdk->activate_api_key(key);
    if (!result.success) {
        throw std::runtime_error("test key refused: " + result.message);
    }
    return sdk;
}

kolta::ProcessorAttributes attributes(const std::string &model, std::uint32_t rate,
                                      std::uint16_t channels, bool cloud) {
    kolta::ProcessorAttributes attrs;
    attrs.audio_attributes.model_name = model;
    attrs.audio_attributes.sampling_rate = rate;
    attrs.audio_attributes.channels = channels;
    attrs.audio_attributes.use_cloud_inferencing = cloud;
    return attrs;
}

kolta::LanguageTranslationConfig
lt_config(std::function<void(kolta::TextFrame &&)> callback) {
    kolta::LanguageTranslationConfig config;
    config.language_in = "en-US";
    config.language_out = "es-ES";
    config.callback = std::move(callback);
    return config;
}

std::vector<float> push(kolta::IAudioProcessor &processor,
                        const std::vector<float> &chunk) {
    kolta::AudioFrame frame;
    frame.samples = const_cast<float *>(chunk.data());
    frame.frame_count = static_cast<std::uint32_t>(chunk.size());
    const kolta::AudioFrame out = processor.process_frame(frame);
    if (out.frame_count == 0) {
        return {};
    }
    return std::vector<float>(out.samples, out.samples + out.frame_count);
}

std::vector<float> run_chunks(kolta::IAudioProcessor &processor,
                              const std::vector<float> &input, std::size_t chunk_values) {
    std::vector<float> output;
    for (std::size_t at = 0; at < input.size(); at += chunk_values) {
        const std::size_t end = std::min(input.size(), at + chunk_values);
        append(output, push(processor,
                            std::vector<float>(input.begin() + at, input.begin() + end)));
    }
    return output;
}

std::vector<float> run_and_drain(kolta::IAudioProcessor &processor,
                                 const std::vector<float> &input,
                                 std::size_t chunk_values) {
    std::vector<float> output = run_chunks(processor, input, chunk_values);
    const std::vector<float> drain(chunk_values, 0.0f);
    for (int calls = 0; calls < 64; ++calls) { // far more than any tail needs
        const auto tail = push(processor, drain);
        if (tail.empty()) {
            break;
        }
        append(output, tail);
    }
    return output;
}

std::vector<float> tone(double hz, double amplitude, std::size_t frames,
                        std::uint32_t rate, std::uint16_t channels) {
    std::vector<float> values(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        const double v =
            amplitude * std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate);
        for (std::size_t c = 0; c < channels; ++c) {
            values[i * channels + c] = static_cast<float>(v);
        }
    }
    return values;
}

std::vector<float> white_noise(double rms, std::size_t values, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<double> normal(0.0, rms);
    std::vector<float> out(values);
    for (auto &v : out) {
        v = static_cast<float>(normal(generator));
    }
    return out;
}

std::vector<float> silence(std::size_t values) {
    return std::vector<float>(values, 0.0f);
}

void append(std::vector<float> &to, const std::vector<float> &more) {
    to.insert(to.end(), more.begin(), more.end());
}

double rms_db(const std::vector<float> &values, std::size_t begin, std::size_t end) {
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += static_cast<double>(values[i]) * values[i];
    }
    const double mean = sum / static_cast<double>(end - begin);
    return 10.0 * std::log10(std::max(mean, 1e-20));
}

void Recorder::on_state(kolta::PipelineState state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        states_.push_back(state);
    }
    changed_.notify_all();
}

void Recorder::on_text(kolta::TextFrame &&frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.push_back(std::move(frame));
        text_threads_.push_back(std::this_thread::get_id());
    }
    changed_.notify_all();
}

std::vector<kolta::PipelineState> Recorder::states() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
}

std::vector<kolta::TextFrame> Recorder::texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

std::size_t Recorder::distinct_text_threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::set<std::thread::id>(text_threads_.begin(), text_threads_.end()).size();
}

bool Recorder::wait_for_states(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return states_.size() >= count; });
}

bool Recorder::wait_for_texts(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return texts_.size() >= count; });
}

std::function<void(kolta::PipelineState)>
state_sink(const std::shared_ptr<Recorder> &recorder) {
    return [recorder](kolta::PipelineState state) { recorder->on_state(state); };
}

std::function<void(kolta::TextFrame &&)>
text_sink(const std::shared_ptr<Recorder> &recorder) {
    return [recorder](kolta::TextFrame &&frame) { recorder->on_text(std::move(frame)); };
}

} // namespace kolta_test
