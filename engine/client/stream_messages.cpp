#include "client/stream_messages.h"

#include <kolta_common/json.h>

namespace kolta::engine {

std::string stream_config_message(const StreamRequest &request) {
    kolta_common::JsonWriter config;
    config.string("token", request.token)
        .string("model", request.model)
        .number("rate", request.rate)
        .number("channels", request.channels)
        .string("codec", stream_codec_name(request.codec))
        // The engine makes its transcripts itself for now.
        .boolean("transcripts", false);
    if (!request.language_in.empty()) {
        config.string("language_in", request.language_in);
    }
    if (!request.language_out.empty()) {
        config.string("language_out", request.language_out);
    }
    return config.finish();
}

std::string audio_message(std::uint64_t sequence, const float *block,
                          BlockEncoder &encoder) {
    std::string message(8, '\0');
    for (int i = 0; i < 8; ++i) {
        message[static_cast<std::size_t>(i)] =
            static_cast<char>((sequence >> (8 * i)) & 0xff);
    }
    encoder.encode(block, message);
    return message;
}

std::optional<AudioAnswer> read_audio_answer(const std::string &message,
                                             BlockDecoder &decoder) {
    if (message.size() < 8) {
        return std::nullopt;
    }
    AudioAnswer answer;
    for (int i = 7; i >= 0; --i) {
        answer.sequence =
            (answer.sequence << 8) |
            static_cast<unsigned char>(message[static_cast<std::size_t>(i)]);
    }
    auto values = decoder.decode(std::string_view(message).substr(8));
    if (!values) {
        return std::nullopt;
    }
    answer.values = std::move(*values);
    return answer;
}

} // namespace kolta::engine
