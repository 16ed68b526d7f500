#include "web_page.h"

#include "embedded_file.h"

namespace kolta::server {

namespace {

// The page runs its own scripts and talks to this service only.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

const char *content_type_of(std::string_view name) {
    if (ends_with(name, ".html")) {
        return "text/html; charset=utf-8";
    }
    if (ends_with(name, ".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (ends_with(name, ".css")) {
        return "text/css; charset=utf-8";
    }
    return "application/octet-stream";
}

const EmbeddedFile *file_at(const std::string &path) {
    const std::string name = path == "/" ? "index.html" : path.substr(1);
    for (const EmbeddedFile &file : page_files()) {
        if (name == file.name) {
            return &file;
        }
    }
    return nullptr;
}

} // namespace

std::optional<Reply> page_reply(const Request &request, const std::string &path) {
    const EmbeddedFile *file = file_at(path);
    if (file == nullptr) {
        return std::nullopt;
    }
    if (request.method != "GET") {
        return method_not_allowed(path, "GET", request.method);
    }
    Reply reply;
    reply.content_type = content_type_of(file->name);
    reply.body = std::string(file->bytes);
    reply.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    return reply;
}

} // namespace kolta::server
