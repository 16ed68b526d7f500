#include "client/stream_messages.h"

namespace kolta::engine {

namespace {

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[(c >> 4) & 0xf];
            out += hex[c & 0xf];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

std::string stream_config_message(const StreamRequest &request) {
    std::string text = "{\"token\":" + quoted(request.token) +
                       ",\"model\":" + quoted(request.model) +
                       ",\"rate\":" + std::to_string(request.rate) +
                       ",\"channels\":" + std::to_string(request.channels) +
                       ",\"codec\":\"" + stream_codec_name(request.codec) + "\"" +
                       // The engine makes its transcripts itself for now.
                       ",\"transcripts\":false";
    if (!request.language_in.empty()) {
        text += ",\"language_in\":" + quoted(request.language_in);
    }
    if (!request.language_out.empty()) {
        text += ",\"language_out\":" + quoted(request.language_out);
    }
    return text + "}";
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
