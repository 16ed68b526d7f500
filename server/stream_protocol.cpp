#include "stream_protocol.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <kolta_common/bounded_number.h>
#include <kolta_common/error_names.h>
#include <kolta_common/key_scheme.h>

#include "base/audio_format.h"
#include "base/engine_options.h"
#include "base/model_names.h"
#include "base/stream_codec.h"
#include "denoise/block_model.h"
#include "denoise/block_model_factory.h"
#include "sign_in.h"
#include <kolta_common/json.h>

namespace kolta::server {

namespace {

StreamRefusal refusal(StreamClose code, std::string reason) {
    if (reason.size() > kMaxCloseReason) {
        reason.resize(kMaxCloseReason);
    }
    return StreamRefusal{code, std::move(reason)};
}

bool known_model(const std::string &model) {
    return model == engine::kPassthroughModel || model == engine::kDenoiseModel ||
           model == engine::kTranslateModel;
}

std::optional<unsigned long long> number_member(const kolta_common::JsonObject &object,
                                                const char *name,
                                                unsigned long long max) {
    const auto found = object.numbers.find(name);
    if (found == object.numbers.end()) {
        return std::nullopt;
    }
    return kolta_common::parse_bounded_number(found->second, max);
}

std::uint64_t read_u64_le(const char *bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return value;
}

} // namespace

std::variant<StreamConfig, StreamRefusal> read_stream_config(std::string_view message,
                                                             SignInService &sign_in) {
    const auto object = kolta_common::parse_json_object(message);
    if (!object) {
        return refusal(StreamClose::kBadConfig,
                       "the first message must be a JSON object");
    }
    StreamConfig config;
    const auto text = [&](const char *name) -> std::optional<std::string> {
        const auto found = object->strings.find(name);
        if (found == object->strings.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    const auto token = text("token");
    if (!token || token->empty()) {
        return refusal(StreamClose::kTokenRefused, "NO_CREDENTIALS: no token given");
    }
    config.token = *token;
    const auto model = text("model");
    if (!model || !known_model(*model)) {
        return refusal(StreamClose::kBadConfig, "unknown or missing model");
    }
    config.model = *model;
    config.codec = text("codec").value_or("l16");
    if (!engine::stream_codec_named(config.codec)) {
        return refusal(StreamClose::kBadConfig, "codec must be \"l16\" or \"opus\"");
    }
    const auto rate = number_member(*object, "rate", 1000000);
    const auto channels = number_member(*object, "channels", 1000);
    if (!rate || !channels) {
        return refusal(StreamClose::kBadConfig,
                       "rate and channels must be whole numbers");
    }
    try {
        engine::validate_format(static_cast<std::uint32_t>(*rate),
                                static_cast<std::uint16_t>(*channels));
    } catch (const std::invalid_argument &error) {
        return refusal(StreamClose::kBadConfig, error.what());
    }
    if (config.codec == engine::stream_codec_name(engine::StreamCodec::kOpus) &&
        !engine::opus_allows_rate(static_cast<std::uint32_t>(*rate))) {
        return refusal(StreamClose::kBadConfig,
                       "Opus codes 8000, 12000, 16000, 24000 and 48000 Hz only");
    }
    config.rate = static_cast<std::uint32_t>(*rate);
    config.channels = static_cast<std::uint16_t>(*channels);
    config.language_in = text("language_in").value_or("");
    config.language_out = text("language_out").value_or("");
    const auto transcripts = object->booleans.find("transcripts");
    if (transcripts != object->booleans.end()) {
        config.transcripts = transcripts->second;
    } else if (object->strings.count("transcripts") > 0 ||
               object->string_arrays.count("transcripts") > 0 ||
               std::find(object->others.begin(), object->others.end(), "transcripts") !=
                   object->others.end()) {
        return refusal(StreamClose::kBadConfig, "transcripts must be true or false");
    }
    if (config.transcripts && engine::produces_text(config.model) &&
        (config.language_in.empty() || config.language_out.empty())) {
        return refusal(StreamClose::kBadConfig,
                       "model '" + config.model + "' needs language_in and language_out");
    }

    const SignInAnswer answer = sign_in.verify_token(config.token);
    if (!answer.success) {
        return refusal(StreamClose::kTokenRefused,
                       kolta_common::error_type_member_name(answer.error) + ": " +
                           answer.message);
    }
    if (!kolta_common::entitlements_of(answer.models).allows(config.model)) {
        return refusal(StreamClose::kNotEntitled,
                       "the token does not grant model '" + config.model + "'");
    }
    return config;
}

bool StreamSessionCount::try_open(const std::string &token) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t &open = open_[token];
    if (open >= cap_) {
        return false;
    }
    ++open;
    return true;
}

void StreamSessionCount::close(const std::string &token) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = open_.find(token);
    if (found != open_.end() && --found->second == 0) {
        open_.erase(found);
    }
}

StreamProcessor::StreamProcessor(const StreamConfig &config) {
    const engine::StreamFormat format{config.rate, config.channels};
    const auto codec =
        engine::stream_codec_named(config.codec).value_or(engine::StreamCodec::kL16);
    block_frames_ = format.block_frames();
    block_values_ = block_frames_ * config.channels;
    decoder_ = std::make_unique<engine::BlockDecoder>(codec, format);
    encoder_ = std::make_unique<engine::BlockEncoder>(codec, format,
                                                      engine::StreamLeg::kFromService);
    model_ = engine::make_block_model(config.model, format,
                                      stream_engine_options().suppressor);
}

StreamProcessor::~StreamProcessor() = default;

engine::EngineOptions stream_engine_options() {
    try {
        return engine::engine_options_from_environment();
    } catch (const std::invalid_argument &) {
        return engine::EngineOptions{};
    }
}

std::variant<std::string, StreamRefusal>
StreamProcessor::process(std::string_view message) {
    if (message.size() < kSequenceBytes) {
        return refusal(StreamClose::kBadAudio,
                       "a message starts with an 8-byte sequence number");
    }
    const std::uint64_t sequence = read_u64_le(message.data());
    if (last_sequence_ && sequence != *last_sequence_ + 1) {
        return refusal(StreamClose::kBadAudio,
                       "sequence number " + std::to_string(sequence) +
                           " does not follow " + std::to_string(*last_sequence_));
    }
    auto audio = decoder_->decode(message.substr(kSequenceBytes));
    if (!audio) {
        return refusal(StreamClose::kBadAudio,
                       "audio must be whole 10 ms blocks of " +
                           std::to_string(block_values_ * sizeof(std::int16_t)) +
                           " bytes, or one Opus packet of one block");
    }
    last_sequence_ = sequence;
    std::string answer(message.substr(0, kSequenceBytes));
    for (std::size_t at = 0; at < audio->size(); at += block_values_) {
        model_->process(audio->data() + at, block_frames_);
        if (observer_) {
            observer_(audio->data() + at, block_frames_);
        }
        encoder_->encode(audio->data() + at, answer);
    }
    return answer;
}

} // namespace kolta::server
