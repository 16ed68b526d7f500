#include "data_dir.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define KOLTA_SERVER_POSIX 1
#endif

#include "crypto.h"
#include "owner_only_file.h"

namespace kolta::server {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kSecretBytes = 32;

[[noreturn]] void fail(const std::string &what, const fs::path &path,
                       const std::string &reason) {
    throw std::runtime_error(what + " '" + path.string() + "': " + reason);
}

// Written so that no other user can read it at any moment (created with its
// final mode, never widened) and no other process sees it half written:
// written under a name of its own, then linked into place, which fails when
// another process got there first. Leaves an existing file alone.
void create_private_file(const fs::path &file, const std::string &content) {
#ifdef KOLTA_SERVER_POSIX
    const fs::path draft = file.string() + "." + std::to_string(::getpid()) + "." +
                           hex_encode(random_bytes(8)) + ".new";
    const int fd = ::open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("cannot create the token secret", draft, std::strerror(errno));
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            ::unlink(draft.c_str());
            fail("cannot write the token secret", draft, reason);
        }
        written += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    const bool linked = synced && closed && ::link(draft.c_str(), file.c_str()) == 0;
    const int link_error = errno;
    ::unlink(draft.c_str());
    if (!linked && !(synced && closed && link_error == EEXIST)) {
        fail("cannot write the token secret", file, std::strerror(link_error));
    }
#else
    if (fs::exists(file)) {
        return;
    }
    std::ofstream out(file, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        fail("cannot write the token secret", file, "write failed");
    }
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
#endif
}

} // namespace

void prepare_data_dir(const fs::path &dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) {
        return;
    }
    fs::create_directories(dir, ec);
    if (ec) {
        fail("cannot create the data folder", dir, ec.message());
    }
    fs::permissions(dir, fs::perms::owner_all, ec);
    if (ec) {
        fail("cannot restrict the data folder", dir, ec.message());
    }
}

std::string load_or_create_token_secret(const fs::path &dir) {
    const fs::path file = dir / kTokenSecretFileName;
    // A new secret is read back below like an existing one.
    if (!fs::exists(file)) {
        create_private_file(file, random_bytes(kSecretBytes));
    }
    std::string secret;
    try {
        secret = read_owner_only_file(file);
    } catch (const OwnerOnlyFileError &error) {
        fail(error.refused() ? "refusing the token secret"
                             : "cannot read the token secret",
             file, error.what());
    }
    if (secret.size() != kSecretBytes) {
        fail("refusing the token secret", file,
             "it holds " + std::to_string(secret.size()) + " bytes, not " +
                 std::to_string(kSecretBytes));
    }
    return secret;
}

} // namespace kolta::server
