#include "pg_connection.h"

#include <cstdlib>

#include <kolta_common/log_text.h>
#include <libpq-fe.h>

#include "account_store.h"

namespace kolta::server {

void PgConnDeleter::operator()(pg_conn *connection) const {
    PQfinish(connection);
}

void PgResultDeleter::operator()(pg_result *result) const {
    PQclear(result);
}

int PgRows::count() const {
    return PQntuples(result_.get());
}

bool PgRows::is_null(int row, int column) const {
    return PQgetisnull(result_.get(), row, column) != 0;
}

std::string PgRows::text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
}

std::int64_t PgRows::integer(int row, int column) const {
    return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
}

std::int64_t PgRows::affected() const {
    return std::strtoll(PQcmdTuples(result_.get()), nullptr, 10);
}

namespace {

// libpq's message (several lines, ending in a newline) as one line.
std::string message_line(const char *message) {
    std::string line =
        kolta_common::one_line(message != nullptr ? message : "unknown error");
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

bool lost(pg_conn *connection) {
    return connection == nullptr || PQstatus(connection) != CONNECTION_OK;
}

} // namespace

PgRows run_on(pg_conn *connection, const std::string &sql, const PgParams &params) {
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const auto &param : params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    PgResultHandle result(PQexecParams(connection, sql.c_str(),
                                       static_cast<int>(values.size()), nullptr,
                                       values.data(), nullptr, nullptr, 0));
    const ExecStatusType status =
        result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw StoreError("account store: " +
                         message_line(result ? PQresultErrorMessage(result.get())
                                             : PQerrorMessage(connection)));
    }
    return PgRows(std::move(result));
}

PgPool::PgPool(std::string url, std::size_t size, std::chrono::seconds connect_timeout)
    : url_(std::move(url)), size_(size > 0 ? size : 1),
      connect_timeout_(connect_timeout) {
    idle_.push_back(connect());
}

PgPool::~PgPool() = default;

PgConnHandle PgPool::connect() const {
    // The URL's own settings, when it has them, come later and win.
    const std::string timeout = std::to_string(connect_timeout_.count());
    const std::string timeout_ms =
        std::to_string(std::chrono::milliseconds(connect_timeout_).count());
    const std::string options = "-c statement_timeout=" + timeout_ms;
    const char *keywords[] = {"connect_timeout",
                              "options",
                              "tcp_user_timeout",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "application_name",
                              "dbname",
                              nullptr};
    const char *values[] = {timeout.c_str(),
                            options.c_str(),
                            timeout_ms.c_str(),
                            "2",
                            "1",
                            "3",
                            "kolta-server",
                            url_.c_str(),
                            nullptr};
    PgConnHandle connection(PQconnectdbParams(keywords, values, 1));
    if (lost(connection.get())) {
        throw StoreError("cannot connect to the account database: " +
                         message_line(connection ? PQerrorMessage(connection.get())
                                                 : "out of memory"));
    }
    return connection;
}

PgConnHandle PgPool::take() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!returned_.wait_for(lock, connect_timeout_,
                                [&] { return !idle_.empty() || out_ < size_; })) {
            throw StoreError("the account database is busy: no connection free within " +
                             std::to_string(connect_timeout_.count()) + " s");
        }
        ++out_;
        while (!idle_.empty()) {
            PgConnHandle connection = std::move(idle_.back());
            idle_.pop_back();
            if (!lost(connection.get())) {
                return connection;
            }
        }
    }
    try {
        return connect(); // outside the lock: it may take the connect timeout
    } catch (...) {
        give_back(nullptr);
        throw;
    }
}

void PgPool::give_back(PgConnHandle connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --out_;
        if (connection && !lost(connection.get())) {
            idle_.push_back(std::move(connection));
        }
    }
    returned_.notify_one();
}

PgPool::Lease PgPool::lease() {
    return Lease(*this, take());
}

PgPool::Lease::~Lease() {
    if (connection_) {
        pool_->give_back(std::move(connection_));
    }
}

PgRows PgPool::Lease::run(const std::string &sql, const PgParams &params) {
    return run_on(connection_.get(), sql, params);
}

PgRows PgPool::run(const std::string &sql, const PgParams &params, bool idempotent) {
    for (int attempt = 0;; ++attempt) {
        Lease lease = this->lease();
        try {
            return lease.run(sql, params);
        } catch (const StoreError &) {
            // A dropped connection (the database restarted, a network cut)
            // is worth one more try on a fresh one; an error of the
            // statement itself is not.
            if (!idempotent || attempt > 0 || !lost(lease.get())) {
                throw;
            }
        }
    }
}

std::string PgPool::describe() {
    Lease lease = this->lease();
    const char *host = PQhost(lease.get());
    const char *port = PQport(lease.get());
    const char *database = PQdb(lease.get());
    return std::string(host ? host : "?") + ":" + (port ? port : "?") + "/" +
           (database ? database : "?");
}

} // namespace kolta::server
