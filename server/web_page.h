#pragma once

#include <optional>

#include "router.h"

namespace kolta::server {

// The browser page: index.html at "/", its other files at "/<name>"; GET
// only. Nothing for a path that is not the page's.
std::optional<Reply> page_reply(const Request &request, const std::string &path);

} // namespace kolta::server
