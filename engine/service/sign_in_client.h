#pragma once

#include <chrono>
#include <string>

#include "service/service_config.h"
#include "service/sign_in_answer.h"

namespace kolta::engine {

// POSTs the key to <url>/v1/sign-in and reads the answer; all of it
// (resolving, connecting, TLS, sending, reading) within `timeout`. A service
// that cannot be reached, or does not answer in time, is SERVER_UNREACHABLE
// with a message naming its address. https:// addresses are checked against
// the system's certificate authorities and KOLTA_SERVICE_CA_FILE.
SignInOutcome sign_in_over_http(const ServiceUrl &url, const std::string &api_key,
                                std::chrono::milliseconds timeout);

} // namespace kolta::engine
