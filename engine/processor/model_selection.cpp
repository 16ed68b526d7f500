#include "processor/model_selection.h"

namespace kolta::engine {

namespace {

ModelSelection refuse(std::string reason) {
    ModelSelection selection;
    selection.refusal = std::move(reason);
    return selection;
}

ModelSelection choose(std::string model, bool translation) {
    ModelSelection selection;
    selection.choice = ModelChoice{std::move(model), translation};
    return selection;
}

} // namespace

ModelSelection select_model(const ProcessorAttributes &attrs) {
    const std::string &name = attrs.audio_attributes.model_name;
    const bool has_lt = attrs.lt_config.has_value();

    if (name.empty()) {
        return has_lt ? choose(kTranslateModel, true)
                      : refuse("no model_name and no lt_config given");
    }
    if (name == kTranslateModel) {
        return has_lt ? choose(kTranslateModel, true)
                      : refuse("model 'translate' needs lt_config");
    }
    if (name == kPassthroughModel || name == kDenoiseModel) {
        return choose(name, false);
    }
    return refuse("unknown model '" + name + "'");
}

} // namespace kolta::engine
