#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kolta::engine {

// Debian's pocketsphinx-en-us installs its model here.
inline constexpr char kDefaultModelsRoot[] = "/usr/share/pocketsphinx/model";

// The files of one recogniser model, laid out as Debian ships them:
// <root>/<lang>/<lang>/ (acoustic model), <root>/<lang>/<lang>.lm.bin and
// <root>/<lang>/cmudict-<lang>.dict, <lang> being the language code in
// lower case (en-us).
struct RecogniserModel {
    std::filesystem::path acoustic;
    std::filesystem::path language_model;
    std::filesystem::path dictionary;
};

struct ModelLookup {
    std::optional<RecogniserModel> model;
    std::string missing; // what was not found, when there is no model
};

// The model root: KOLTA_MODELS_DIR when set (a wrong path there means no
// model), else `models_dir` when it holds a <lang> directory, else Debian's
// path. The module fills `models_dir` with ./models by default.
ModelLookup find_recogniser_model(const std::string &models_dir,
                                  const std::string &language);

} // namespace kolta::engine
