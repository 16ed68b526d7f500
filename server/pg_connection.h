#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// libpq's handles, declared here so that only pg_connection.cpp includes it.
struct pg_conn;
struct pg_result;

namespace kolta::server {

struct PgConnDeleter {
    void operator()(pg_conn *connection) const;
};
struct PgResultDeleter {
    void operator()(pg_result *result) const;
};
using PgConnHandle = std::unique_ptr<pg_conn, PgConnDeleter>;
using PgResultHandle = std::unique_ptr<pg_result, PgResultDeleter>;

// One statement's parameters, in text form; nullopt is SQL NULL.
using PgParams = std::vector<std::optional<std::string>>;

// The rows of one statement's answer, owned.
class PgRows {
public:
    explicit PgRows(PgResultHandle result) : result_(std::move(result)) {}
    int count() const;
    bool is_null(int row, int column) const;
    std::string text(int row, int column) const;
    std::int64_t integer(int row, int column) const;
    // Rows an UPDATE or DELETE touched.
    std::int64_t affected() const;

private:
    PgResultHandle result_;
};

// A few connections to one database, shared by the service's threads; a
// connection found broken is dropped and made again (within the connect
// timeout) when next needed. The same time bounds every wait: for a free
// connection, for a statement (the server's statement_timeout) and for an
// unanswered connection (TCP), so that a stalled database fails a request
// instead of holding its thread. Every failure is a StoreError.
class PgPool {
public:
    // `url`: a libpq connection string or postgresql:// URL. Connects once
    // at once, so that a wrong address is reported at start-up.
    PgPool(std::string url, std::size_t size,
           std::chrono::seconds connect_timeout = std::chrono::seconds(5));
    ~PgPool();

    PgPool(const PgPool &) = delete;
    PgPool &operator=(const PgPool &) = delete;

    // Runs one parameterised statement. A statement that failed because the
    // connection was lost runs once more on a new connection when
    // `idempotent` (reads, and updates that set a value).
    PgRows run(const std::string &sql, const PgParams &params, bool idempotent);

    // One connection for several statements in a row (a transaction).
    class Lease;
    Lease lease();

    // "host:port/database" for logs; never the password.
    std::string describe();

private:
    PgConnHandle connect() const;
    PgConnHandle take();
    void give_back(PgConnHandle connection);

    const std::string url_;
    const std::size_t size_;
    const std::chrono::seconds connect_timeout_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<PgConnHandle> idle_;
    std::size_t out_ = 0; // connections lent out
    friend class Lease;
};

// One connection lent by the pool, returned when the lease ends.
class PgPool::Lease {
public:
    Lease(PgPool &pool, PgConnHandle connection)
        : pool_(&pool), connection_(std::move(connection)) {}
    Lease(Lease &&other) noexcept = default;
    Lease &operator=(Lease &&) = delete;
    ~Lease();

    PgRows run(const std::string &sql, const PgParams &params = {});
    pg_conn *get() const { return connection_.get(); }

private:
    PgPool *pool_;
    PgConnHandle connection_;
};

// The statement's text, run and checked on `connection`; throws StoreError.
PgRows run_on(pg_conn *connection, const std::string &sql, const PgParams &params);

} // namespace kolta::server
