#include "http/http_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "platform/os/unique_fd.h"

namespace backoffice::http {

namespace {

namespace beast = boost::beast;
namespace wire = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kIoThreads = 2;                      // parsing and TLS; the handlers run on the workers
constexpr uint32_t kHeadLimit = 8 * 1024;          // request line and header fields
constexpr auto kLingerAfterAnswer = seconds(2);    // reading what a closed connection's client still sends
constexpr auto kAcceptPause = std::chrono::milliseconds(100);  // after a failed accept (no descriptor left)

// How long `bytes` take at `rate` bytes per second.
Clock::duration TimeFor(size_t bytes, size_t rate) {
    return std::chrono::milliseconds(static_cast<int64_t>(bytes * 1000 / std::max<size_t>(rate, 1)));
}

// An error of the HTTP parser (not of the connection, nor a deadline).
bool ParseError(error_code ec) {
    return ec.category() == wire::make_error_code(wire::error::bad_method).category() &&
           ec != wire::error::end_of_stream && ec != wire::error::partial_message;
}

// A fixed pool of threads that run whole requests; each starts with the callback's state.
// A worker that has answered a plain kept-alive connection may wait on it for its next
// request (WaitToRead); it lets the connection go as soon as a job is queued for the pool
// or the pool is released, so connections that keep workers never starve the others.
class WorkerPool {
public:
    enum class Wait { Readable, Wanted, TimedOut };

    void Start(int count, const std::function<void()>& starts) {
        for (int i = 0; i < count; ++i) {
            wakes_.emplace_back(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
            if (!wakes_.back()) throw std::system_error(errno, std::generic_category(), "eventfd");
        }
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, starts, i] {
                tWorker = i;
                if (starts) starts();
                Work();
            });
    }
    void Post(std::function<void()> job) {
        int wake = -1;
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            if (Short() && !holding_.empty()) {
                wake = holding_.back();
                holding_.pop_back();
            }
        }
        if (wake >= 0)
            Signal(wake);
        else
            ready_.notify_one();
    }
    // True when a job waits that no idle worker will take, or the pool is released: a
    // worker lets its connection go.
    bool Wanted() {
        std::lock_guard lock(mutex_);
        return Short();
    }
    // On a worker: waits until `fd` has something to read, the pool wants the worker
    // (Wanted), or the deadline passes.
    Wait WaitToRead(int fd, Clock::time_point deadline) {
        const int me = tWorker;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (Short()) return Wait::Wanted;
                holding_.push_back(me);
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakes_[me].Get(), POLLIN, 0}};
            int ready = ::poll(fds, 2, static_cast<int>(std::clamp<int64_t>(left, 0, 60'000)));
            {
                std::lock_guard lock(mutex_);
                holding_.erase(std::remove(holding_.begin(), holding_.end(), me), holding_.end());
            }
            if (fds[1].revents != 0) {
                uint64_t count;
                [[maybe_unused]] auto ignored = ::read(wakes_[me].Get(), &count, sizeof count);
            }
            if (Wanted()) return Wait::Wanted;
            if (ready > 0 && fds[0].revents != 0) return Wait::Readable;  // data, end or error: the read tells
            if (Clock::now() >= deadline) return Wait::TimedOut;
        }
    }
    // The workers that wait on connections let them go, now and from now on.
    void Release() {
        std::vector<int> holding;
        {
            std::lock_guard lock(mutex_);
            released_ = true;
            holding.swap(holding_);
        }
        for (int w : holding) Signal(w);
    }
    // Lets the queued jobs finish and joins the threads.
    void Shutdown() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = released_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ++idle_;
                ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }
    bool Short() const { return released_ || jobs_.size() > static_cast<size_t>(idle_); }
    void Signal(int worker) {
        uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakes_[worker].Get(), &one, sizeof one);
    }

    static thread_local int tWorker;
    std::vector<std::thread> threads_;
    std::vector<os::UniqueFd> wakes_;  // one eventfd a worker: a job for it, or a release
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<int> holding_;  // workers waiting on connections of their own
    int idle_ = 0;              // workers waiting for a job
    bool stopping_ = false, released_ = false;
};
thread_local int WorkerPool::tWorker = -1;

