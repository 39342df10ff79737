// How the receiver cuts the byte stream into frames, and how the two views of
// the one frame store hand them out.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

using namespace test;
using namespace std::string_literals;

namespace {

// A line of n bytes, CR LF included, whose bytes show where they stood.
std::string numbered_line(size_t n) {
    std::string line;
    for (size_t i = 0; i + 2 < n; ++i) line += static_cast<char>('!' + i % 90);
    return line + "\r\n";
}

// The frame of a line: its CR LF doubled.
std::string framed(const std::string &line) {
    return line.substr(0, line.size() - 2) + "\r\r\n\n";
}

struct StreamCase {
    const char *name;
    std::string sent;
    std::string frame;  // the one frame left to take; "" when none
};

// Test listings show the case's name, not its bytes.
void PrintTo(const StreamCase &c, std::ostream *out) {
    *out << c.name;
}

class Framing : public testing::TestWithParam<StreamCase> {};

TEST_P(Framing, LeavesTheLatestLineAsTheFrame) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    port.send(GetParam().sent);
    port.settle();
    const std::string frame = take_frame(GetParam().frame.empty() ? 100ms : 2000ms);
    EXPECT_EQ(hex(frame), hex(GetParam().frame));
}

const std::string k4097 = numbered_line(4097);
const std::string k5000 = numbered_line(5000);

INSTANTIATE_TEST_SUITE_P(
    Lines, Framing,
    testing::Values(
        StreamCase{"Handshake", "TEST_START\r\n", "TEST_START\r\r\n\n"},
        StreamCase{"BareLineEnd", "\r\n", "\r\r\n\n"},
        StreamCase{"LoneLfDoesNotEndALine", "abc\ndef\r\n", "abc\ndef\r\r\n\n"},
        StreamCase{"LoneLfAloneGivesNothing", "abc\n", ""},
        StreamCase{"OnlyTheFinalCrLfCounts", "A\rB\r\n", "A\rB\r\r\n\n"},
        StreamCase{"NoLineEndGivesNothing", "TEST_START", ""},
        StreamCase{"LatestLineWins", "first\r\nsecond\r\n", "second\r\r\n\n"},
        StreamCase{"EmptyLineReplacesPending", "TEST_START\r\n\r\n", "\r\r\n\n"},
        StreamCase{"NulIsData", "A\0B\r\n"s, "A\0B\r\r\n\n"s},
        // The assembler holds 4096 bytes and wraps before it looks for CR LF.
        StreamCase{"LineOf4096IsNeverDelivered", numbered_line(4096), ""},
        StreamCase{"LineOf8192IsNeverDelivered", numbered_line(8192), ""},
        StreamCase{"LfOfA4097LineHeadsTheNext", k4097 + "X\r\n", "\nX\r\r\n\n"},
        StreamCase{"LongLineKeepsTheTailSinceTheWrap", k5000, framed(k5000.substr(4096))},
        // Frames that would not fit the 4096-byte buffers with the text
        // result's NUL are cut to the line's first 4091 bytes.
        StreamCase{"LineOf4093PassesWhole", numbered_line(4093), framed(numbered_line(4093))},
        StreamCase{"LineOf4094IsCut", numbered_line(4094), numbered_line(4094).substr(0, 4091) + "\r\r\n\n"},
        StreamCase{"LineOf4095IsCut", numbered_line(4095), numbered_line(4095).substr(0, 4091) + "\r\r\n\n"}),
    [](const testing::TestParamInfo<StreamCase> &c) { return std::string(c.param.name); });

TEST(Frames, FitTheTextResultWithItsNul) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    for (size_t n : {4093u, 4094u, 4095u}) {
        port.send(numbered_line(n));
        port.settle();
        const char *text = uart_recv(port.fd());
        EXPECT_EQ(strlen(text), 4095u) << n;
        EXPECT_EQ(std::string(text, 4095), numbered_line(n).substr(0, 4091) + "\r\r\n\n") << n;
        EXPECT_EQ(strlen(uart_recv_hex(port.fd())), 2 * 4095u) << n;
    }
}

TEST(Views, HandshakeFrameAsTextAndHex) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    port.send("TEST_START\r\n");
    port.settle();
    const std::string text = uart_recv(port.fd());
    EXPECT_EQ(text, "TEST_START\r\r\n\n");
    EXPECT_STREQ(uart_recv_hex(port.fd()), "544553545F53544152540D0D0A0A");
}

