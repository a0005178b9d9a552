// The rule that decides which connection reads which answer, as sequences of events on its own:
// no sockets, threads or sleeps, and time only as the events give it.
#include "delivery.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zemosim::Clock;
using zemosim::Delivery;
using zemosim::Reading;

struct TextAnswer {
    std::string text;
    std::uint64_t sent = 0;
    std::uint64_t size() const { return text.size(); }
    std::uint64_t textSize() const { return text.size(); }
};

// One sequence of events, each a line of words:
//   join C N [request]  connection C joins, the Nth accepted (streamed, or with read requests)
//   ask C TEXT [T]      C sends a command answered TEXT, ready at T milliseconds (0 by default)
//   command C           C sends a command without an answer
//   read C TEXT         C reads a whole answer, the rest of TEXT ("-": C is given nothing)
//   part C N TEXT       C reads the next N bytes of its answer, TEXT
//   leave C [N]         C leaves, the last N bytes it was sent unread (0)
//   reset C             C leaves reset: nothing it was sent was read
//   clear C             C clears the device
//   at T                the time is now T milliseconds
struct Sequence {
    const char* what;
    std::vector<std::string> events;
};

class Runner {
  public:
    void run(const std::string& event) {
        std::istringstream words(event);
        std::string verb, who;
        words >> verb >> who;
        if (verb == "at")
            now_ = Clock::time_point{} + std::chrono::milliseconds(std::stoll(who));
        else if (verb == "join")
            join(who, words);
        else if (verb == "ask")
            ask(who, words);
        else if (verb == "command")
            delivery_.command(ids_.at(who));
        else if (verb == "read")
            read(who, words);
        else if (verb == "part")
            part(who, words);
        else if (verb == "leave")
            leave(who, words);
        else if (verb == "reset")
            delivery_.leave(ids_.at(who), zemosim::allUnread);
        else if (verb == "clear")
            delivery_.clear(ids_.at(who));
        else
            FAIL() << "no such event: " << event;
    }

  private:
    void join(const std::string& who, std::istringstream& words) {
        std::uint64_t number = 0;
        std::string kind;
        words >> number >> kind;
        ids_[who] = ids_.size() + 1;
        delivery_.join(ids_.at(who), number,
                       kind == "request" ? Reading::onRequest : Reading::streamed);
    }

    void ask(const std::string& who, std::istringstream& words) {
        std::string text;
        long long readyAt = 0;
        words >> text >> readyAt;
        delivery_.command(ids_.at(who));
        delivery_.ask(ids_.at(who), TextAnswer{text},
                      Clock::time_point{} + std::chrono::milliseconds(readyAt));
    }

    void read(const std::string& who, std::istringstream& words) {
        std::string expected;
        words >> expected;
        Clock::time_point readyAt;
        TextAnswer* answer = delivery_.next(ids_.at(who), now_, readyAt);
        if (expected == "-") {
            EXPECT_EQ(answer, nullptr) << who << " was given " << answer->text;
            return;
        }
        ASSERT_NE(answer, nullptr) << who << " was given nothing";
        EXPECT_EQ(answer->text.substr(answer->sent), expected);
        answer->sent = answer->size();
        delivery_.finished(ids_.at(who));
    }

    void part(const std::string& who, std::istringstream& words) {
        std::size_t count = 0;
        std::string expected;
        words >> count >> expected;
        Clock::time_point readyAt;
        TextAnswer* answer = delivery_.next(ids_.at(who), now_, readyAt);
        ASSERT_NE(answer, nullptr) << who << " was given nothing";
        EXPECT_EQ(answer->text.substr(answer->sent, count), expected);
        answer->sent += count;
    }

    void leave(const std::string& who, std::istringstream& words) {
        std::uint64_t unread = 0;
        words >> unread;
        delivery_.leave(ids_.at(who), unread);
    }

    Delivery<TextAnswer> delivery_;
    std::map<std::string, zemosim::ClientId> ids_;
    Clock::time_point now_{};
};

