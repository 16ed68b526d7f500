#include "speech/recogniser_model.h"

#include <cctype>
#include <system_error>

#include <kolta_common/environment.h>

#include "base/env_vars.h"

namespace kolta::engine {

ModelLookup find_recogniser_model(const std::string &models_dir,
                                  const std::string &language) {
    std::string code;
    for (char c : language) {
        code += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::error_code ec;
    std::filesystem::path root = kDefaultModelsRoot;
    const auto chosen = read_environment(kolta_common::kModelsDirVariable);
    if (chosen && !chosen->empty()) {
        root = *chosen; // chosen explicitly: no second guess
    } else if (!models_dir.empty() && std::filesystem::is_directory(
                                          std::filesystem::path(models_dir) / code, ec)) {
        root = models_dir;
    }
    const std::filesystem::path dir = root / code;
    RecogniserModel model{dir / code, dir / (code + ".lm.bin"),
                          dir / ("cmudict-" + code + ".dict")};

    ModelLookup lookup;
    if (code.empty() || code.find('/') != std::string::npos || code == "." ||
        code == "..") {
        lookup.missing = "no recogniser model for language '" + language + "'";
    } else if (!std::filesystem::is_regular_file(model.acoustic / "mdef", ec)) {
        lookup.missing = "no acoustic model at " + model.acoustic.string();
    } else if (!std::filesystem::is_regular_file(model.language_model, ec)) {
        lookup.missing = "no language model at " + model.language_model.string();
    } else if (!std::filesystem::is_regular_file(model.dictionary, ec)) {
        lookup.missing = "no dictionary at " + model.dictionary.string();
    } else {
        lookup.model = std::move(model);
    }
    return lookup;
}

} // namespace kolta::engine
