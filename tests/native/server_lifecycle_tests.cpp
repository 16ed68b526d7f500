// The service stopped while connections arrive, its I/O spread over several
// threads. Meant for ThreadSanitizer (scripts/tsan.sh), which reports a stop
// that touches the listener while an accept's completion runs; the test
// itself checks that connections were served and that stop() is prompt.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "service_setup.h"

using namespace kolta::server;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr int kRounds = 200;
constexpr int kClients = 2;
constexpr int kConnectionsBeforeStop = 20;

class DataDir {
public:
    DataDir()
        : path_(std::filesystem::temp_directory_path() /
                ("kolta-server-test-" + std::to_string(std::random_device()()))) {}
    ~DataDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Opens and drops connections to `port` until told to stop.
void connect_repeatedly(unsigned short port, const std::atomic<bool> &done,
                        std::atomic<int> &connected) {
    asio::io_context io;
    const tcp::endpoint service(asio::ip::make_address("127.0.0.1"), port);
    while (!done.load()) {
        tcp::socket socket(io);
        boost::system::error_code ec;
        socket.connect(service, ec);
        if (!ec) {
            ++connected;
        }
    }
}

TEST(ServiceLifecycle, StopsPromptlyWhileClientsConnect) {
    DataDir data;
    for (int round = 0; round < kRounds; ++round) {
        ServiceOptions options;
        options.port = 0;
        options.data_dir = data.path();
        options.threads = 4;
        auto service = open_service(
            options, std::make_shared<ServiceLog>([](LogLevel, const std::string &) {}));
        service->start();

        std::atomic<bool> done{false};
        std::atomic<int> connected{0};
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back(connect_repeatedly, service->port(), std::cref(done),
                                 std::ref(connected));
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (connected.load() < kConnectionsBeforeStop &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }

        const auto stop_started = std::chrono::steady_clock::now();
        service->stop();
        const auto stop_took = std::chrono::steady_clock::now() - stop_started;
        done = true;
        service.reset();
        for (auto &client : clients) {
            client.join();
        }
        EXPECT_GE(connected.load(), kConnectionsBeforeStop) << "round " << round;
        EXPECT_LT(stop_took, 5s) << "round " << round;
    }
}

} // namespace