const Sequence sequences[]{
    {"a connection reads its own answers in the order of its commands",
     {"join a 1", "ask a x", "ask a y", "read a x", "read a y", "read a -"}},
    {"no one else reads an answer while its owner stays",
     {"join a 1", "join b 2 request", "join c 3", "ask a x", "read b -", "read c -", "read a x"}},
    {"a departed owner's answer goes to a connection accepted after it",
     {"join a 1", "ask a x", "leave a", "join b 2", "read b x"}},
    {"whenever that connection joined, even before the owner's command",
     {"join b 2", "join a 1", "ask a x", "leave a", "read b x"}},
    {"never to one accepted before the owner",
     {"join b 1", "join a 2", "ask a x", "leave a", "read b -", "join c 3", "read c x"}},
    {"a streamed connection that has sent a command reads only its own",
     {"join a 1", "join b 2", "command b", "ask a x", "leave a", "read b -", "join c 3",
      "read c x"}},
    {"a connection with read requests reads unclaimed answers between its own",
     {"join a 1", "join b 2 request", "ask a x", "leave a", "ask b y", "read b y", "read b x",
      "read b -"}},
    {"unclaimed answers go in the order their owners left",
     {"join a 1", "join b 2", "ask a x", "ask b y", "leave b", "leave a", "join c 3",
      "read c y", "read c x"}},
    {"a delayed answer keeps the order of the commands",
     {"join a 1", "ask a slow 50", "ask a fast", "read a -", "at 50", "read a slow",
      "read a fast"}},
    {"a delayed answer of a departed owner waits for its time",
     {"join a 1", "ask a slow 50", "leave a", "join b 2", "read b -", "at 50", "read b slow"}},
    {"an answer left half read goes on where its owner stopped",
     {"join a 1", "ask a hello", "part a 2 he", "leave a", "join b 2", "read b llo"}},
    {"a reset gives back all the connection was sent, for its commands show no reading",
     {"join a 1", "ask a x", "read a x", "ask a y", "read a y", "reset a", "join b 2",
      "read b x", "read b y", "read b -"}},
    {"a reset in the middle of an answer gives back all of it",
     {"join a 1", "ask a hello", "part a 2 he", "reset a", "join b 2", "read b hello"}},
    {"a reset gives back what a reader took unclaimed from where it took it",
     {"join a 1", "ask a hello", "part a 2 he", "leave a", "join b 2", "part b 1 l", "reset b",
      "join c 3", "read c llo"}},
    {"a connection that leaves without a reset read what it was sent",
     {"join a 1", "ask a x", "read a x", "leave a", "join b 2", "read b -"}},
    {"bytes left unread in a line are given back, and no more",
     {"join a 1", "ask a abc", "ask a def", "read a abc", "read a def", "leave a 4",
      "join b 2", "read b c", "read b def", "read b -"}},
    {"an answer read by another after its owner left is not given back again",
     {"join a 1", "ask a x", "leave a", "join b 2", "read b x", "leave b", "join c 3",
      "read c -"}},
    {"a device clear empties the clearing connection's answers and the unclaimed ones",
     {"join a 1", "join b 2", "ask a x", "ask b y", "join c 3", "ask c z", "leave c",
      "clear a", "read a -", "read b y", "join d 4", "read d -"}},
};

// Of what a streamed connection was sent, only the last answers are remembered to be given back.
TEST(Delivery, RemembersTheLastAnswersSent) {
    Runner runner;
    runner.run("join a 1");
    const std::size_t sent = zemosim::largestRememberedAnswers + 1;
    for (std::size_t i = 0; i < sent; ++i) {
        runner.run("ask a x" + std::to_string(i));
        runner.run("read a x" + std::to_string(i));
    }
    runner.run("reset a");
    runner.run("join b 2");
    for (std::size_t i = 1; i < sent; ++i)
        runner.run("read b x" + std::to_string(i));
    runner.run("read b -");
}

TEST(Delivery, FollowsTheRule) {
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.what);
        Runner runner;
        for (const std::string& event : sequence.events) {
            SCOPED_TRACE(event);
            runner.run(event);
        }
    }
}

} // namespace
