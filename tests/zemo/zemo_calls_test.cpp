// The calls of libzemo from a program of its own: why a read stopped, the reason of the last
// failure per thread, and the checks of the new calls' arguments.
#include <zemo.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// A read's bytes and reason.
struct Read {
    std::string bytes;
    int reason;
};

Read readMessage(zemo_handle handle, std::size_t count) {
    std::string buffer(count, '\0');
    uint64_t received = 0;
    int reason = -1;
    EXPECT_EQ(zemo_read_message(handle, buffer.data(), count, &received, &reason), ZEMO_OK);
    buffer.resize(received);
    return {buffer, reason};
}

// The reason says why each read stopped: END when the instrument has sent all it had, the
// count when the buffer is full, both at once, or neither for a paused stream.
TEST(ReadMessage, ReasonSaysWhyTheReadStopped) {
    zemo_handle echo = zemo_open("sim/echo/chunks=3,100");
    ASSERT_NE(echo, nullptr);
    ASSERT_EQ(zemo_write(echo, "abcdefgh\n", 9, ZEMO_END, nullptr), ZEMO_OK);
    const Read paused = readMessage(echo, 10);
    EXPECT_EQ(paused.bytes, "abc");
    EXPECT_EQ(paused.reason, 0);
    const Read end = readMessage(echo, 10);
    EXPECT_EQ(end.bytes, "defgh\n");
    EXPECT_EQ(end.reason, ZEMO_REASON_END);
    zemo_close(echo);

    zemo_handle source = zemo_open("sim/source");
    ASSERT_NE(source, nullptr);
    const Read full = readMessage(source, 5);
    EXPECT_EQ(full.bytes, "01234");
    EXPECT_EQ(full.reason, ZEMO_REASON_COUNT);
    zemo_close(source);

    zemo_handle exact = zemo_open("sim/echo");
    ASSERT_EQ(zemo_write(exact, "ok\n", 3, ZEMO_END, nullptr), ZEMO_OK);
    EXPECT_EQ(readMessage(exact, 3).reason, ZEMO_REASON_END | ZEMO_REASON_COUNT);
    zemo_close(exact);
}

// zemo_last_error holds the reason of the thread's last failed call, as the handler gets it,
// and "" once a call succeeds; each thread has its own.
TEST(LastError, IsTheThreadsLastFailure) {
    zemo_handle echo = zemo_open("sim/echo");
    ASSERT_NE(echo, nullptr);
    EXPECT_STREQ(zemo_last_error(), "");
    EXPECT_EQ(zemo_unlock(echo), ZEMO_FAILURE);
    EXPECT_STREQ(zemo_last_error(), "no lock is held on this instrument");
    std::string other;
    std::thread([&other] {
        EXPECT_EQ(zemo_open("nowhere/1"), nullptr);
        other = zemo_last_error();
    }).join();
    EXPECT_EQ(other.rfind("unknown transport 'nowhere'; expected ", 0), 0U) << other;
    EXPECT_STREQ(zemo_last_error(), "no lock is held on this instrument");
    EXPECT_EQ(zemo_lock(echo, -1), ZEMO_FAILURE);
    EXPECT_STREQ(zemo_last_error(), "the time to wait for a lock must be 0 ms or more, got -1");
    EXPECT_EQ(zemo_read_stb(echo, nullptr), ZEMO_FAILURE);
    EXPECT_STREQ(zemo_last_error(), "no place for the status byte: the pointer is NULL");
    EXPECT_EQ(zemo_trigger(nullptr), ZEMO_FAILURE);
    EXPECT_STREQ(zemo_last_error(), "no interface: the handle is NULL");
    uint8_t stb = 99;
    EXPECT_EQ(zemo_read_stb(echo, &stb), ZEMO_OK);
    EXPECT_EQ(stb, 0);
    EXPECT_STREQ(zemo_last_error(), "");
    EXPECT_EQ(zemo_close(echo), ZEMO_OK);
}

TEST(Version, IsTheProjectsVersion) {
    EXPECT_STREQ(zemo_version(), "1.2.0");
}

} // namespace