// A connection's socket as a worker writes it while the connection is out of the
// listener's event loop: sends what the socket takes at once, never waits.
struct HeldSocket {
    int fd;
    template <class Buffers>
    size_t write_some(const Buffers& buffers, error_code& ec) {
        std::array<iovec, 16> parts;
        size_t count = 0;
        for (auto it = net::buffer_sequence_begin(buffers); it != net::buffer_sequence_end(buffers) && count < parts.size();
             ++it) {
            net::const_buffer part = *it;
            parts[count++] = {const_cast<void*>(part.data()), part.size()};
        }
        msghdr message{};
        message.msg_iov = parts.data();
        message.msg_iovlen = count;
        ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            ec.assign(errno, boost::system::system_category());
            return 0;
        }
        ec = {};
        return static_cast<size_t>(sent);
    }
    template <class Buffers>
    size_t write_some(const Buffers& buffers) {
        error_code ec;
        size_t sent = write_some(buffers, ec);
        if (ec) throw boost::system::system_error(ec);
        return sent;
    }
};

class SessionBase : public std::enable_shared_from_this<SessionBase> {
public:
    virtual ~SessionBase() = default;
    // Closes the connection unless a request on it is being read whole, run or answered.
    virtual void CloseIfIdle() = 0;
};

// What the listener and the connections share.
struct Core {
    Core(const HostSettings& settings, HttpServer::Callbacks callbacks)
        : settings(settings), callbacks(std::move(callbacks)) {}

    // A connection that ends leaves the count of its address and the list of connections.
    void Forget(SessionBase* session, const std::string& peer) {
        std::lock_guard lock(mutex);
        connections.erase(session);
        if (auto it = perClient.find(peer); it != perClient.end() && --it->second <= 0) perClient.erase(it);
    }

    const HostSettings settings;
    const HttpServer::Callbacks callbacks;
    std::atomic<bool> stopping{false};
    // before the io_context: the connections it destroys with its handlers leave these
    std::mutex mutex;
    std::map<std::string, int> perClient;
    std::map<SessionBase*, std::weak_ptr<SessionBase>> connections;
    std::optional<ssl::context> tls;
    bool stopRequested = false, serving = false;  // under mutex

    net::io_context ioc{kIoThreads};
    tcp::acceptor acceptor{net::make_strand(ioc)};
    net::steady_timer acceptPause{acceptor.get_executor()};
    WorkerPool workers;  // after the io_context: idle when destroyed
};

class PlainSession;

// One connection: reads a request under its deadlines, has a worker answer it,
// writes the answer, and waits for the next one without holding a thread.
//
// A plain connection is answered by the worker that ran its request: it writes the
// answer as far as the socket takes it without waiting, then waits for the next request
// itself while no job waits for a worker (WorkerPool::WaitToRead). A next request that
// is there whole is run on the same worker; anything else (a request that arrives in
// pieces, a body to wait for, an answer the client is slow to take, a stop, a job for
// the pool) goes back to the connection's own deadlines on the listener's threads. So a
// slow client never holds a worker, and the kept-alive request costs no hand-off.
template <class Derived>
class Session : public SessionBase {
public:
    Session(Core& core, std::string peer) : core_(core), peer_(std::move(peer)) {}
    ~Session() override { core_.Forget(this, peer_); }

    void CloseIfIdle() override {
        net::post(Stream().get_executor(), [self = Self()] {
            if (!self->busy_) self->Close();
        });
    }

protected:
    Derived& derived() { return static_cast<Derived&>(*this); }
    auto& Stream() { return derived().stream(); }
    beast::tcp_stream& Tcp() { return beast::get_lowest_layer(Stream()); }
    std::shared_ptr<Derived> Self() { return std::static_pointer_cast<Derived>(shared_from_this()); }

