#pragma once

#include <string_view>
#include <vector>

namespace kolta::server {

// A file built into the program (cmake/embed_files.cmake).
struct EmbeddedFile {
    const char *name; // without its folder: "index.html"
    std::string_view bytes;
};

// The browser page's files (server/page/).
const std::vector<EmbeddedFile> &page_files();

} // namespace kolta::server
