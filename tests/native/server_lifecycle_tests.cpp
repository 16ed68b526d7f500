// The service stopped while connections arrive, its I/O spread over several
// threads. Meant for ThreadSanitizer (scripts/tsan.sh), which reports a stop
// that touches the listener while an accept's completion runs; the test
// itself checks that connections were served and that stop() is prompt.
// Also the handling lock an embedding program holds across fork(): while it
// is held, no connection may go into the account store or OpenSSL.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "service_setup.h"

using namespace kolta::server;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
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

// A stream to a service that shares its handling lock with the test.
class HandlingLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceOptions options;
        options.port = 0;
        options.data_dir = data_.path();
        options.threads = 2;
        service_ = open_service(
            options, std::make_shared<ServiceLog>([](LogLevel, const std::string &) {}),
            &handling_);
        service_->start();
        beast::get_lowest_layer(ws_).expires_after(10s);
        beast::get_lowest_layer(ws_).connect(
            tcp::endpoint(asio::ip::make_address("127.0.0.1"), service_->port()));
    }

    // Whether `done` became true within `limit` of running the client's I/O.
    bool finishes_within(const bool &done, std::chrono::milliseconds limit) {
        io_.restart();
        io_.run_for(limit);
        return done;
    }

    DataDir data_;
    std::mutex handling_;
    std::unique_ptr<Service> service_;
    asio::io_context io_;
    websocket::stream<beast::tcp_stream> ws_{io_};
};

// The stream's id is drawn from OpenSSL when the upgrade is accepted.
TEST_F(HandlingLockTest, StreamUpgradeWaitsForTheLock) {
    std::unique_lock<std::mutex> held(handling_);
    bool upgraded = false;
    beast::error_code result;
    ws_.async_handshake("127.0.0.1", "/v1/stream", [&](beast::error_code ec) {
        result = ec;
        upgraded = true;
    });
    EXPECT_FALSE(finishes_within(upgraded, 300ms)) << "upgraded while the lock was held";
    held.unlock();
    ASSERT_TRUE(finishes_within(upgraded, 10s));
    EXPECT_FALSE(result) << result.message();
}

// The config's token is verified (HMAC, the account store) under the lock.
TEST_F(HandlingLockTest, StreamConfigWaitsForTheLock) {
    ws_.handshake("127.0.0.1", "/v1/stream");
    std::unique_lock<std::mutex> held(handling_);
    ws_.text(true);
    ws_.write(asio::buffer(std::string(
        R"({"token":"not-a-token","model":"passthrough","rate":48000,"channels":1})")));
    beast::flat_buffer buffer;
    bool answered = false;
    beast::error_code result;
    ws_.async_read(buffer, [&](beast::error_code ec, std::size_t) {
        result = ec;
        answered = true;
    });
    EXPECT_FALSE(finishes_within(answered, 300ms)) << "answered while the lock was held";
    held.unlock();
    ASSERT_TRUE(finishes_within(answered, 10s));
    EXPECT_EQ(result, websocket::error::closed);
    EXPECT_EQ(ws_.reason().code, 4401) << ws_.reason().reason;
}

} // namespace