    // Waits for the next request: on a kept-alive connection its first byte may take
    // KeepAliveTimeout, then its head HeaderTimeoutSeconds.
    void NextRequest() {
        busy_ = false;
        if (core_.stopping) return Close();
        if (answered_ > 0 && buffer_.size() == 0) {
            Tcp().expires_at(idleUntil_.value_or(Clock::now() + seconds(core_.settings.keepAliveTimeout)));
            idleUntil_.reset();
            Stream().async_read_some(buffer_.prepare(kHeadLimit), [self = Self()](error_code ec, size_t n) {
                if (ec) return self->Close();
                self->buffer_.commit(n);
                self->ReadHead();
            });
            return;
        }
        ReadHead();
    }

    void ReadHead() {
        parser_.emplace();
        parser_->header_limit(kHeadLimit);
        // the path's limit applies once the head names the path (not boost::none: this Beast
        // compares a length with an empty limit as if it were over it)
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        Tcp().expires_after(seconds(core_.settings.headerTimeout));
        wire::async_read_header(Stream(), buffer_, *parser_, [self = Self()](error_code ec, size_t) { self->OnHead(ec); });
    }

    void OnHead(error_code ec) {
        if (ec) return Failed(ec);
        busy_ = true;
        const auto& head = parser_->get();
        std::string target(head.target());
        path_ = httplib::detail::decode_url(target.substr(0, target.find('?')), false);
        size_t limit = core_.callbacks.bodyLimit(path_);
        if (parser_->content_length() && *parser_->content_length() > limit)
            return Refuse(413, "The body is larger than the host takes");
        parser_->body_limit(limit);  // a chunked body is counted as it comes
        bodyStarted_ = Clock::now();
        if (beast::iequals(head[wire::field::expect], "100-continue") && !parser_->is_done()) {
            continue_.emplace(wire::status::continue_, head.version());
            Tcp().expires_after(seconds(core_.settings.writeTimeout));
            wire::async_write(Stream(), *continue_, [self = Self()](error_code ec, size_t) {
                if (ec) return self->Close();
                self->ReadBody();
            });
            return;
        }
        ReadBody();
    }

    // The body must keep up with BodyMinBytesPerSecond after a grace of ReadTimeout.
    void ReadBody() {
        if (parser_->is_done()) return Dispatch();
        size_t received = parser_->get().body().size();
        Tcp().expires_at(bodyStarted_ + seconds(core_.settings.readTimeout) +
                         TimeFor(received, core_.settings.bodyMinBytesPerSecond));
        wire::async_read_some(Stream(), buffer_, *parser_, [self = Self()](error_code ec, size_t) {
            if (ec) return self->Failed(ec);
            self->ReadBody();
        });
    }

    // A read that failed: a malformed or oversized request is answered, anything else
    // (the client left, a deadline passed) ends the connection.
    void Failed(error_code ec) {
        if (ec == wire::error::body_limit) return Refuse(413, "The body is larger than the host takes");
        if (ec == wire::error::header_limit) return Refuse(431, "The request's head is larger than the host takes");
        if (ParseError(ec)) return Refuse(400, "The request is malformed");
        Close();
    }

    // The request, read whole, goes to a worker; its answer comes back to this connection.
    void Dispatch() {
        Run(TakeRequest(), [this](httplib::Request& request, httplib::Response& response) {
            core_.callbacks.answer(request, response);
        }, false);
    }

    // The request read whole, its body moved out of the parser.
    std::shared_ptr<httplib::Request> TakeRequest() {
        auto& head = parser_->get();
        auto request = std::make_shared<httplib::Request>(RequestOf());
        request->body = beast::buffers_to_string(head.body().data());
        head.body().clear();
        return request;
    }

    void Refuse(int status, const std::string& why) {
        busy_ = true;
        bool headRead = parser_ && parser_->is_header_done();
        auto request = std::make_shared<httplib::Request>(headRead ? RequestOf() : httplib::Request());
        request->remote_addr = peer_;
        Run(request, [this, status, why](httplib::Request& request, httplib::Response& response) {
            core_.callbacks.refuse(request, response, status, why);
        }, true);
    }

