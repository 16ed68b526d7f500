#include "owner_only_file.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace kolta::server {

namespace fs = std::filesystem;

std::string read_owner_only_file(const fs::path &file) {
    std::error_code ec;
    const fs::perms mode = fs::status(file, ec).permissions();
    if (ec) {
        throw OwnerOnlyFileError(false, ec.message());
    }
    if ((mode & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none) {
        throw OwnerOnlyFileError(
            true,
            "other users may read it (make it readable by its owner only: chmod 600)");
    }
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        throw OwnerOnlyFileError(false, "read failed");
    }
    return content;
}

} // namespace kolta::server
