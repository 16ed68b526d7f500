#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kolta {

enum class TranscriptType : std::int32_t {
    kTranslation = 0,
    kTranscription = 1,
};

struct TranscriptSegment {
    std::string start;
    std::string end;
    double probability = 0.0;
    std::string text;
    std::string redacted_text;
};

struct TranscriptData {
    std::vector<TranscriptSegment> complete;
    std::vector<TranscriptSegment> partial;
    std::uint32_t utterance_idx = 0;
    std::string language_code_;
};

struct TextFrame {
    TranscriptType type_ = TranscriptType::kTranslation;
    TranscriptData transcript_data_;
};

struct LanguageTranslationConfig {
    std::string language_in;
    std::string language_out;
    std::string conversation_id;

    // Library settings: opaque to the bindings, zeroed on construction and
    // copied bitwise.
    unsigned char context_block[16] = {};
    double context_weight = 0.0;
    bool context_enabled = false;
    unsigned char context_reserved[3] = {};

    std::function<void(TextFrame &&)> callback;
};

} // namespace kolta