    template <class Job>
    void Run(std::shared_ptr<httplib::Request> request, Job job, bool close) {
        auto working = std::make_shared<net::executor_work_guard<net::io_context::executor_type>>(core_.ioc.get_executor());
        core_.workers.Post([self = Self(), request, job, close, working] {
            auto response = std::make_shared<httplib::Response>();
            RunJob(job, *request, *response);
            if constexpr (std::is_same_v<Derived, PlainSession>) {
                if (!close) return self->ServeOnWorker(std::move(request), std::move(response));
            }
            net::post(self->Stream().get_executor(),
                      [self, request, response, close] { self->Answer(*request, *response, close); });
        });
    }

    template <class Job>
    static void RunJob(Job& job, httplib::Request& request, httplib::Response& response) {
        try {
            job(request, response);
        } catch (...) {
            response.status = 500;
            response.body.clear();
        }
    }

    // On the worker that ran the request: answers it and runs the connection's next
    // requests while they come whole and nobody else needs the worker.
    void ServeOnWorker(std::shared_ptr<httplib::Request> request, std::shared_ptr<httplib::Response> response) {
        for (;;) {
            bool keepAlive = Compose(*request, *response, false);
            if (!keepAlive) {
                Continue([self = Self()] { self->Write(false, false); });
                return;
            }
            Hold();
            serializer_.emplace(*answer_);
            error_code ec;
            HeldSocket socket{HeldFd()};
            wire::write(socket, *serializer_, ec);
            if (ec == net::error::would_block || ec == net::error::try_again) {
                Continue([self = Self()] { self->Write(true, false); });  // the rest at the client's pace
                return;
            }
            serializer_.reset();
            answer_.reset();
            if (ec) {
                Continue([self = Self()] { self->Close(); });
                return;
            }
            parser_.reset();
            request = NextOnWorker();
            if (!request) return;
            response = std::make_shared<httplib::Response>();
            RunJob(core_.callbacks.answer, *request, *response);
        }
    }

