// From inside: the parsing of interface addresses and instrument definitions, and the VXI-11
// core channel of zemosim answered call by call through libtirpc.
#include "instrument.h"
#include "server.h"
#include "sim_server.h"
#include "transport.h"
#include "usbtmc.h"
#include "zemonet/io.h"
#include "zemonet/rpc.h"
#include "zemonet/tcp.h"
#include "zemonet/vxi11.h"
#include "zemonet/vxi11proto.h"

#include <gtest/gtest.h>

#include <linux/usb/tmc.h>
#include <sys/ioctl.h>

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using zemo::Error;
using zemo::HostPort;
using zemo::xdrProcedure;

struct HostCase {
    std::string text;
    std::string host;
    std::string port;
};

TEST(SplitHostPort, AcceptedForms) {
    const std::vector<HostCase> cases{
        {"192.168.0.100", "192.168.0.100", ""},
        {"192.168.0.100:1024", "192.168.0.100", "1024"},
        {"scope.lab", "scope.lab", ""},
        {"scope.lab:5000", "scope.lab", "5000"},
        // A bare IPv6 address has several colons and so never a port.
        {"::1", "::1", ""},
        {"fe80::1:2", "fe80::1:2", ""},
        {"[::1]", "::1", ""},
        {"[::1]:5000", "::1", "5000"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.text);
        const HostPort split = zemo::splitHostPort(item.text, "FORM");
        EXPECT_EQ(split.host, item.host);
        EXPECT_EQ(split.port, item.port);
    }
}

TEST(SplitHostPort, MalformedForms) {
    for (const std::string text :
         {"", ":", "host:", ":80", "[", "[]", "[::1", "[::1]:", "[::1]x"}) {
        SCOPED_TRACE(text);
        try {
            zemo::splitHostPort(text, "FORM");
            ADD_FAILURE() << "accepted";
        } catch (const Error& error) {
            EXPECT_FALSE(error.timedOut());
            EXPECT_NE(std::string(error.what()).find("expected FORM"), std::string::npos);
        }
    }
}

TEST(ParsePort, Range) {
    EXPECT_EQ(zemo::parsePort("1", "F"), 1);
    EXPECT_EQ(zemo::parsePort("65535", "F"), 65535);
    for (const std::string text :
         {"", "0", "65536", "-1", "+5", " 5", "5 ", "0x10", "99999999999"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(zemo::parsePort(text, "F"), Error);
    }
}

zemosim::Definition parse(const std::string& text) {
    std::istringstream input(text);
    return zemosim::parseDefinition(input, "file");
}

TEST(Definition, ReadsEveryKind) {
    const auto definition = parse("# a comment\n"
                                  "\n"
                                  "name dmm\n"
                                  "idn Z,D,1,2\n"
                                  "query meas:volt? 1.25 V\n"
                                  "property volt 0\n"
                                  "delay slow? 250 late\n"
                                  "drop bye\n"
                                  "fault lock 11\n"
                                  "error ERR -113\n"
                                  "maxrecvsize 0\n"
                                  "readchunk 7\n"
                                  "trigger volt 5;*OPC\n"
                                  "reading meas:curr? -1.5e-3 2E-4 9\n");
    EXPECT_EQ(definition.name, "dmm");
    EXPECT_EQ(definition.identity, "Z,D,1,2");
    EXPECT_EQ(definition.queries.at("MEAS:VOLT?"), "1.25 V");
    EXPECT_EQ(definition.properties.at("VOLT").initial, "0");
    EXPECT_EQ(definition.delayedQueries.at("SLOW?").delay, zemosim::Milliseconds{250});
    EXPECT_TRUE(definition.drops.contains("BYE"));
    EXPECT_EQ(definition.faults.at("LOCK"), 11);
    EXPECT_EQ(definition.errorResponse, "ERR -113");
    EXPECT_EQ(definition.maxRecvSize, 0U);
    EXPECT_EQ(definition.readChunk, 7U);
    EXPECT_EQ(definition.triggerAction, "volt 5;*OPC");
    EXPECT_EQ(definition.readings.at("MEAS:CURR?").mean, -1.5e-3);
    EXPECT_EQ(definition.readings.at("MEAS:CURR?").spread, 2e-4);
    EXPECT_EQ(definition.readings.at("MEAS:CURR?").seed, 9U);
}

TEST(Definition, RejectsLinesItDoesNotUnderstand) {
    const std::string readingForm =
        "file:1: expected 'reading QUERY MEAN SPREAD [SEED]' with a SPREAD of 0 or more";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"bogus line", "file:1: cannot understand 'bogus line'"},
        {"\nquery X?", "file:2: cannot understand 'query X?'"},
        {"delay X? soon late", "file:1: expected 'delay QUERY MILLISECONDS RESPONSE'"},
        {"fault X 0", "file:1: expected 'fault COMMAND VXI11-ERROR-CODE' with a code above 0"},
        {"readchunk 0", "file:1: expected 'readchunk BYTES'"},
        {"maxrecvsize 4294967296", "file:1: expected 'maxrecvsize BYTES'"},
        {"name two words", "file:1: cannot understand 'name two words'"},
        {"reading VOLT 1 0", readingForm},
        {"reading VOLT? 1", readingForm},
        {"reading VOLT? 1 -0.5", readingForm},
        {"reading VOLT? nan 1", readingForm},
        {"reading VOLT? 1 1 seed", readingForm}};
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        try {
            parse(text);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
}

void freeReadReply(Device_ReadResp& reply) {
    xdr_free(xdrProcedure(xdr_Device_ReadResp), reinterpret_cast<char*>(&reply));
}

// An instrument with one connection joined, which asks and reads.
struct OneClient {
    zemosim::Instrument instrument;
    zemosim::ClientId client;
    explicit OneClient(zemosim::Definition definition)
        : instrument(std::move(definition)),
          client(instrument.join(1, zemosim::Reading::onRequest)) {}
    zemosim::Effect execute(std::string_view command) {
        return instrument.execute(command, client);
    }
    std::optional<zemosim::Piece> take(std::span<char> out, std::optional<char> termChar) {
        zemosim::Clock::time_point readyAt;
        return instrument.takeFor(client, out, readyAt, termChar);
    }
    void clear() { instrument.clear(client); }
};

std::string takeAll(OneClient& instrument, std::size_t piece,
                    std::optional<char> termChar = std::nullopt) {
    std::string result;
    std::vector<char> buffer(piece);
    while (const auto taken = instrument.take(buffer, termChar))
        result.append(buffer.data(), taken->size);
    return result;
}

TEST(Instrument, AnswersInOrderAndInPieces) {
    OneClient instrument(parse("property volt 0\nerror ERR\n"));
    for (const char* command : {"*IDN?", "volt 5", "VOLT?", "nothing", "DATA? 300", "DATA? x", ""})
        instrument.execute(command);
    std::string block = "#3300";
    for (int i = 0; i < 300; ++i)
        block.push_back(static_cast<char>(i & 0xff));
    EXPECT_EQ(takeAll(instrument, 7), "ZEMO,zemosim,0,1.0\n5\nERR\n" + block + "\nERR\n");
}

// A trigger, a protocol's or *TRG, runs the trigger action for the connection that triggered; the
// action's own *TRG counts a trigger without running the action again.
TEST(Instrument, TriggerRunsTheTriggerAction) {
    OneClient instrument(parse("trigger *TRG;*TRG;TRIG:COUN?\n"));
    instrument.instrument.trigger(instrument.client);
    instrument.execute("*TRG");
    EXPECT_EQ(takeAll(instrument, 64), "3\n6\n");
}

// A block's length has at most nine digits, since the length of its length is one: a larger
// count is refused without an answer, even by an instrument that answers unknown commands, so
// the next answer is that of the query after it. Text that is no number stays an unknown
// command.
TEST(Instrument, DataCountsUpTo999999999) {
    OneClient instrument(parse("error ERR\n"));
    std::vector<char> buffer(12);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"DATA? 999999999", std::string("#9999999999\0", 12)},
        {"DATA? 0999999999", std::string("#9999999999\0", 12)},
        {"DATA? 1000000000", "ZEMO,zemosim"},
        {"DATA? 9223372036854775808", "ZEMO,zemosim"},
        {"DATA? 18446744073709551616", "ZEMO,zemosim"},
        {"DATA? 1e9", "ERR\n"}};
    for (const auto& [command, answer] : cases) {
        SCOPED_TRACE(command);
        instrument.execute(command);
        instrument.execute("*IDN?");
        const auto piece = instrument.take(buffer, std::nullopt);
        EXPECT_EQ(piece ? std::string(buffer.data(), piece->size) : "", answer);
        instrument.clear();
    }
}