TEST(Views, AreTakenIndependentlyAndOnce) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    port.send("one\r\n");
    port.settle();
    EXPECT_STREQ(uart_recv(port.fd()), "one\r\r\n\n");
    EXPECT_STREQ(uart_recv(port.fd()), "");
    EXPECT_STREQ(uart_recv_hex(port.fd()), "6F6E650D0D0A0A");
    EXPECT_STREQ(uart_recv_hex(port.fd()), "");

    port.send("two\r\n");
    port.settle();
    EXPECT_STREQ(uart_recv_hex(port.fd()), "74776F0D0D0A0A");
    EXPECT_STREQ(uart_recv_hex(port.fd()), "");
    EXPECT_STREQ(uart_recv(port.fd()), "two\r\r\n\n");
    EXPECT_STREQ(uart_recv(port.fd()), "");
}

TEST(Views, AreEmptyBeforeAnyLine) {
    EXPECT_STREQ(uart_recv(-1), "");
    EXPECT_STREQ(uart_recv_hex(-1), "");
}

TEST(Views, ShowHighBytesAsTwoDigitsEach) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    std::string line;
    for (int b = 0x80; b <= 0xFF; ++b) line += static_cast<char>(b);
    port.send(line + "\r\n");
    port.settle();
    const std::string text(uart_recv(port.fd()), 128 + 4);
    EXPECT_EQ(text, line + "\r\r\n\n");
    const std::string h = uart_recv_hex(port.fd());
    EXPECT_EQ(h, hex(line) + "0D0D0A0A");
    EXPECT_EQ(h.substr(0, 2), "80");
    EXPECT_EQ(h.substr(2 * 127, 2), "FF");
}

TEST(Views, TextHoldsEveryByteOfAFrameWithNul) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    port.send("A\0B\r\n"s);
    port.settle();
    const char *text = uart_recv(port.fd());
    EXPECT_EQ(std::string(text, 8), "A\0B\r\r\n\n\0"s);
    EXPECT_STREQ(uart_recv_hex(port.fd()), "4100420D0D0A0A");
}

TEST(Views, ServeTheOneStoreForEveryPort) {
    Port a, b;
    ASSERT_GE(a.fd(), 0);
    ASSERT_GE(b.fd(), 0);
    a.send("from a\r\n");
    a.settle();
    EXPECT_STREQ(uart_recv(b.fd()), "from a\r\r\n\n");  // whichever fd is passed
    b.send("from b\r\n");
    b.settle();
    EXPECT_STREQ(uart_recv(a.fd()), "from b\r\r\n\n");
    a.send("a again\r\n");
    a.settle();
    b.send("b again\r\n");
    b.settle();
    EXPECT_STREQ(uart_recv(-1), "b again\r\r\n\n");
    EXPECT_STREQ(uart_recv_hex(-1), hex("b again\r\r\n\n").c_str());
}

TEST(Canonical, LinesAreFramedTheSame) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    uart_set_canonical(port.fd());
    port.send("half");
    port.settle();
    EXPECT_EQ(take_frame(100ms), "");
    port.send(" done\r\n");
    port.settle();
    EXPECT_EQ(take_frame(), "half done\r\r\n\n");
}

// Each accessor is called by one thread of its own, as the header asks,
// while two ports stream lines: every frame returned must be a whole line.
TEST(Concurrency, AccessorsWhileLinesStream) {
    Port a, b;
    ASSERT_GE(a.fd(), 0);
    ASSERT_GE(b.fd(), 0);
    std::set<std::string> sent;
    for (int i = 0; i < 40; ++i) sent.insert("line " + std::to_string(i) + std::string(i * 7, 'x') + "\r\n");

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, seen{0};
    auto check = [&](const std::string &frame) {
        if (frame.empty()) return;
        ++seen;
        const bool whole = frame.size() >= 4 && frame.compare(frame.size() - 4, 4, "\r\r\n\n") == 0 &&
                           sent.count(frame.substr(0, frame.size() - 4) + "\r\n") == 1;
        if (!whole) ++torn;
    };
    std::thread text_reader([&] {
        while (!done) check(uart_recv(a.fd()));
    });
    std::thread hex_reader([&] {
        while (!done) check(unhex(uart_recv_hex(b.fd())));
    });
    const auto until = Clock::now() + 1s;
    while (Clock::now() < until) {
        for (const std::string &line : sent) {
            a.send(line);
            b.send(line);
        }
    }
    a.settle();
    b.settle();
    done = true;
    text_reader.join();
    hex_reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(seen, 0);
}

}  // namespace
