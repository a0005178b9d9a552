// Raw socket connections: lines in, the connection's answers out, as bytes. The protocol has no
// read request, so the engine sends each answer as soon as it is ready (see Reading::streamed).
#include "engine.h"
#include "server.h"

#include <memory>
#include <stdexcept>
#include <thread>

#include <sys/socket.h>

namespace zemosim {

namespace {

class SocketConnection : public StreamConnection {
  public:
    SocketConnection(FileDescriptor connection, Instrument& instrument, std::uint64_t number,
                     Milliseconds idleLimit)
        : StreamConnection(connection.get(), wake_), connection_(std::move(connection)),
          instrument_(instrument), idleLimit_(idleLimit) {
        self_ = instrument_.join(number, Reading::streamed, wake_.fd());
    }
    ~SocketConnection() override { instrument_.leave(self_, unread_); }

    // Runs until the client closes the connection, a command drops it, or it has been idle for
    // the idle limit.
    void serve() {
        if (!wake_.valid())
            return;
        lastActivity_ = Clock::now();
        unread_ = run() == Ending::unread ? allUnread : 0;
    }

  private:
    Clock::time_point deadline() override { return lastActivity_ + idleLimit_; }

    bool outputPending() override { return instrument_.outputPendingFor(self_); }

    Clock::time_point fillOutput(OutputPump& pump) override {
        auto readyAt = Clock::time_point::max();
        if (!output_)
            output_ = std::make_unique_for_overwrite<char[]>(largestSocketPiece);
        if (const auto piece = instrument_.takeFor(
                self_, std::span<char>(output_.get(), largestSocketPiece), readyAt))
            pump.start(std::span<const char>(output_.get(), piece->size));
        return readyAt;
    }

    void sent() override { lastActivity_ = Clock::now(); }

    // Reads what the client sent and executes each complete line; false when the connection
    // ends.
    bool receive() override {
        char data[65536];
        const ssize_t received = ::recv(connection_.get(), data, sizeof data, MSG_DONTWAIT);
        if (received <= 0)
            return received < 0;
        lastActivity_ = Clock::now();
        input_.append(std::string_view(data, static_cast<std::size_t>(received)));
        const Effect effect = input_.run(instrument_, self_);
        return !effect.dropConnection && !effect.hangUpAfterReply &&
               input_.size() <= longestSocketLine;
    }

    WakeUp wake_;
    FileDescriptor connection_;
    Instrument& instrument_;
    const Milliseconds idleLimit_;
    ClientId self_ = 0;
    std::uint64_t unread_ = 0;
    Clock::time_point lastActivity_;
    CommandInput input_;
    // Output taken from the queue; allocated without being filled, so that only the pages that
    // output is copied into cost memory.
    std::unique_ptr<char[]> output_;
};

} // namespace

void serveSocket(FileDescriptor connection, Instrument& instrument, std::uint64_t number,
                 Milliseconds idleLimit) {
    SocketConnection(std::move(connection), instrument, number, idleLimit).serve();
}

namespace {

// Raw sockets: one port for each instrument, from -s in the order of the instruments or any free
// port.
class SocketProtocol : public Protocol {
  public:
    void open(const ServeOptions& options, const Instruments& instruments) override {
        if (options.socketPorts.size() > instruments.size())
            throw std::runtime_error("more -s ports (" +
                                     std::to_string(options.socketPorts.size()) +
                                     ") than instruments (" + std::to_string(instruments.size()) +
                                     ")");
        host_ = hostName(options.address);
        for (std::size_t i = 0; i < instruments.size(); ++i)
            listeners_.push_back(listenTcp(
                options.address, i < options.socketPorts.size() ? options.socketPorts[i] : 0));
    }

    std::vector<InterfaceName> names(std::size_t i) const override {
        return {{"socket", "socket/" + host_ + '/' + std::to_string(listeners_[i].port)}};
    }

    void start(const Instruments& instruments) override {
        for (std::size_t i = 0; i < instruments.size(); ++i)
            std::thread([&listener = listeners_[i], &instrument = *instruments[i]] {
                acceptForever(listener, [&instrument](FileDescriptor c, std::uint64_t number) {
                    serveSocket(std::move(c), instrument, number);
                });
            }).detach();
    }

  private:
    std::string host_;
    std::vector<Listener> listeners_;
};

} // namespace

std::unique_ptr<Protocol> socketProtocol() {
    return std::make_unique<SocketProtocol>();
}

} // namespace zemosim