TEST(Instrument, PieceEndsAtTheMessageEndAndAtTheTermChar) {
    OneClient instrument(zemosim::Definition{});
    instrument.execute("*IDN?");
    instrument.execute("*IDN?");
    std::vector<char> buffer(100);
    auto piece = instrument.take(buffer, ',');
    ASSERT_TRUE(piece);
    EXPECT_EQ(std::string(buffer.data(), piece->size), "ZEMO,");
    EXPECT_TRUE(piece->termCharSeen);
    EXPECT_FALSE(piece->endOfMessage);
    piece = instrument.take(buffer, std::nullopt);
    ASSERT_TRUE(piece);
    EXPECT_EQ(std::string(buffer.data(), piece->size), "zemosim,0,1.0\n");
    EXPECT_TRUE(piece->endOfMessage);
    instrument.clear();
    EXPECT_FALSE(instrument.take(buffer, std::nullopt));
}

TEST(Instrument, ResetRestoresPropertiesAndEmptiesTheQueue) {
    OneClient instrument(parse("property volt 1\n"));
    instrument.execute("VOLT 9");
    instrument.execute("VOLT?");
    instrument.execute("*RST");
    instrument.execute("VOLT?");
    EXPECT_EQ(takeAll(instrument, 64), "1\n");
}

// Queries that are never read fill the output queue up to its limits, in answers and in text;
// later answers are discarded until reading makes room again.
TEST(Instrument, OutputQueueIsBounded) {
    OneClient instrument(parse("property volt 0\n"));
    const std::string identity = "ZEMO,zemosim,0,1.0\n";
    for (std::size_t i = 0; i < zemosim::largestOutputQueue + 10; ++i)
        instrument.execute("*IDN?");
    EXPECT_EQ(takeAll(instrument, 1 << 20).size(), zemosim::largestOutputQueue * identity.size());

    const std::string value(1 << 20, 'v');
    instrument.execute("VOLT " + value);
    for (int i = 0; i < 100; ++i)
        instrument.execute("VOLT?");
    const std::size_t answers = zemosim::largestQueuedText / (value.size() + 1);
    EXPECT_EQ(takeAll(instrument, 1 << 20).size(), answers * (value.size() + 1));

    instrument.execute("*IDN?");
    EXPECT_EQ(takeAll(instrument, 1 << 20), identity);
}

// A departed client's answer goes to a connection accepted after it, whenever that joined,
// never to one accepted before it; a connection that has sent a command of its own is never sent
// it unasked.
TEST(Instrument, AnswerOfADepartedClientGoesToThoseAcceptedAfterIt) {
    zemosim::Instrument instrument(zemosim::Definition{});
    const auto streamed = zemosim::Reading::streamed;
    const zemosim::ClientId before = instrument.join(1, streamed);
    const zemosim::ClientId after = instrument.join(3, streamed);
    const zemosim::ClientId asking = instrument.join(4, streamed);
    instrument.execute("VOLT 1", asking);
    const zemosim::ClientId sender = instrument.join(2, streamed);
    instrument.execute("*IDN?", sender);
    instrument.leave(sender);
    std::array<char, 64> out{};
    zemosim::Clock::time_point readyAt;
    EXPECT_FALSE(instrument.takeFor(before, out, readyAt));
    EXPECT_FALSE(instrument.takeFor(asking, out, readyAt));
    const auto piece = instrument.takeFor(after, out, readyAt);
    ASSERT_TRUE(piece);
    EXPECT_EQ(std::string(out.data(), piece->size), "ZEMO,zemosim,0,1.0\n");
}

// A device clear, and *RST, empty the answers of the connection that sends it and the unclaimed
// ones; another connection's answers stay.
TEST(Instrument, ClearEmptiesOnlyTheClearersAndTheUnclaimedAnswers) {
    for (const char* clear : {"device clear", "*RST"}) {
        SCOPED_TRACE(clear);
        zemosim::Instrument instrument(zemosim::Definition{});
        const auto onRequest = zemosim::Reading::onRequest;
        const zemosim::ClientId staying = instrument.join(1, onRequest);
        const zemosim::ClientId leaving = instrument.join(2, onRequest);
        const zemosim::ClientId clearing = instrument.join(3, onRequest);
        for (const zemosim::ClientId client : {staying, leaving, clearing})
            instrument.execute("*IDN?", client);
        instrument.leave(leaving);
        if (std::string_view(clear) == "*RST")
            instrument.execute("*RST", clearing);
        else
            instrument.clear(clearing);
        std::array<char, 64> out{};
        zemosim::Clock::time_point readyAt;
        EXPECT_FALSE(instrument.takeFor(clearing, out, readyAt));
        const zemosim::ClientId later = instrument.join(4, onRequest);
        EXPECT_FALSE(instrument.takeFor(later, out, readyAt));
        const auto piece = instrument.takeFor(staying, out, readyAt);
        ASSERT_TRUE(piece);
        EXPECT_EQ(std::string(out.data(), piece->size), "ZEMO,zemosim,0,1.0\n");
    }
}

TEST(Instrument, FaultsAreReportedToTheConnection) {
    OneClient instrument(parse("drop bye\nfault lock 11\n"));
    EXPECT_TRUE(instrument.execute("BYE").dropConnection);
    EXPECT_EQ(instrument.execute("lock").vxi11Error, 11);
    EXPECT_EQ(instrument.execute("*IDN?").vxi11Error, 0);
}

// The two ends of a local stream connection, closed when the test ends.
struct StreamPair {
    zemo::FileDescriptor reading;
    zemo::FileDescriptor writing;
    StreamPair() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("socketpair failed");
        reading = zemo::FileDescriptor(ends[0]);
        writing = zemo::FileDescriptor(ends[1]);
    }
    // Sends a record-marking header for a fragment of LENGTH bytes, LAST or not, then DATA.
    void fragment(std::uint32_t length, bool last, const std::string& data) const {
        const std::uint32_t header = htonl(length | (last ? 0x80000000U : 0U));
        ASSERT_EQ(::send(writing.get(), &header, sizeof header, 0), 4);
        ASSERT_EQ(::send(writing.get(), data.data(), data.size(), 0),
                  static_cast<ssize_t>(data.size()));
    }
};

// Receives one record of at most zemo::largestRecord bytes from socket FD into RECORD, growing
// it piece by piece as the bytes arrive; false when the connection ends first, or for a longer
// record.
bool receiveWholeRecord(int fd, std::vector<char>& record) {
    record.clear();
    const auto grow = [&record](std::size_t size) {
        record.resize(record.size() + size);
        return record.data() + record.size() - size;
    };
    return static_cast<bool>(
        zemo::receiveRecord(fd, zemo::largestRecord, grow, zemo::Clock::time_point::max()));
}

TEST(RecordMarking, FragmentsMakeOneRecord) {
    StreamPair connection;
    connection.fragment(3, false, "abc");
    connection.fragment(0, false, "");
    connection.fragment(2, true, "de");
    std::vector<char> record;
    ASSERT_TRUE(receiveWholeRecord(connection.reading.get(), record));
    EXPECT_EQ(std::string(record.begin(), record.end()), "abcde");
}

// A header announcing a long fragment costs memory only for the bytes that really follow, so
// that clients sending such headers cannot make the server hold memory they never send.
TEST(RecordMarking, RecordGrowsOnlyAsItsBytesArrive) {
    for (const std::uint32_t announced : {60U << 20, (64U << 20) + 1, 0x7fffffffU}) {
        SCOPED_TRACE(announced);
        StreamPair connection;
        connection.fragment(announced, true, std::string(1000, 'x'));
        connection.writing.reset();
        std::vector<char> record;
        EXPECT_FALSE(receiveWholeRecord(connection.reading.get(), record));
        EXPECT_LT(record.capacity(), 1U << 20);
    }
}

// A core channel that links any device and answers every device_read, a while after it came,
// with one byte and no reason: a device that keeps a read going with a trickle of data.
class TricklingCoreChannel {
  public:
    TricklingCoreChannel() : listener_(zemosim::listenTcp("127.0.0.1", 0)) {
        server_ = std::thread([socket = listener_.socket.get()] {
            const zemo::FileDescriptor connection(::accept(socket, nullptr, nullptr));
            std::vector<char> call;
            while (receiveWholeRecord(connection.get(), call) && answer(connection, call)) {
            }
        });
    }
    TricklingCoreChannel(const TricklingCoreChannel&) = delete;
    TricklingCoreChannel& operator=(const TricklingCoreChannel&) = delete;
    // Wakes an accept that no client answered, and waits for the serving thread.
    ~TricklingCoreChannel() {
        ::shutdown(listener_.socket.get(), SHUT_RDWR);
        server_.join();
    }

