#pragma once

#include <filesystem>
#include <string>

namespace kolta::server {

// The service's data folder: the account store and the token secret. Made
// (readable by its owner only) when missing; throws std::runtime_error
// naming the path and the reason when it cannot be used.
void prepare_data_dir(const std::filesystem::path &dir);

// The secret that signs tokens: 32 random bytes in `dir/token.secret`,
// created with mode 0600 the first time. A secret file that others may read
// is refused rather than trusted.
std::string load_or_create_token_secret(const std::filesystem::path &dir);

inline constexpr char kTokenSecretFileName[] = "token.secret";

} // namespace kolta::server
