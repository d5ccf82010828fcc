#include "support/smb/ShareAccess.h"

#include <utility>

namespace kavrin {

namespace {

struct State {
    ShareSettings settings;
    unsigned generation = 0;
};

State& state() {
    static State instance;
    return instance;
}

}  // namespace

void setShareSettings(ShareSettings settings) {
    state().settings = std::move(settings);
    ++state().generation;
}

void setShareWaiting(ShareWaiting waiting) {
    state().settings.waiting = std::move(waiting);
}

const ShareSettings& shareSettings() {
    return state().settings;
}

unsigned shareSettingsGeneration() {
    return state().generation;
}

std::string shareOf(const std::string& path) {
    // "\\" server separator share [separator ...]
    const std::size_t server = path.find_first_of("\\/", 2);
    if (server == std::string::npos) {
        return path;
    }
    const std::size_t share = path.find_first_of("\\/", server + 1);
    return share == std::string::npos ? path : path.substr(0, share);
}

}  // namespace kavrin