    std::string name() const {
        return "vxi11/127.0.0.1:" + std::to_string(listener_.port) + "/inst0";
    }

  private:
    // Replies to CALL (made with no credentials) on CONNECTION; false for a call it cannot
    // answer.
    static bool answer(const zemo::FileDescriptor& connection, const std::vector<char>& call) {
        if (call.size() < 40)
            return false;
        std::uint32_t xid = 0;
        std::uint32_t procedure = 0;
        std::memcpy(&xid, call.data(), 4);
        std::memcpy(&procedure, call.data() + 20, 4);
        // The record header, then xid, REPLY, MSG_ACCEPTED, a null verifier, SUCCESS, and up to
        // four words of results.
        std::array<std::uint32_t, 11> reply{0, xid, htonl(1), 0, 0, 0, 0};
        std::size_t words = 7;
        switch (ntohl(procedure)) {
        case create_link: // error, lid, abortPort, maxRecvSize
            reply[8] = htonl(1);
            reply[10] = htonl(1024);
            words += 4;
            break;
        case device_read: // error, reason, one byte of data
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            reply[9] = htonl(1);
            reply[10] = htonl(0x78000000);
            words += 4;
            break;
        case destroy_link: // error
            words += 1;
            break;
        default:
            return false;
        }
        reply[0] = htonl(0x80000000U | static_cast<std::uint32_t>((words - 1) * 4));
        const auto bytes = words * 4;
        return ::send(connection.get(), reply.data(), bytes, MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes);
    }

    zemosim::Listener listener_;
    std::thread server_;
};

// A read gets its timeout once: when the time is up it returns the bytes that have come,
// though the device still sends more, one device_read at a time.
TEST(Vxi11Read, EndsAtTheTimeoutWhileDataStillTrickles) {
    TricklingCoreChannel device;
    auto transport = zemo::openTransport(device.name());
    transport->setTimeout(zemo::Milliseconds{300});
    std::byte buffer[100];
    const std::size_t count = transport->read(buffer).size;
    EXPECT_GT(count, 0U);
    EXPECT_LT(count, sizeof buffer);
    for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(buffer[i], std::byte{'x'});
    transport->close();
}

// A client of zemosim's core channel that makes the calls the library never makes.
class CoreChannel : public testing::Test {
  protected:
    static void SetUpTestSuite() { server_ = new zemotest::SimServer({}, 2); }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        const std::string& name = server_->name("inst0", "vxi11");
        const auto colon = name.rfind(':');
        port_ = static_cast<unsigned short>(std::stoi(name.substr(colon + 1)));
        client_ = client(DEVICE_CORE, DEVICE_CORE_VERSION);
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override { clnt_destroy(client_); }

    CLIENT* client(rpcprog_t program, rpcvers_t version) const {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int socket = RPC_ANYSOCK;
        return clnttcp_create(&address, program, version, &socket, 0, 0);
    }

  public:
    template <typename Arguments, typename Result>
    clnt_stat call(CLIENT* on, unsigned procedure, bool_t (*encode)(XDR*, Arguments*),
                   Arguments& arguments, bool_t (*decode)(XDR*, Result*), Result& result) {
        const timeval wait{10, 0};
        return clnt_call(on, procedure, xdrProcedure(encode), reinterpret_cast<char*>(&arguments),
                         xdrProcedure(decode), reinterpret_cast<char*>(&result), wait);
    }

  protected:
    int createLink(CLIENT* on = nullptr) {
        Create_LinkParms parameters{};
        parameters.device = const_cast<char*>("inst0");
        Create_LinkResp reply{};
        EXPECT_EQ(call(on != nullptr ? on : client_, create_link, xdr_Create_LinkParms, parameters,
                       xdr_Create_LinkResp, reply),
                  RPC_SUCCESS);
        EXPECT_EQ(reply.error, 0);
        EXPECT_EQ(reply.maxRecvSize, 1U << 20);
        return reply.lid;
    }

    // Links to inst0 on ON, writes a command of an odd length and unlinks; true when every call
    // succeeded.
    bool linkWriteUnlink(CLIENT* on) {
        Create_LinkParms link{};
        link.device = const_cast<char*>("inst0");
        Create_LinkResp linked{};
        if (call(on, create_link, xdr_Create_LinkParms, link, xdr_Create_LinkResp, linked) !=
                RPC_SUCCESS ||
            linked.error != 0)
            return false;
        Device_WriteParms write{};
        write.lid = linked.lid;
        std::string command = "*CLS";
        write.data.data_len = static_cast<u_int>(command.size());
        write.data.data_val = command.data();
        Device_WriteResp written{};
        Device_Error destroyed{};
        return call(on, device_write, xdr_Device_WriteParms, write, xdr_Device_WriteResp,
                    written) == RPC_SUCCESS &&
               written.error == 0 && written.size == command.size() &&
               call(on, destroy_link, xdr_Device_Link, linked.lid, xdr_Device_Error, destroyed) ==
                   RPC_SUCCESS &&
               destroyed.error == 0;
    }

    static zemotest::SimServer* server_;
    unsigned short port_ = 0;
    CLIENT* client_ = nullptr;
};

zemotest::SimServer* CoreChannel::server_ = nullptr;

TEST_F(CoreChannel, UnknownLinkIsError4) {
    Device_ReadParms read{};
    read.lid = 123456;
    read.requestSize = 10;
    Device_ReadResp readReply{};
    ASSERT_EQ(
        call(client_, device_read, xdr_Device_ReadParms, read, xdr_Device_ReadResp, readReply),
        RPC_SUCCESS);
    EXPECT_EQ(readReply.error, zemo::vxi11::errorInvalidLink);
    freeReadReply(readReply);
    Device_Link link = 123456;
    Device_Error reply{};
    ASSERT_EQ(call(client_, destroy_link, xdr_Device_Link, link, xdr_Device_Error, reply),
              RPC_SUCCESS);
    EXPECT_EQ(reply.error, zemo::vxi11::errorInvalidLink);
}

// The core procedure zemosim does not carry out, device_docmd, answers "operation not
// supported" with its data word; an unknown procedure is unavailable.
TEST_F(CoreChannel, OtherProceduresAreNotSupported) {
    struct Answer {
        int error = -1;
        int data = -1;
    };
    const auto decodeWithData = +[](XDR* xdr, Answer* answer) -> bool_t {
        return xdr_int(xdr, &answer->error) && xdr_int(xdr, &answer->data);
    };
    Device_GenericParms parameters{};
    parameters.lid = createLink();
    Answer answer;
    ASSERT_EQ(call(client_, zemo::vxi11::procedureDoCmd, xdr_Device_GenericParms, parameters,
                   decodeWithData, answer),
              RPC_SUCCESS);
    EXPECT_EQ(answer.error, zemo::vxi11::errorNotSupported);
    EXPECT_EQ(answer.data, 0);
    Device_Error reply{};
    EXPECT_EQ(call(client_, 99, xdr_Device_GenericParms, parameters, xdr_Device_Error, reply),
              RPC_PROCUNAVAIL);
}

// Calls on one link of the fixture's server, each answered with its error code.
struct LinkCalls {
    CoreChannel* channel;
    CLIENT* on;
    int lid;

    int generic(unsigned procedure, int flags = 0, u_int lockTimeout = 0) const {
        Device_GenericParms parameters{lid, flags, lockTimeout, 1000};
        Device_Error reply{};
        return channel->call(on, procedure, xdr_Device_GenericParms, parameters, xdr_Device_Error,
                             reply) == RPC_SUCCESS
                   ? static_cast<int>(reply.error)
                   : -1;
    }
    int lock(int flags = 0, u_int lockTimeout = 0) const {
        Device_LockParms parameters{lid, flags, lockTimeout};
        Device_Error reply{};
        return channel->call(on, device_lock, xdr_Device_LockParms, parameters, xdr_Device_Error,
                             reply) == RPC_SUCCESS
                   ? static_cast<int>(reply.error)
                   : -1;
    }
    int unlock() const {
        Device_Link link = lid;
        Device_Error reply{};
        return channel->call(on, device_unlock, xdr_Device_Link, link, xdr_Device_Error, reply) ==
                       RPC_SUCCESS
                   ? static_cast<int>(reply.error)
                   : -1;
    }
    int write(std::string command, int flags = zemo::vxi11::flagEnd) const {
        Device_WriteParms parameters{lid, 1000, 0, flags, {}};
        parameters.data.data_len = static_cast<u_int>(command.size());
        parameters.data.data_val = command.data();
        Device_WriteResp reply{};
        return channel->call(on, device_write, xdr_Device_WriteParms, parameters,
                             xdr_Device_WriteResp, reply) == RPC_SUCCESS
                   ? static_cast<int>(reply.error)
                   : -1;
    }
    // The answer read, or "error N".
    std::string read() const {
        Device_ReadParms parameters{lid, 1024, 1000, 0, 0, 0};
        Device_ReadResp reply{};
        if (channel->call(on, device_read, xdr_Device_ReadParms, parameters, xdr_Device_ReadResp,
                          reply) != RPC_SUCCESS)
            return "no reply";
        std::string answer = reply.error != 0
                                 ? "error " + std::to_string(reply.error)
                                 : std::string(reply.data.data_val, reply.data.data_len);
        freeReadReply(reply);
        return answer;
    }
    // The status byte, or -1 and the error.
    int statusByte() const {
        Device_GenericParms parameters{lid, 0, 0, 1000};
        Device_ReadStbResp reply{};
        if (channel->call(on, device_readstb, xdr_Device_GenericParms, parameters,
                          xdr_Device_ReadStbResp, reply) != RPC_SUCCESS ||
            reply.error != 0)
            return -1;
        return reply.stb;
    }
};