    // On the worker: the connection's next request when it comes whole, else nullptr once
    // the connection has gone back to the listener's threads (or is closing).
    std::shared_ptr<httplib::Request> NextOnWorker() {
        const auto idleUntil = Clock::now() + seconds(core_.settings.keepAliveTimeout);
        while (buffer_.size() == 0) {
            auto wait = core_.workers.WaitToRead(HeldFd(), idleUntil);
            if (wait == WorkerPool::Wait::Wanted) {
                idleUntil_ = idleUntil;  // the connection's idle time goes on, not again
                return Continue([self = Self()] { self->NextRequest(); });
            }
            if (wait == WorkerPool::Wait::TimedOut) return Continue([self = Self()] { self->Close(); });
            auto space = buffer_.prepare(kHeadLimit);
            ssize_t n = ::recv(HeldFd(), space.data(), space.size(), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
            if (n <= 0) return Continue([self = Self()] { self->Close(); });  // the end, or an error
            buffer_.commit(static_cast<size_t>(n));
        }
        if (core_.stopping || core_.workers.Wanted()) return Continue([self = Self()] { self->NextRequest(); });
        parser_.emplace();
        parser_->header_limit(kHeadLimit);
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        error_code ec;
        size_t used = parser_->put(buffer_.data(), ec);
        // a head in pieces is read under its deadline; a malformed one is refused there
        if (ec) return Continue([self = Self()] { self->NextRequest(); });
        buffer_.consume(used);
        const auto& head = parser_->get();
        std::string target(head.target());
        path_ = httplib::detail::decode_url(target.substr(0, target.find('?')), false);
        size_t limit = core_.callbacks.bodyLimit(path_);
        if ((parser_->content_length() && *parser_->content_length() > limit) ||
            beast::iequals(head[wire::field::expect], "100-continue"))
            return Continue([self = Self()] { self->OnHead({}); });
        parser_->body_limit(limit);
        bodyStarted_ = Clock::now();
        while (!parser_->is_done() && buffer_.size() > 0) {
            used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            if (ec == wire::error::need_more) break;
            if (ec) return Continue([self = Self(), ec] { self->Failed(ec); });
        }
        if (!parser_->is_done()) return Continue([self = Self()] { self->ReadBody(); });
        return TakeRequest();
    }

    // The connection goes back to the listener's threads, where `next` runs.
    template <class Next>
    std::nullptr_t Continue(Next next) {
        Unhold();
        net::post(Stream().get_executor(), std::move(next));
        return nullptr;
    }

    // While a worker holds a plain connection its socket is out of the listener's event
    // loop: each request arriving on it would otherwise wake two listener threads for
    // nothing, which on a machine of few cores delays the worker and the database server.
    // Holding keeps the descriptor; a socket that cannot be taken out stays in the loop.
    void Hold() {
        if (held_) return;
        error_code ec;
        protocol_ = Tcp().socket().local_endpoint(ec).protocol();
        if (!ec) {
            int fd = Tcp().socket().release(ec);
            if (!ec) held_.Reset(fd);
        }
    }
    // Back into the event loop (non-blocking, as it was); a socket that cannot go back is
    // closed, and the next step on the listener's threads sees it closed.
    void Unhold() {
        if (!held_) return;
        error_code ec;
        Tcp().socket().assign(protocol_, held_.Get(), ec);
        if (ec) {
            held_.Reset();
            return;
        }
        held_.Release();
        Tcp().socket().non_blocking(true, ec);
    }
    int HeldFd() { return held_ ? held_.Get() : Tcp().socket().native_handle(); }

    void Answer(const httplib::Request& request, httplib::Response& response, bool close) {
        Compose(request, response, close);
        Write(false, close);
    }

    // The answer made ready to write; true when the connection stays open after it.
    bool Compose(const httplib::Request& request, httplib::Response& response, bool close) {
        ++answered_;
        bool headRead = parser_ && parser_->is_header_done();
        bool keepAlive = !close && headRead && parser_->get().keep_alive() &&
                         answered_ < core_.settings.keepAliveMaxCount && !core_.stopping;
        answer_.emplace();
        auto& out = *answer_;
        out.version(headRead ? parser_->get().version() : 11);
        out.result(response.status >= 100 && response.status <= 999 ? static_cast<unsigned>(response.status) : 500u);
        for (const auto& [name, value] : response.headers)
            if (name.find_first_of("\r\n") == std::string::npos && value.find_first_of("\r\n") == std::string::npos)
                out.insert(name, value);
        out.keep_alive(keepAlive);
        keepAlive_ = keepAlive;
        if (request.method == "HEAD") {
            out.content_length(response.body.size());
        } else {
            out.body() = std::move(response.body);
            out.prepare_payload();
        }
        return keepAlive;
    }

    // Writes the composed answer (the rest of it when `started`), then waits for the next
    // request or, on a connection that closes, lingers.
    void Write(bool started, bool close) {
        const bool keepAlive = keepAlive_;
        Tcp().expires_after(seconds(core_.settings.writeTimeout) +
                            TimeFor(answer_->body().size(), core_.settings.bodyMinBytesPerSecond));
        auto written = [self = Self(), keepAlive, close](error_code ec, size_t) {
            self->serializer_.reset();
            self->answer_.reset();
            if (ec) return self->Close();
            if (!keepAlive) {
                // a refused request's client may still be sending its body: read it away so
                // that the answer is not lost to a reset
                return self->Linger(close ? seconds(self->core_.settings.readTimeout) : kLingerAfterAnswer);
            }
            self->parser_.reset();
            self->NextRequest();
        };
        if (started)
            wire::async_write(Stream(), *serializer_, std::move(written));
        else
            wire::async_write(Stream(), *answer_, std::move(written));
    }

    // Half-closes and reads what the client still sends until it closes or the time is up.
    void Linger(Clock::duration time) {
        busy_ = false;  // the answer is out: a stop may close the connection now
        error_code ignored;
        Tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
        Tcp().expires_after(time);
        Drain();
    }
    void Drain() {
        Stream().async_read_some(net::buffer(sink_), [self = Self()](error_code ec, size_t) {
            if (ec) return self->Close();
            self->Drain();
        });
    }

    void Close() {
        error_code ignored;
        Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Tcp().close();
    }

    // The request as the handlers see it, the body aside.
    httplib::Request RequestOf() const {
        const auto& head = parser_->get();
        httplib::Request request;
        request.method = std::string(head.method_string());
        request.target = std::string(head.target());
        request.path = path_;
        request.version = head.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
        for (const auto& field : head) request.headers.emplace(std::string(field.name_string()), std::string(field.value()));
        request.remote_addr = peer_;
        return request;
    }

    Core& core_;
    const std::string peer_;

private:
    beast::flat_buffer buffer_;
    std::optional<wire::request_parser<wire::dynamic_body>> parser_;
    std::optional<wire::response<wire::empty_body>> continue_;
    std::optional<wire::response<wire::string_body>> answer_;
    std::optional<wire::response_serializer<wire::string_body>> serializer_;  // an answer written in part
    std::array<char, 16 * 1024> sink_;
    std::string path_;
    Clock::time_point bodyStarted_;
    int answered_ = 0;
    bool keepAlive_ = false;  // of the composed answer
    std::optional<Clock::time_point> idleUntil_;  // of a connection a worker waited on
    bool busy_ = false;  // a request is being read whole, run or answered
    os::UniqueFd held_;  // the socket while a worker holds the connection (Hold)
    tcp protocol_ = tcp::v4();
};

class PlainSession : public Session<PlainSession> {
public:
    PlainSession(Core& core, std::string peer, tcp::socket&& socket)
        : Session(core, std::move(peer)), stream_(std::move(socket)) {}
    beast::tcp_stream& stream() { return stream_; }
    void Start() {
        error_code ignored;
        stream_.socket().non_blocking(true, ignored);  // a worker's reads and writes never wait
        net::dispatch(stream_.get_executor(), [self = Self()] { self->NextRequest(); });
    }

private:
    beast::tcp_stream stream_;
};

class TlsSession : public Session<TlsSession> {
public:
    TlsSession(Core& core, std::string peer, tcp::socket&& socket, ssl::context& context)
        : Session(core, std::move(peer)), stream_(std::move(socket), context) {}
    beast::ssl_stream<beast::tcp_stream>& stream() { return stream_; }
    // The handshake has the head's deadline.
    void Start() {
        net::dispatch(stream_.get_executor(), [self = Self()] {
            self->Tcp().expires_after(seconds(self->core_.settings.headerTimeout));
            self->stream_.async_handshake(ssl::stream_base::server, [self](error_code ec) {
                if (ec) return self->Close();
                self->NextRequest();
            });
        });
    }

private:
    beast::ssl_stream<beast::tcp_stream> stream_;
};

}  // namespace

