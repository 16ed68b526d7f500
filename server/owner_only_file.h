#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kolta::server {

// Why an owner-only file was not read; what() is the bare reason, for the
// caller to say which file it was. `refused`: others than its owner may read
// it (the reason says how to mend that), as opposed to a failed read.
class OwnerOnlyFileError : public std::runtime_error {
public:
    OwnerOnlyFileError(bool refused, const std::string &reason)
        : std::runtime_error(reason), refused_(refused) {}
    bool refused() const { return refused_; }

private:
    bool refused_;
};

// The whole content of a secret's file, refused rather than trusted when
// its group or other users may read it. Throws OwnerOnlyFileError.
std::string read_owner_only_file(const std::filesystem::path &file);

} // namespace kolta::server