// device_readstb shows MAV to the link whose answer waits, not to another; device_trigger counts
// like *TRG; device_remote and device_local set what SYSTem:REMote? reads.
TEST_F(CoreChannel, StatusByteTriggerAndRemoteLocal) {
    const LinkCalls asker{this, client_, createLink()};
    const LinkCalls other{this, client_, createLink()};
    ASSERT_EQ(asker.write("*RST;*CLS;*SRE 0;*IDN?\n"), 0);
    EXPECT_EQ(asker.statusByte(), 0x10);
    EXPECT_EQ(other.statusByte(), 0);
    asker.read();
    EXPECT_EQ(asker.statusByte(), 0);
    EXPECT_EQ(other.generic(device_trigger), 0);
    EXPECT_EQ(asker.generic(device_trigger), 0);
    ASSERT_EQ(asker.write("TRIG:COUN?\n"), 0);
    EXPECT_EQ(asker.read(), "2\n");
    struct Step {
        unsigned procedure;
        const char* state;
    };
    for (const auto& [procedure, state] :
         {Step{device_remote, "1\n"}, Step{device_local, "0\n"}, Step{device_remote, "1\n"}}) {
        SCOPED_TRACE(procedure);
        EXPECT_EQ(other.generic(procedure), 0);
        ASSERT_EQ(asker.write("SYST:REM?\n"), 0);
        EXPECT_EQ(asker.read(), state);
    }
    EXPECT_EQ(asker.generic(device_local), 0);
}