class HttpServer::Impl : public Core {
public:
    using Core::Core;

    void Accept() {
        if (stopping) return;
        acceptor.async_accept(net::make_strand(ioc), [this](error_code ec, tcp::socket socket) {
            if (stopping) return;
            if (ec) {
                // no descriptor left, or the like: try again in a moment rather than spin
                acceptPause.expires_after(kAcceptPause);
                acceptPause.async_wait([this](error_code) { Accept(); });
                return;
            }
            Admit(std::move(socket));
            Accept();
        });
    }

    // A new connection, unless its address holds MaxConnectionsPerClient already.
    void Admit(tcp::socket socket) {
        error_code ec;
        auto endpoint = socket.remote_endpoint(ec);
        if (ec) return;
        auto address = endpoint.address();
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
        std::string peer = address.to_string();
        {
            std::lock_guard lock(mutex);
            int& open = perClient[peer];
            if (settings.maxConnectionsPerClient > 0 && open >= settings.maxConnectionsPerClient) {
                socket.close(ec);
                return;
            }
            ++open;
        }
        socket.set_option(tcp::no_delay(true), ec);
        std::shared_ptr<SessionBase> session;
        if (tls) {
            auto s = std::make_shared<TlsSession>(*this, peer, std::move(socket), *tls);
            session = s;
            Register(session);
            s->Start();
        } else {
            auto s = std::make_shared<PlainSession>(*this, peer, std::move(socket));
            session = s;
            Register(session);
            s->Start();
        }
    }

