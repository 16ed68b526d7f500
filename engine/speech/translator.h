#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kolta::engine {

// The Apertium pair (e.g. "eng-spa") for two language codes. Without a
// mode, `why` says whether the pair is unsupported or not installed.
struct TranslationLookup {
    std::optional<std::string> mode;
    bool installed = true; // false: the program or the pair's data is missing
    std::string why;
};
TranslationLookup find_translation_mode(const std::string &language_in,
                                        const std::string &language_out);

struct Translation {
    std::optional<std::string> text;
    std::string failure; // why there is no text
};

// Rule-based translation through the `apertium` program, one short-lived
// child process per text. The child is started with posix_spawn in a
// process group of its own, so a translation that fails takes its whole
// pipeline down with it.
class Translator {
public:
    explicit Translator(std::string mode);

    // Fails when the child fails, writes far more than a translation of
    // `text` can be, or does not finish within `limit`.
    Translation translate(const std::string &text, std::chrono::milliseconds limit) const;

private:
    std::string mode_;
};

} // namespace kolta::engine
