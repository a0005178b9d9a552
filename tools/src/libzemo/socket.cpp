// The raw socket transport: bytes over one TCP connection, as SCPI instruments serve them on
// port 5025. The protocol has no message end and no device clear: a read returns what has
// arrived, and a clear discards what has arrived and not been read.
#include "transport.h"
#include "zemonet/tcp.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr unsigned short defaultSocketPort = 5025;
const std::string socketForm = "socket/HOST[/PORT]";

class SocketTransport final : public Transport {
  public:
    explicit SocketTransport(FileDescriptor socket) : socket_(std::move(socket)) {}

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // Sends all of DATA, continuing partial sends, within one timeout for the whole write.
    void write(std::span<const std::byte> data, bool) override {
        const auto sent = sendExactly(socket_.get(), reinterpret_cast<const char*>(data.data()),
                                      data.size(), Clock::now() + timeout_);
        if (sent.outcome == Transfer::late)
            throw timeout("the instrument accepted no data within " + timeoutText());
        if (!sent)
            throw failure("send failed: " + systemError(sent.error));
    }

    // Returns the bytes that have arrived, up to the buffer's size, waiting at most the timeout
    // for the first of them.
    std::size_t read(std::span<std::byte> buffer) override {
        if (buffer.empty())
            return 0;
        const auto deadline = Clock::now() + timeout_;
        for (;;) {
            if (!waitReady(socket_.get(), POLLIN, deadline))
                throw timeout("no data from the instrument within " + timeoutText());
            const ssize_t received =
                ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (received > 0)
                return static_cast<std::size_t>(received);
            if (received == 0)
                throw failure("the instrument closed the connection");
            if (errno != EINTR && errno != EAGAIN)
                throw failure("receive failed: " + systemError(errno));
        }
    }

    // Discards every byte that has arrived and not been read.
    void clear() override {
        std::byte scrap[65536];
        for (;;) {
            const ssize_t received = ::recv(socket_.get(), scrap, sizeof scrap, MSG_DONTWAIT);
            if (received > 0 || (received < 0 && errno == EINTR))
                continue;
            if (received == 0)
                throw failure("the instrument closed the connection");
            if (errno == EAGAIN)
                return;
            throw failure("receive failed: " + systemError(errno));
        }
    }

    void close() override { socket_.reset(); }

  private:
    std::string timeoutText() const { return std::to_string(timeout_.count()) + " ms"; }

    FileDescriptor socket_;
    Milliseconds timeout_ = defaultTimeout;
};

} // namespace

std::unique_ptr<Transport> openSocket(std::string_view address) {
    const auto slash = address.find('/');
    const std::string_view hostText = address.substr(0, slash);
    const HostPort host = splitHostPort(hostText, socketForm);
    if (!host.port.empty())
        throw failure("unexpected ':" + host.port + "' after the host; expected " + socketForm +
                      " (the port follows a '/')");
    unsigned short port = defaultSocketPort;
    if (slash != std::string_view::npos)
        port = parsePort(address.substr(slash + 1), socketForm);
    return std::make_unique<SocketTransport>(connectTcp(host.host, port));
}

} // namespace zemo