    void Register(const std::shared_ptr<SessionBase>& session) {
        std::lock_guard lock(mutex);
        connections[session.get()] = session;
    }

    // On the acceptor's strand: no new connections; idle ones close.
    void StopAccepting() {
        stopping = true;
        error_code ignored;
        acceptor.close(ignored);
        acceptPause.cancel();
        workers.Release();
        std::vector<std::shared_ptr<SessionBase>> open;
        {
            std::lock_guard lock(mutex);
            for (const auto& [raw, weak] : connections)
                if (auto s = weak.lock()) open.push_back(std::move(s));
        }
        for (const auto& s : open) s->CloseIfIdle();
    }
};

HttpServer::HttpServer(const HostSettings& settings, Callbacks callbacks)
    : impl_(std::make_unique<Impl>(settings, std::move(callbacks))) {
    if (settings.tlsCertificate.empty() || settings.tlsKey.empty()) return;
    impl_->tls.emplace(ssl::context::tls_server);
    impl_->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                            ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
    impl_->tls->use_certificate_chain_file(settings.tlsCertificate);
    impl_->tls->use_private_key_file(settings.tlsKey, ssl::context::pem);
}

HttpServer::~HttpServer() = default;

int HttpServer::Bind(const std::string& host, int port, std::string& why) {
    error_code ec;
    tcp::resolver resolver(impl_->ioc);
    auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec) {
        why = "not an address of this machine (" + ec.message() + ")";
        return -1;
    }
    tcp::acceptor& acceptor = impl_->acceptor;
    why = "no address to listen on";
    for (const auto& entry : endpoints) {
        error_code failed;
        acceptor.open(entry.endpoint().protocol(), failed);
        // a restarted host need not wait for the old connections to time out; a port another
        // socket listens on is still refused (no SO_REUSEPORT: the port is not shared)
        if (!failed) acceptor.set_option(net::socket_base::reuse_address(true), failed);
        if (!failed) acceptor.bind(entry.endpoint(), failed);
        if (!failed) acceptor.listen(impl_->settings.listenBacklog, failed);
        if (!failed) return acceptor.local_endpoint().port();
        if (failed == net::error::address_in_use)
            why = "the port is in use: another program listens there (another `backoffice serve`?)";
        else if (failed == boost::system::errc::address_not_available)
            why = "not an address of this machine";
        else
            why = failed.message();
        error_code ignored;
        acceptor.close(ignored);
    }
    return -1;
}

bool HttpServer::Serve() {
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.mutex);
        if (s.stopRequested) return true;
        s.serving = true;
    }
    s.workers.Start(s.settings.workers, s.callbacks.workerStarts);
    net::post(s.acceptor.get_executor(), [&s] { s.Accept(); });
    std::vector<std::thread> io;
    for (int i = 1; i < kIoThreads; ++i) io.emplace_back([&s] { s.ioc.run(); });
    s.ioc.run();  // until the listener is closed and every connection has ended
    for (auto& t : io) t.join();
    s.workers.Shutdown();
    std::lock_guard lock(s.mutex);
    s.serving = false;
    return true;
}

void HttpServer::Stop() {
    Impl& s = *impl_;
    std::lock_guard lock(s.mutex);
    s.stopRequested = true;
    if (s.serving) net::post(s.acceptor.get_executor(), [&s] { s.StopAccepting(); });
}

}  // namespace backoffice::http
