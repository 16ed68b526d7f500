#include "base/stream_codec.h"

#include <stdexcept>

#include <opus.h>

#include "base/pcm16.h"

namespace kolta::engine {

namespace {

// Lowest delay (2.5 ms of lookahead, no speech mode): the codec's delay is
// added twice to the stream's.
constexpr int kOpusApplication = OPUS_APPLICATION_RESTRICTED_LOWDELAY;
// Tenths of a bit per value each way. The service's suppressor misjudges
// coarsely coded noise, so finer input tends to keep its reduction, but the
// effect is erratic with the rate (measured on goforward.raw and the demo
// clip: within about 1 dB at 1.5 bits; 2.5 to the service with 1 back was
// better on pink noise, worse on white). Under a sixth of 16-bit PCM's bytes
// from 16 kHz up (tests/test_codecs.py).
constexpr int kOpusTenthBitsToService = 15;
constexpr int kOpusTenthBitsFromService = 15;
// Far above a 10 ms packet at any rate here.
constexpr int kMaxOpusPacket = 4000;

void check_opus(int status, const char *what) {
    if (status < 0) {
        throw std::runtime_error(std::string(what) + ": " + opus_strerror(status));
    }
}

} // namespace

const char *stream_codec_name(StreamCodec codec) {
    return codec == StreamCodec::kOpus ? "opus" : "l16";
}

std::optional<StreamCodec> stream_codec_named(std::string_view name) {
    if (name == "l16") {
        return StreamCodec::kL16;
    }
    if (name == "opus") {
        return StreamCodec::kOpus;
    }
    return std::nullopt;
}

bool opus_allows_rate(std::uint32_t rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 ||
           rate == 48000;
}

StreamCodec choose_stream_codec(std::uint32_t rate, bool pcm16) {
    return !pcm16 && opus_allows_rate(rate) ? StreamCodec::kOpus : StreamCodec::kL16;
}

struct BlockEncoder::Opus {
    struct Free {
        void operator()(OpusEncoder *encoder) const { opus_encoder_destroy(encoder); }
    };
    std::unique_ptr<OpusEncoder, Free> encoder;
    int block_frames = 0;
};

struct BlockDecoder::Opus {
    struct Free {
        void operator()(OpusDecoder *decoder) const { opus_decoder_destroy(decoder); }
    };
    std::unique_ptr<OpusDecoder, Free> decoder;
};

namespace {

void require_opus_rate(std::uint32_t rate) {
    if (!opus_allows_rate(rate)) {
        throw std::invalid_argument("Opus does not code " + std::to_string(rate) + " Hz");
    }
}

} // namespace

BlockEncoder::BlockEncoder(StreamCodec codec, StreamFormat format, StreamLeg leg)
    : codec_(codec), block_values_(format.block_frames() * format.channels) {
    if (codec_ != StreamCodec::kOpus) {
        return;
    }
    require_opus_rate(format.rate);
    int status = OPUS_OK;
    opus_ = std::make_unique<Opus>();
    opus_->encoder.reset(opus_encoder_create(static_cast<opus_int32>(format.rate),
                                             format.channels, kOpusApplication, &status));
    check_opus(status, "cannot start the Opus encoder");
    opus_->block_frames = static_cast<int>(format.block_frames());
    const int tenth_bits = leg == StreamLeg::kToService ? kOpusTenthBitsToService
                                                        : kOpusTenthBitsFromService;
    const auto bitrate =
        static_cast<opus_int32>(format.rate * format.channels * tenth_bits / 10);
    check_opus(opus_encoder_ctl(opus_->encoder.get(), OPUS_SET_BITRATE(bitrate)),
               "cannot set the Opus bit rate");
    opus_int32 lookahead = 0;
    check_opus(opus_encoder_ctl(opus_->encoder.get(), OPUS_GET_LOOKAHEAD(&lookahead)),
               "cannot read the Opus lookahead");
    delay_frames_ = static_cast<std::size_t>(lookahead);
}

BlockEncoder::~BlockEncoder() = default;

void BlockEncoder::encode(const float *block, std::string &out) {
    if (codec_ == StreamCodec::kL16) {
        const std::size_t at = out.size();
        out.resize(at + 2 * block_values_);
        for (std::size_t i = 0; i < block_values_; ++i) {
            const auto value = static_cast<std::uint16_t>(to_pcm16(block[i]));
            out[at + 2 * i] = static_cast<char>(value & 0xff);
            out[at + 2 * i + 1] = static_cast<char>(value >> 8);
        }
        return;
    }
    unsigned char packet[kMaxOpusPacket];
    const opus_int32 size = opus_encode_float(
        opus_->encoder.get(), block, opus_->block_frames, packet, kMaxOpusPacket);
    check_opus(size, "Opus encoding failed");
    out.append(reinterpret_cast<const char *>(packet), static_cast<std::size_t>(size));
}

BlockDecoder::BlockDecoder(StreamCodec codec, StreamFormat format)
    : codec_(codec), block_frames_(format.block_frames()),
      block_values_(format.block_frames() * format.channels) {
    if (codec_ != StreamCodec::kOpus) {
        return;
    }
    require_opus_rate(format.rate);
    int status = OPUS_OK;
    opus_ = std::make_unique<Opus>();
    opus_->decoder.reset(opus_decoder_create(static_cast<opus_int32>(format.rate),
                                             format.channels, &status));
    check_opus(status, "cannot start the Opus decoder");
}

BlockDecoder::~BlockDecoder() = default;

std::optional<std::vector<float>> BlockDecoder::decode(std::string_view payload) {
    if (codec_ == StreamCodec::kL16) {
        const std::size_t block_bytes = 2 * block_values_;
        if (payload.empty() || payload.size() % block_bytes != 0) {
            return std::nullopt;
        }
        std::vector<float> values(payload.size() / 2);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto low = static_cast<unsigned char>(payload[2 * i]);
            const auto high = static_cast<unsigned char>(payload[2 * i + 1]);
            const auto value =
                static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
            values[i] = static_cast<float>(value) / 32768.0f;
        }
        return values;
    }
    if (payload.empty()) {
        return std::nullopt;
    }
    std::vector<float> values(block_values_);
    const int frames = opus_decode_float(
        opus_->decoder.get(), reinterpret_cast<const unsigned char *>(payload.data()),
        static_cast<opus_int32>(payload.size()), values.data(),
        static_cast<int>(block_frames_), 0);
    if (frames != static_cast<int>(block_frames_)) {
        return std::nullopt;
    }
    return values;
}

std::size_t round_trip_codec_delay(StreamCodec codec, StreamFormat format) {
    return BlockEncoder(codec, format, StreamLeg::kToService).delay_frames() +
           BlockEncoder(codec, format, StreamLeg::kFromService).delay_frames();
}

} // namespace kolta::engine