// While one link holds the lock, every call of another link but destroy_link and device_unlock
// fails with error 11 (with waitlock, once its lock_timeout has passed), and device_unlock with
// error 12; the holder goes on.
TEST_F(CoreChannel, LockKeepsOtherLinksOut) {
    const LinkCalls holder{this, client_, createLink()};
    const LinkCalls other{this, client_, createLink()};
    ASSERT_EQ(holder.lock(), 0);
    EXPECT_EQ(holder.lock(), 0);
    const int locked = zemo::vxi11::errorDeviceLocked;
    struct Case {
        const char* what;
        std::function<int()> call;
        int error;
    };
    const std::vector<Case> cases{
        {"device_write", [&] { return other.write("*CLS\n"); }, locked},
        {"device_read", [&] { return other.read() == "error 11" ? locked : 0; }, locked},
        {"device_readstb", [&] { return other.statusByte() == -1 ? locked : 0; }, locked},
        {"device_trigger", [&] { return other.generic(device_trigger); }, locked},
        {"device_clear", [&] { return other.generic(device_clear); }, locked},
        {"device_remote", [&] { return other.generic(device_remote); }, locked},
        {"device_local", [&] { return other.generic(device_local); }, locked},
        {"device_lock", [&] { return other.lock(); }, locked},
        {"device_unlock", [&] { return other.unlock(); }, zemo::vxi11::errorNoLockHeld},
        {"the holder's device_write", [&] { return holder.write("*CLS\n"); }, 0},
        {"the holder's device_trigger", [&] { return holder.generic(device_trigger); }, 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(test.call(), test.error);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(other.lock(zemo::vxi11::flagWaitLock, 300), locked);
    EXPECT_EQ(other.generic(device_trigger, zemo::vxi11::flagWaitLock, 200), locked);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(holder.unlock(), 0);
    EXPECT_EQ(holder.unlock(), zemo::vxi11::errorNoLockHeld);
    EXPECT_EQ(other.lock(), 0);
    EXPECT_EQ(other.unlock(), 0);
}

// A call with waitlock waits for the lock, on its own connection, while the holder's connection
// goes on; it is served as soon as the lock is released, by device_unlock, destroy_link or the
// end of the holder's connection.
TEST_F(CoreChannel, WaitlockWaitsUntilTheLockIsReleased) {
    struct Case {
        const char* what;
        std::function<void(CLIENT*&, const LinkCalls&)> release;
    };
    const std::vector<Case> cases{
        {"device_unlock", [](CLIENT*&, const LinkCalls& holder) { EXPECT_EQ(holder.unlock(), 0); }},
        {"destroy_link",
         [this](CLIENT*&, const LinkCalls& holder) {
             Device_Link link = holder.lid;
             Device_Error reply{};
             EXPECT_EQ(
                 call(holder.on, destroy_link, xdr_Device_Link, link, xdr_Device_Error, reply),
                 RPC_SUCCESS);
         }},
        {"the end of the connection",
         [](CLIENT*& connection, const LinkCalls&) {
             clnt_destroy(connection); // a macro: its argument is evaluated twice
             connection = nullptr;
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        CLIENT* holding = client(DEVICE_CORE, DEVICE_CORE_VERSION);
        ASSERT_NE(holding, nullptr);
        const LinkCalls holder{this, holding, createLink(holding)};
        const LinkCalls waiter{this, client_, createLink()};
        ASSERT_EQ(holder.lock(), 0);
        const auto start = std::chrono::steady_clock::now();
        auto waited = std::async(std::launch::async,
                                 [&] { return waiter.lock(zemo::vxi11::flagWaitLock, 5000); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(holder.write("*CLS\n"), 0);
        test.release(holding, holder);
        EXPECT_EQ(waited.get(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
        EXPECT_EQ(waiter.unlock(), 0);
        if (holding != nullptr)
            clnt_destroy(holding);
    }
}

// Arguments that do not decode are answered as garbage, for every procedure that takes some:
// create_link, device_write, device_read, device_clear and destroy_link.
TEST_F(CoreChannel, ArgumentsThatDoNotDecode) {
    const auto nothing = +[](XDR*, char*) -> bool_t { return 1; };
    char none = 0;
    Device_Error reply{};
    for (const unsigned procedure : {10U, 11U, 12U, 15U, 23U}) {
        SCOPED_TRACE(procedure);
        EXPECT_EQ(call(client_, procedure, nothing, none, xdr_Device_Error, reply),
                  RPC_CANTDECODEARGS);
    }
    // The connection still serves.
    createLink();
}

TEST_F(CoreChannel, WrongProgramOrVersion) {
    Device_Link link = 1;
    Device_Error reply{};
    CLIENT* other = client(DEVICE_CORE + 1, DEVICE_CORE_VERSION);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(call(other, destroy_link, xdr_Device_Link, link, xdr_Device_Error, reply),
              RPC_PROGUNAVAIL);
    clnt_destroy(other);
    other = client(DEVICE_CORE, DEVICE_CORE_VERSION + 1);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(call(other, destroy_link, xdr_Device_Link, link, xdr_Device_Error, reply),
              RPC_PROGVERSMISMATCH);
    clnt_destroy(other);
}

// A connection to the core channel of the fixture's server.
zemo::FileDescriptor connectToPort(unsigned short port) {
    zemo::FileDescriptor connection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    return connection;
}

// WORDS in network byte order.
std::vector<std::uint32_t> bigEndian(std::vector<std::uint32_t> words) {
    for (auto& word : words)
        word = htonl(word);
    return words;
}

// The peak virtual memory size of process PID, in KiB.
long peakVirtualMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    for (long value = 0; status >> key >> value;)
        if (key == "VmPeak:")
            return value;
    return -1;
}

// Calls the server does not serve, written word by word, and the replies RFC 5531 asks for.
// A call whose data announce more bytes than the record holds is refused before anything that
// long is allocated.
TEST_F(CoreChannel, CallsItDoesNotServeGetTheirReplies) {
    constexpr std::uint32_t call = 0, reply = 1, accepted = 0, denied = 1;
    struct Case {
        const char* what;
        std::vector<std::uint32_t> record;
        std::vector<std::uint32_t> answer;
    };
    std::vector<std::uint32_t> longCredentials{7, call, 2, DEVICE_CORE, 1, 0, AUTH_SYS, 404};
    longCredentials.resize(longCredentials.size() + 101 + 2);
    const std::vector<Case> cases{
        {"RPC version 3", {1, call, 3, DEVICE_CORE, 1, 0, 0, 0, 0, 0}, {1, reply, denied, 0, 2, 2}},
        {"credentials of 404 bytes", longCredentials, {7, reply, denied, 1, AUTH_BADCRED}},
        {"procedure 21",
         {3, call, 2, DEVICE_CORE, 1, 21, 0, 0, 0, 0, 1},
         {3, reply, accepted, 0, 0, 3}},
        {"device name of 0xfffffff0 bytes",
         {4, call, 2, DEVICE_CORE, 1, create_link, 0, 0, 0, 0, 0, 0, 0, 0xfffffff0U},
         {4, reply, accepted, 0, 0, GARBAGE_ARGS}},
        {"device_write of 0xfffffff0 bytes",
         {5, call, 2, DEVICE_CORE, 1, device_write, 0, 0, 0, 0, 1, 0, 0, 0, 0xfffffff0U, 0},
         {5, reply, accepted, 0, 0, GARBAGE_ARGS}},
    };
    const long peak = peakVirtualMemory(server_->pid());
    const zemo::FileDescriptor connection = connectToPort(port_);
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const auto words = bigEndian(item.record);
        const std::uint32_t header =
            htonl(0x80000000U | static_cast<std::uint32_t>(words.size() * 4));
        ASSERT_EQ(::send(connection.get(), &header, 4, 0), 4);
        ASSERT_EQ(::send(connection.get(), words.data(), words.size() * 4, 0),
                  static_cast<ssize_t>(words.size() * 4));
        std::vector<char> answer;
        ASSERT_TRUE(receiveWholeRecord(connection.get(), answer));
        const auto expected = bigEndian(item.answer);
        ASSERT_EQ(answer.size(), expected.size() * 4);
        EXPECT_EQ(std::memcmp(answer.data(), expected.data(), answer.size()), 0);
    }
    EXPECT_LT(peakVirtualMemory(server_->pid()) - peak, 1L << 20);
}

TEST_F(CoreChannel, ReadStopsAtTheTermCharAndTheRequestCount) {
    const int lid = createLink();
    Device_WriteParms write{};
    write.lid = lid;
    write.flags = zemo::vxi11::flagEnd;
    std::string command = "*IDN?";
    write.data.data_len = static_cast<u_int>(command.size());
    write.data.data_val = command.data();
    Device_WriteResp written{};
    ASSERT_EQ(
        call(client_, device_write, xdr_Device_WriteParms, write, xdr_Device_WriteResp, written),
        RPC_SUCCESS);
    EXPECT_EQ(written.size, command.size());
    struct Expected {
        u_int request;
        bool termChar;
        std::string data;
        int reason;
    };
    using namespace zemo::vxi11;
    for (const Expected& expected :
         {Expected{100, true, "ZEMO,", reasonTermChar},
          Expected{3, false, "zem", reasonRequestCount},
          Expected{11, false, "osim,0,1.0\n", reasonRequestCount | reasonEnd}}) {
        Device_ReadParms read{};
        read.lid = lid;
        read.requestSize = expected.request;
        read.io_timeout = 1000;
        read.flags = expected.termChar ? flagTermCharSet : 0;
        read.termChar = ',';
        Device_ReadResp reply{};
        ASSERT_EQ(
            call(client_, device_read, xdr_Device_ReadParms, read, xdr_Device_ReadResp, reply),
            RPC_SUCCESS);
        EXPECT_EQ(reply.error, 0);
        EXPECT_EQ(std::string(reply.data.data_val, reply.data.data_len), expected.data);
        EXPECT_EQ(reply.reason, expected.reason);
        freeReadReply(reply);
    }
}

// One connection holds at most 64 links at a time; more are refused as "out of resources"
// until one is destroyed.
TEST_F(CoreChannel, LinksOfOneConnectionAreLimited) {
    std::vector<int> links;
    for (int i = 0; i < 64; ++i)
        links.push_back(createLink());
    Create_LinkParms parameters{};
    parameters.device = const_cast<char*>("inst0");
    Create_LinkResp refused{};
    ASSERT_EQ(
        call(client_, create_link, xdr_Create_LinkParms, parameters, xdr_Create_LinkResp, refused),
        RPC_SUCCESS);
    EXPECT_EQ(refused.error, zemo::vxi11::errorOutOfResources);
    Device_Error destroyed{};
    ASSERT_EQ(
        call(client_, destroy_link, xdr_Device_Link, links.back(), xdr_Device_Error, destroyed),
        RPC_SUCCESS);
    EXPECT_EQ(destroyed.error, 0);
    createLink();
}

// The links of one connection hold at most 16 MiB of input without a newline between them;
// a write beyond is refused as "out of resources".
TEST_F(CoreChannel, InputOfOneConnectionIsLimited) {
    std::string piece(1 << 20, 'x');
    Device_WriteParms write{};
    write.data.data_len = static_cast<u_int>(piece.size());
    write.data.data_val = piece.data();
    Device_WriteResp written{};
    for (const int lid : {createLink(), createLink()}) {
        write.lid = lid;
        for (int i = 0; i < 8; ++i) {
            ASSERT_EQ(call(client_, device_write, xdr_Device_WriteParms, write,
                           xdr_Device_WriteResp, written),
                      RPC_SUCCESS);
            ASSERT_EQ(written.error, 0);
        }
    }
    write.data.data_len = 1;
    ASSERT_EQ(
        call(client_, device_write, xdr_Device_WriteParms, write, xdr_Device_WriteResp, written),
        RPC_SUCCESS);
    EXPECT_EQ(written.error, zemo::vxi11::errorOutOfResources);
}

// Clients on connections of their own link, write and unlink at the same time; each gets its
// own link and all its bytes accepted. (Built with -fsanitize=thread, this also shows that the
// server's connection threads share nothing unguarded while they decode calls.)
TEST_F(CoreChannel, ClientsLinkAndWriteAtOnce) {
    constexpr std::size_t clients = 6;
    std::vector<int> failures(clients, 0);
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            CLIENT* own = client(DEVICE_CORE, DEVICE_CORE_VERSION);
            for (int round = 0; round < 20; ++round)
                if (own == nullptr || !linkWriteUnlink(own))
                    ++failures[c];
            if (own != nullptr)
                clnt_destroy(own);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(clients, 0));
}

// The number of threads of process PID.
std::size_t threadCount(pid_t pid) {
    const std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// A client that leaves while its device_read waits for an answer frees the thread (and the read
// buffer) that served it, long before the read's own timeout of an hour.
TEST_F(CoreChannel, ReadThatLostItsClientEnds) {
    createLink();
    const std::size_t threads = threadCount(server_->pid());
    CLIENT* leaving = client(DEVICE_CORE, DEVICE_CORE_VERSION);
    ASSERT_NE(leaving, nullptr);
    Device_ReadParms read{};
    read.lid = createLink(leaving);
    read.requestSize = 1 << 20;
    read.io_timeout = 3600 * 1000;
    Device_ReadResp reply{};
    const timeval shortWait{0, 200 * 1000};
    EXPECT_EQ(clnt_call(leaving, device_read, xdrProcedure(xdr_Device_ReadParms),
                        reinterpret_cast<char*>(&read), xdrProcedure(xdr_Device_ReadResp),
                        reinterpret_cast<char*>(&reply), shortWait),
              RPC_TIMEDOUT);
    clnt_destroy(leaving);
    for (int i = 0; i < 500 && threadCount(server_->pid()) > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(threadCount(server_->pid()), threads);
}

// The voluntary context switches of every thread of process PID: how often its threads woke.
long wakeUps(pid_t pid) {
    long total = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream status(task.path() / "status");
        std::string key;
        for (long value = 0; status >> key;)
            if (key == "voluntary_ctxt_switches:" && status >> value)
                total += value;
            else
                status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return total;
}

// The port of a "socket/HOST/PORT" or "vxi11/HOST:PORT/DEVICE" name.
unsigned short portOf(const std::string& name) {
    const auto end = name.rfind('/');
    const auto start = name.rfind(name.starts_with("socket/") ? '/' : ':', end - 1);
    return static_cast<unsigned short>(std::stoi(name.starts_with("socket/")
                                                     ? name.substr(end + 1)
                                                     : name.substr(start + 1, end - start - 1)));
}

// True when the server closes CONNECTION within WAIT milliseconds.
bool closedByServer(const zemo::FileDescriptor& connection, int wait) {
    pollfd entry{connection.get(), POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, wait) == 1 && ::recv(connection.get(), &byte, 1, MSG_DONTWAIT) <= 0;
}

// Idle raw socket connections sleep: they neither wake the server nor take the answers that a
// VXI-11 client reads; the port serves up to its limit of connections and closes the ones
// beyond, while the other port still serves at once.
TEST_F(CoreChannel, IdleSocketConnectionsCostNothingAndRobNobody) {
    const unsigned short socketPort = portOf(server_->name("inst0", "socket"));
    std::vector<zemo::FileDescriptor> idle;
    for (std::size_t i = 0; i < zemosim::largestConnections; ++i)
        idle.push_back(connectToPort(socketPort));
    const zemo::FileDescriptor refused = connectToPort(socketPort);
    EXPECT_TRUE(closedByServer(refused, 5000));
    // Polling each connection every 20 ms, as the server did, woke it over 6000 times in half
    // a second; sleeping connections leave only the wake-ups of the process's own machinery.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = wakeUps(server_->pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(wakeUps(server_->pid()) - before, 300);
    auto transport = zemo::openTransport(server_->name("inst0", "vxi11"));
    transport->setTimeout(zemo::Milliseconds{2000});
    for (int i = 0; i < 20; ++i) {
        const std::string command = "*IDN?\n";
        transport->write(std::as_bytes(std::span(command)), true);
        std::array<std::byte, 64> answer{};
        EXPECT_EQ(transport->read(answer).size, 19U) << "query " << i;
    }
    transport->close();
    // A query sent by a client that then leaves waits for the next reader of its transport,
    // over VXI-11 and (with a place left on the socket port) over the raw socket.
    idle.pop_back();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const std::string& name :
         {server_->name("inst0", "vxi11"), server_->name("inst0", "socket")}) {
        SCOPED_TRACE(name);
        const std::string command = "*IDN?\n";
        auto sender = zemo::openTransport(name);
        sender->write(std::as_bytes(std::span(command)), true);
        sender->close();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto reader = zemo::openTransport(name);
        reader->setTimeout(zemo::Milliseconds{2000});
        std::array<std::byte, 64> answer{};
        EXPECT_EQ(reader->read(answer).size, 19U);
        reader->close();
    }
    char byte = 0;
    for (const auto& connection : idle)
        EXPECT_LT(::recv(connection.get(), &byte, 1, MSG_DONTWAIT), 0);
    // Once a connection ends, the port accepts another: within 5 s, however busy the machine (a
    // refused connection is closed at once, so a count of tries would be over before the server
    // has seen the end).
    idle.pop_back();
    bool accepted = false;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !accepted && std::chrono::steady_clock::now() < until;) {
        accepted = !closedByServer(connectToPort(socketPort), 100);
        if (!accepted)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(accepted);
}

// A raw socket client that closes its sending side after its queries (as socat does) still
// receives their answers, and then the end of the connection.
TEST_F(CoreChannel, HalfClosedSocketClientStillGetsItsAnswers) {
    const zemo::FileDescriptor connection = connectToPort(portOf(server_->name("inst0", "socket")));
    const std::string queries = "*IDN?\nDATA? 3\n";
    ASSERT_EQ(::send(connection.get(), queries.data(), queries.size(), 0),
              static_cast<ssize_t>(queries.size()));
    ASSERT_EQ(::shutdown(connection.get(), SHUT_WR), 0);
    std::string received;
    char piece[256];
    pollfd entry{connection.get(), POLLIN, 0};
    for (ssize_t size; ::poll(&entry, 1, 5000) == 1 &&
                       (size = ::recv(connection.get(), piece, sizeof piece, 0)) > 0;)
        received.append(piece, static_cast<std::size_t>(size));
    EXPECT_EQ(received, std::string("ZEMO,zemosim,0,1.0\n#13\0\1\2\n", 26));
}

// The resident memory of process PID, in KiB.
long residentMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    for (long value = 0; status >> key >> value;)
        if (key == "VmRSS:")
            return value;
    return -1;
}

// Sends on CONNECTION the start of a device_write call (to link 0, which does not exist) that
// carries SIZE bytes, and SENT bytes of them.
void sendDeviceWrite(const zemo::FileDescriptor& connection, std::uint32_t size,
                     std::uint32_t sent) {
    const auto words = bigEndian({0x80000000U | (60 + size), 9, 0, 2, DEVICE_CORE, 1, device_write,
                                  0, 0, 0, 0, 0, 0, 0, 0, size});
    ASSERT_EQ(::send(connection.get(), words.data(), words.size() * 4, 0),
              static_cast<ssize_t>(words.size() * 4));
    const std::string data(sent, 'x');
    ASSERT_EQ(::send(connection.get(), data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
}

// The error that the device_write reply on CONNECTION carries.
std::uint32_t deviceWriteError(const zemo::FileDescriptor& connection) {
    std::vector<char> reply;
    if (!receiveWholeRecord(connection.get(), reply) || reply.size() < 28)
        return ~0U;
    std::uint32_t error = 0;
    std::memcpy(&error, reply.data() + 24, 4);
    return ntohl(error);
}

// A connection gives its call record's memory back once the call is answered, and the records
// of all connections together hold at most 256 MiB: a device_write beyond is answered "out of
// resources" and the connection goes on.
TEST_F(CoreChannel, CallRecordsHoldBoundedMemory) {
    constexpr std::uint32_t mebibyte = 1 << 20;
    const zemo::FileDescriptor writer = connectToPort(port_);
    const long resident = residentMemory(server_->pid());
    sendDeviceWrite(writer, 60 * mebibyte, 60 * mebibyte);
    EXPECT_EQ(deviceWriteError(writer), zemo::vxi11::errorInvalidLink);
    // AddressSanitizer keeps freed memory in quarantine.
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(residentMemory(server_->pid()) - resident, 16 * 1024) << "KiB more resident";
#else
    static_cast<void>(resident);
#endif
    std::vector<zemo::FileDescriptor> holding;
    for (int i = 0; i < 5; ++i) {
        holding.push_back(connectToPort(port_));
        sendDeviceWrite(holding.back(), 64 * mebibyte - 64, 60 * mebibyte);
    }
    sendDeviceWrite(writer, 8 * mebibyte, 8 * mebibyte);
    EXPECT_EQ(deviceWriteError(writer), zemo::vxi11::errorOutOfResources);
    // Their share comes back once they leave.
    holding.clear();
    std::uint32_t error = zemo::vxi11::errorOutOfResources;
    for (int i = 0; i < 50 && error == zemo::vxi11::errorOutOfResources; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sendDeviceWrite(writer, 8 * mebibyte, 8 * mebibyte);
        error = deviceWriteError(writer);
    }
    EXPECT_EQ(error, zemo::vxi11::errorInvalidLink);
}

// Calls of procedure 21, which the core channel answers at once, as COUNT records.
std::string unservedCalls(int count) {
    const auto words = bigEndian({0x80000000U | 40, 1, 0, 2, DEVICE_CORE, 1, 21, 0, 0, 0, 0});
    std::string calls;
    for (int i = 0; i < count; ++i)
        calls.append(reinterpret_cast<const char*>(words.data()), words.size() * 4);
    return calls;
}

// A connection that sends nothing, only part of a call record, or calls whose replies it never
// takes, is closed at the idle limit.
TEST(IdleConnections, AreClosedAtTheIdleLimit) {
    constexpr zemosim::Milliseconds limit{200};
    zemosim::Instrument instrument({});
    const zemosim::Instruments instruments;
    using Serve = std::function<void(zemo::FileDescriptor)>;
    const Serve socket = [&](zemo::FileDescriptor c) {
        zemosim::serveSocket(std::move(c), instrument, 1, limit);
    };
    const Serve vxi11 = [&](zemo::FileDescriptor c) {
        zemosim::serveVxi11(std::move(c), instruments, 1, limit);
    };
    const std::string nothing, halfRecord("\x80\0\0\x28\0\0", 6);
    const struct {
        const char* what;
        const Serve& serve;
        std::string sent;
    } cases[]{
        {"socket, nothing sent", socket, nothing},
        {"socket, part of a record sent", socket, halfRecord},
        {"vxi11, nothing sent", vxi11, nothing},
        {"vxi11, part of a record sent", vxi11, halfRecord},
        {"vxi11, replies not taken", vxi11, unservedCalls(2000)},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        StreamPair connection;
        // The replies to 2000 calls fill the smallest buffer the server can have.
        const int smallest = 1;
        ::setsockopt(connection.reading.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
        ASSERT_EQ(::send(connection.writing.get(), item.sent.data(), item.sent.size(), 0),
                  static_cast<ssize_t>(item.sent.size()));
        std::atomic<bool> ended{false};
        std::thread server([&] {
            item.serve(std::move(connection.reading));
            ended = true;
        });
        for (int i = 0; i < 250 && !ended; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(ended);
        connection.writing.reset();
        server.join();
    }
}

// The transport through the library's own opener: a read into a buffer smaller than the answer
// returns the buffer's size, and the next read goes on where it stopped.
TEST_F(CoreChannel, TransportReadsInBuffersOfAnySize) {
    for (const std::string& name :
         {server_->name("inst0", "vxi11"), server_->name("inst0", "socket")}) {
        SCOPED_TRACE(name);
        auto transport = zemo::openTransport(name);
        transport->setTimeout(zemo::Milliseconds{2000});
        const std::string command = "*IDN?\n";
        transport->write(std::as_bytes(std::span(command)), true);
        std::string answer;
        std::byte buffer[4];
        while (answer.size() < 19) {
            const std::size_t count = transport->read(buffer).size;
            ASSERT_GT(count, 0U);
            ASSERT_LE(count, sizeof buffer);
            answer.append(reinterpret_cast<const char*>(buffer), count);
        }
        EXPECT_EQ(answer, "ZEMO,zemosim,0,1.0\n");
        transport->clear();
        transport->close();
    }
}

// A USBTMC device that answers reads from a script of transfers: each the bytes of one USB
// transfer and whether it ended the message, or a timeout of the driver. It keeps the timeouts
// the transport gave the driver. Waits for a service request, through the driver's ioctl or
// poll, follow a script of their own.
class ScriptedUsbtmc final : public zemo::UsbtmcDevice {
  public:
    struct Transfer {
        std::string bytes;
        bool endsMessage = false;
        bool timesOut = false;
    };

    // How the driver ends a wait for a service request: the request came, the wait timed out,
    // a signal interrupted it, the kernel lacks USBTMC488_IOCTL_WAIT_SRQ (poll is not affected),
    // or the device has gone.
    enum class Signal { request, timeout, interrupted, noWaitIoctl, gone };

    ScriptedUsbtmc(std::vector<Transfer> script, bool kernelKnowsAttributes = true)
        : script_(std::move(script)), kernelKnowsAttributes_(kernelKnowsAttributes) {}

    ssize_t read(void* buffer, std::size_t size) override {
        if (next_ == script_.size() || script_[next_].timesOut) {
            ++next_;
            errno = ETIMEDOUT;
            return -1;
        }
        const Transfer& transfer = script_[next_++];
        const std::size_t count = std::min(size, transfer.bytes.size());
        std::memcpy(buffer, transfer.bytes.data(), count);
        // A transfer cut short by the buffer has not delivered its end yet.
        lastEnded_ = transfer.endsMessage && count == transfer.bytes.size();
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const void*, std::size_t size) override { return static_cast<ssize_t>(size); }
    int ioctl(unsigned long request, void* argument) override {
        if (request == USBTMC_IOCTL_MSG_IN_ATTR || request == USBTMC_IOCTL_AUTO_ABORT) {
            if (!kernelKnowsAttributes_) {
                errno = ENOTTY;
                return -1;
            }
            if (request == USBTMC_IOCTL_MSG_IN_ATTR)
                *static_cast<std::uint8_t*>(argument) = lastEnded_ ? 1 : 0;
        } else if (request == USBTMC_IOCTL_SET_TIMEOUT) {
            timeouts_->push_back(*static_cast<std::uint32_t*>(argument));
        } else if (request != USBTMC_IOCTL_EOM_ENABLE) {
            return control(request, argument);
        }
        return 0;
    }
    int close() override { return 0; }
    // Recorded as the request 0 with the events as its argument.
    int poll(short events, short& happened, int) override {
        controls_->push_back({0, events});
        switch (nextSignal()) {
        case Signal::request:
            happened = POLLPRI;
            return 1;
        case Signal::gone:
            happened = POLLERR | POLLHUP;
            return 1;
        case Signal::interrupted:
            errno = EINTR;
            return -1;
        default:
            return 0;
        }
    }

    std::shared_ptr<std::vector<std::uint32_t>> timeouts() const { return timeouts_; }

    // An IEEE 488 request as the driver got it: the request and the byte its argument held
    // (-1 without an argument).
    struct Control {
        unsigned long request;
        int argument;
        bool operator==(const Control&) const = default;
        friend void PrintTo(const Control& control, std::ostream* out) {
            *out << std::hex << "{0x" << control.request << ", " << std::dec << control.argument
                 << "}";
        }
    };
    std::shared_ptr<std::vector<Control>> controls() const { return controls_; }
    // Makes the driver refuse REQUEST with ENOTTY.
    void refuse(unsigned long request) { refused_ = request; }
    // The status byte that USBTMC488_IOCTL_READ_STB returns.
    static constexpr std::uint8_t statusByte = 0x51;
    // Makes USBTMC488_IOCTL_READ_STB return BYTES in turn before statusByte, the waits for a
    // service request end as SIGNALS say in turn (timeouts after the last), and
    // USBTMC488_IOCTL_GET_CAPS give CAPABILITIES.
    void requestService(std::vector<std::uint8_t> bytes, std::vector<Signal> signals,
                        std::uint8_t capabilities) {
        statusBytes_ = std::move(bytes);
        signals_ = std::move(signals);
        capabilities_ = capabilities;
    }

  private:
    int control(unsigned long request, void* argument) {
        if (request == refused_) {
            errno = ENOTTY;
            return -1;
        }
        auto* byte = static_cast<std::uint8_t*>(argument);
        controls_->push_back({request, request == USBTMC488_IOCTL_REN_CONTROL ? *byte : -1});
        if (request == USBTMC488_IOCTL_READ_STB)
            *byte = nextStatusByte_ < statusBytes_.size() ? statusBytes_[nextStatusByte_++]
                                                          : statusByte;
        else if (request == USBTMC488_IOCTL_GET_CAPS)
            *byte = capabilities_;
        else if (request == USBTMC488_IOCTL_WAIT_SRQ)
            return waitForRequest();
        return 0;
    }

    int waitForRequest() {
        static const std::map<Signal, int> errors{{Signal::timeout, ETIMEDOUT},
                                                  {Signal::interrupted, EINTR},
                                                  {Signal::noWaitIoctl, ENOTTY},
                                                  {Signal::gone, ENODEV}};
        const Signal signal = nextSignal();
        if (signal == Signal::request)
            return 0;
        errno = errors.at(signal);
        return -1;
    }

    Signal nextSignal() {
        return nextSignal_ < signals_.size() ? signals_[nextSignal_++] : Signal::timeout;
    }

    std::vector<Transfer> script_;
    bool kernelKnowsAttributes_;
    std::shared_ptr<std::vector<Control>> controls_ = std::make_shared<std::vector<Control>>();
    unsigned long refused_ = 0;
    std::size_t next_ = 0;
    bool lastEnded_ = false;
    std::vector<std::uint8_t> statusBytes_;
    std::size_t nextStatusByte_ = 0;
    std::vector<Signal> signals_;
    std::size_t nextSignal_ = 0;
    std::uint8_t capabilities_ = USBTMC488_CAPABILITY_SR1;
    std::shared_ptr<std::vector<std::uint32_t>> timeouts_ =
        std::make_shared<std::vector<std::uint32_t>>();
};

// A USBTMC read goes on over transfers until the driver says the message ended (END) or the
// buffer is full (the count); a timeout returns what arrived, with no reason, or is a timeout
// when nothing did.
TEST(UsbtmcRead, FollowsTheDriverToTheEndOfTheMessage) {
    using Transfer = ScriptedUsbtmc::Transfer;
    struct Case {
        const char* what;
        std::vector<Transfer> script;
        std::size_t request;
        std::string expected; // empty: the read times out
        unsigned reason = 0;
    };
    const std::vector<Case> cases = {
        {"one transfer", {{"ZEMO\n", true}}, 64, "ZEMO\n", zemo::reasonEnd},
        {"three transfers",
         {{"ab", false}, {"cd", false}, {"e\n", true}},
         64,
         "abcde\n",
         zemo::reasonEnd},
        {"buffer full first", {{"abcd", false}, {"efgh", true}}, 6, "abcdef", zemo::reasonCount},
        {"end and full at once", {{"abcd", true}}, 4, "abcd", zemo::reasonEnd | zemo::reasonCount},
        {"timeout after bytes", {{"ab", false}, {"", false, true}}, 64, "ab"},
        {"timeout with none", {{"", false, true}}, 64, ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        auto transport =
            zemo::makeUsbtmcTransport(std::make_unique<ScriptedUsbtmc>(test.script), "/dev/fake");
        std::vector<std::byte> buffer(test.request);
        try {
            const zemo::ReadResult read = transport->read(buffer);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), read.size),
                      test.expected);
            EXPECT_EQ(read.reason, test.reason);
        } catch (const Error& error) {
            EXPECT_EQ(test.expected, "") << error.what();
            EXPECT_TRUE(error.timedOut());
            EXPECT_STREQ(error.what(), "read /dev/fake: no data within 5000 ms");
        }
    }
}

// The driver applies its timeout to each transfer: before each it gets the time left of the
// read's one timeout, never less than the driver's least, 100 ms.
TEST(UsbtmcRead, DriverTimeoutIsTheTimeLeft) {
    using Transfer = ScriptedUsbtmc::Transfer;
    auto device = std::make_unique<ScriptedUsbtmc>(std::vector<Transfer>{{"ab"}, {"cd", true}});
    const auto timeouts = device->timeouts();
    auto transport = zemo::makeUsbtmcTransport(std::move(device), "/dev/fake");
    transport->setTimeout(zemo::Milliseconds{50});
    std::byte buffer[8];
    EXPECT_EQ(transport->read(buffer).size, 4U);
    ASSERT_FALSE(timeouts->empty());
    EXPECT_EQ(timeouts->front(), 100U);
}

TEST(UsbtmcRead, KernelWithoutMessageAttributesIsNamed) {
    try {
        zemo::makeUsbtmcTransport(
            std::make_unique<ScriptedUsbtmc>(std::vector<ScriptedUsbtmc::Transfer>{}, false),
            "/dev/usbtmc0");
        ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "the USBTMC driver of this kernel cannot tell where a message "
                                   "ends on /dev/usbtmc0 (USBTMC_IOCTL_MSG_IN_ATTR needs Linux "
                                   "4.19 or later)");
    }
}

// The IEEE 488 operations go to the driver's ioctls, each once, with the argument the driver
// expects; a refused ioctl is named with the device and the reason.
TEST(UsbtmcControl, OperationsGoThroughTheDriver) {
    using Control = ScriptedUsbtmc::Control;
    struct Case {
        const char* what;
        std::function<void(zemo::Transport&)> operation;
        Control expected;
        const char* refusal;
    };
    const std::vector<Case> cases{
        {"the status byte",
         [](zemo::Transport& transport) {
             EXPECT_EQ(transport.readStatusByte(), ScriptedUsbtmc::statusByte);
         },
         {USBTMC488_IOCTL_READ_STB, -1},
         "USBTMC488_IOCTL_READ_STB on /dev/fake failed: Inappropriate ioctl for device"},
        {"trigger",
         [](zemo::Transport& transport) { transport.trigger(); },
         {USBTMC488_IOCTL_TRIGGER, -1},
         "USBTMC488_IOCTL_TRIGGER on /dev/fake failed: Inappropriate ioctl for device"},
        {"remote enables remote",
         [](zemo::Transport& transport) { transport.remote(); },
         {USBTMC488_IOCTL_REN_CONTROL, 1},
         "USBTMC488_IOCTL_REN_CONTROL on /dev/fake failed: Inappropriate ioctl for device"},
        {"local",
         [](zemo::Transport& transport) { transport.local(); },
         {USBTMC488_IOCTL_GOTO_LOCAL, -1},
         "USBTMC488_IOCTL_GOTO_LOCAL on /dev/fake failed: Inappropriate ioctl for device"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        auto device = std::make_unique<ScriptedUsbtmc>(std::vector<ScriptedUsbtmc::Transfer>{});
        const auto controls = device->controls();
        auto transport = zemo::makeUsbtmcTransport(std::move(device), "/dev/fake");
        test.operation(*transport);
        EXPECT_EQ(*controls, std::vector<Control>{test.expected});

        auto refusing = std::make_unique<ScriptedUsbtmc>(std::vector<ScriptedUsbtmc::Transfer>{});
        refusing->refuse(test.expected.request);
        auto refused = zemo::makeUsbtmcTransport(std::move(refusing), "/dev/fake");
        try {
            test.operation(*refused);
            ADD_FAILURE() << "the refused ioctl went unnoticed";
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), test.refusal);
            EXPECT_FALSE(error.timedOut());
        }
    }
}

// USBTMC has no locks: both calls fail with the reason, and the driver is not asked.
TEST(UsbtmcControl, LocksAreRefused) {
    auto device = std::make_unique<ScriptedUsbtmc>(std::vector<ScriptedUsbtmc::Transfer>{});
    const auto controls = device->controls();
    auto transport = zemo::makeUsbtmcTransport(std::move(device), "/dev/fake");
    for (const auto& operation : std::vector<std::function<void()>>{
             [&] { transport->lock(zemo::Milliseconds{100}); }, [&] { transport->unlock(); }}) {
        try {
            operation();
            ADD_FAILURE() << "a lock was granted";
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), "locks need VXI-11 or HiSLIP");
        }
    }
    EXPECT_TRUE(controls->empty());
}

// A wait for a service request: the first checks that the device can request service and
// returns the status byte at once when RQS is set; otherwise the driver's USBTMC488_IOCTL_WAIT_SRQ
// (poll for POLLPRI on a kernel without it, from then on) until the deadline, then the status
// byte. Each case's waits of 50 ms on one transport, their outcomes (the status byte in decimal,
// or the reason of the failure) and the calls the driver got.
TEST(UsbtmcServiceRequests, WaitForTheDriversSignal) {
    using Control = ScriptedUsbtmc::Control;
    using Signal = ScriptedUsbtmc::Signal;
    const Control capabilities{USBTMC488_IOCTL_GET_CAPS, -1};
    const Control statusByte{USBTMC488_IOCTL_READ_STB, -1};
    const Control wait{USBTMC488_IOCTL_WAIT_SRQ, -1};
    const Control poll{0, POLLPRI};
    const std::string none = "no service request within 50 ms";
    struct Case {
        const char* what;
        std::vector<std::uint8_t> statusBytes;
        std::vector<Signal> signals;
        std::vector<std::string> outcomes;
        std::vector<Control> controls;
        std::uint8_t capabilities = USBTMC488_CAPABILITY_SR1;
    };
    const std::vector<Case> cases{
        {"a device without SR1 cannot request service",
         {},
         {},
         {"the device /dev/fake cannot request service: its USB488 capabilities lack SR1"},
         {capabilities},
         USBTMC488_CAPABILITY_TRIGGER | USBTMC488_CAPABILITY_488_DOT_2},
        {"RQS set at the first wait", {0x50}, {}, {"80"}, {capabilities, statusByte}},
        {"a request, then none",
         {0x10, 0x50},
         {Signal::request},
         {"80", none},
         {capabilities, statusByte, wait, statusByte, wait}},
        {"a signal interrupts the wait, which goes on",
         {0x10, 0x50},
         {Signal::interrupted, Signal::request},
         {"80"},
         {capabilities, statusByte, wait, wait, statusByte}},
        {"a kernel without the ioctl: poll, from then on",
         {0x10, 0x50},
         {Signal::noWaitIoctl, Signal::interrupted, Signal::request, Signal::timeout},
         {"80", none},
         {capabilities, statusByte, wait, poll, poll, statusByte, poll}},
        {"the device goes during the wait",
         {0x10},
         {Signal::gone},
         {"USBTMC488_IOCTL_WAIT_SRQ on /dev/fake failed: No such device"},
         {capabilities, statusByte, wait}},
        {"the device goes during the poll",
         {0x10},
         {Signal::noWaitIoctl, Signal::gone},
         {"poll on /dev/fake reports POLLHUP: the device is gone"},
         {capabilities, statusByte, wait, poll}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        auto device = std::make_unique<ScriptedUsbtmc>(std::vector<ScriptedUsbtmc::Transfer>{});
        device->requestService(test.statusBytes, test.signals, test.capabilities);
        const auto controls = device->controls();
        auto transport = zemo::makeUsbtmcTransport(std::move(device), "/dev/fake");
        for (const std::string& outcome : test.outcomes) {
            try {
                EXPECT_EQ(std::to_string(transport->waitServiceRequest(zemo::Milliseconds{50})),
                          outcome);
            } catch (const Error& error) {
                EXPECT_EQ(error.what(), outcome);
                EXPECT_EQ(error.timedOut(), outcome == none);
            }
        }
        EXPECT_EQ(*controls, test.controls);
    }
}

} // namespace
