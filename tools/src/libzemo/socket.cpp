// The raw socket transport: bytes over one TCP connection, as SCPI instruments serve them on
// port 5025. The protocol has no message end and no device clear: a read returns what has
// arrived, and a clear discards what has arrived and not been read. The status byte and the
// trigger are emulated by "*STB?" and "*TRG"; there are no locks and no remote/local control.
#include "transport.h"
#include "zemonet/tcp.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace zemo {

namespace {

constexpr unsigned short defaultSocketPort = 5025;

class SocketTransport final : public Transport {
  public:
    explicit SocketTransport(FileDescriptor socket) : socket_(std::move(socket)) {}

    void setTimeout(Milliseconds timeout) override { timeout_ = timeout; }

    // The byte that ends an answer: a read ending with it reports the termination character.
    void setTermChar(char byte) override { termChar_ = std::byte(byte); }

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
    // for the first of them. The reason is the termination character when they end with it (a
    // newline unless zemo_set_termchar set another), the count when they fill the buffer.
    ReadResult read(std::span<std::byte> buffer) override {
        if (buffer.empty())
            return {};
        const auto deadline = Clock::now() + timeout_;
        for (;;) {
            if (!waitReady(socket_.get(), POLLIN, deadline))
                throw timeout("no data from the instrument within " + timeoutText());
            const ssize_t received =
                ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (received > 0)
                return result(buffer, static_cast<std::size_t>(received));
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
    std::string timeoutText() const { return millisecondsText(timeout_); }

    // The result of a read of SIZE bytes into BUFFER.
    ReadResult result(std::span<const std::byte> buffer, std::size_t size) const {
        const unsigned terminated = buffer[size - 1] == termChar_ ? reasonTermChar : 0;
        return {size, terminated | (size == buffer.size() ? reasonCount : 0)};
    }

    FileDescriptor socket_;
    Milliseconds timeout_ = defaultTimeout;
    std::byte termChar_{'\n'};
};

std::unique_ptr<Transport> openSocket(std::string_view address) {
    const std::string form(socketTransport.form);
    const auto slash = address.find('/');
    const std::string_view hostText = address.substr(0, slash);
    const HostPort host = splitHostPort(hostText, form);
    if (!host.port.empty())
        throw failure("unexpected ':" + host.port + "' after the host; " +
                      socketTransport.expected() + " (the port follows a '/')");
    unsigned short port = defaultSocketPort;
    if (slash != std::string_view::npos)
        port = parsePort(address.substr(slash + 1), form);
    return std::make_unique<SocketTransport>(connectTcp(host.host, port));
}

} // namespace

const TransportEntry socketTransport{"socket", "socket/HOST[/PORT]", openSocket};

} // namespace zemo
