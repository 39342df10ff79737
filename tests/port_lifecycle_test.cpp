// Opening, sending and closing ports, and what a port's receiver costs and
// leaves behind.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

using namespace test;

namespace {

TEST(Open, PtyAt4800DeliversLines) {
    Port port("4800");
    ASSERT_GE(port.fd(), 0) << strerror(errno);
    port.send("hello\r\n");
    EXPECT_EQ(take_frame(), "hello\r\r\n\n");
}

TEST(Open, MissingPathFailsWithEnoent) {
    errno = 0;
    EXPECT_EQ(uart_init("/dev/no-such-tty", "4800"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Open, NullPathFailsWithEinval) {
    errno = 0;
    EXPECT_EQ(uart_init(nullptr, "4800"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(Open, NotATerminalFailsWithEnottyAndLeavesNoDescriptor) {
    const int fds_before = fd_count();
    start_runtime_threads();
    const int threads_before = thread_count();
    errno = 0;
    EXPECT_EQ(uart_init("/dev/null", "4800"), -1);
    EXPECT_EQ(errno, ENOTTY);  // not overwritten by the clean-up close
    EXPECT_EQ(fd_count(), fds_before);
    EXPECT_EQ(thread_count(), threads_before);
}

TEST(Open, IsSilentOnStandardError) {
    StderrCapture err;
    {
        Port port;
        ASSERT_GE(port.fd(), 0);
        port.send("quiet\r\n");
        EXPECT_EQ(take_frame(), "quiet\r\r\n\n");
        EXPECT_EQ(uart_send(port.fd(), "ok\r\n", 4), 1);
        EXPECT_EQ(uart_init("/dev/null", "4800"), -1);
        EXPECT_EQ(uart_init("/dev/no-such-tty", "4800"), -1);
        EXPECT_EQ(uart_init("/dev/null", "1200"), -1);
    }
    EXPECT_EQ(err.text(), "");
}

TEST(Send, WritesTheBytesAsTheyAre) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    const char reply[] = {'+', 'S', 'T', 'A', 'R', 'T', '\r', '\n', '\0', 'x'};
    EXPECT_EQ(uart_send(port.fd(), reply, 10), 1);
    EXPECT_EQ(port.line().receive(200ms), std::string(reply, 10));
}

TEST(Send, NothingForZeroOrNegativeLength) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    for (int length : {0, -1, -100000}) {
        EXPECT_EQ(uart_send(port.fd(), "never", length), 1) << length;
    }
    EXPECT_EQ(uart_send(port.fd(), nullptr, 0), 1);
    EXPECT_EQ(port.line().receive(100ms), "");
}

TEST(Send, LargeBufferArrivesWholeAndInOrder) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    std::string data;
    for (int i = 0; i < 256 * 1024; ++i) data += static_cast<char>(i * 7 + i / 256);
    std::string got;
    std::thread station([&] { got = port.line().receive(1000ms); });
    EXPECT_EQ(uart_send(port.fd(), data.data(), static_cast<int>(data.size())), 1);
    station.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(Send, ClosedDescriptorFailsWithEbadf) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    errno = 0;
    EXPECT_EQ(uart_send(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Send, NullDataFailsWithEfault) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    errno = 0;
    EXPECT_EQ(uart_send(port.fd(), nullptr, 3), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST(Close, NegativeDescriptorDoesNothing) {
    const int fds_before = fd_count();
    uart_close(-1);
    EXPECT_EQ(fd_count(), fds_before);
}

TEST(Close, StopsTheReceiverAndReleasesEverything) {
    const int fds_before = fd_count();
    start_runtime_threads();
    const int threads_before = thread_count();
    Port port;
    ASSERT_GE(port.fd(), 0);
    EXPECT_EQ(thread_count(), threads_before + 1);
    port.close();
    EXPECT_EQ(thread_count_settled(threads_before), threads_before);
    EXPECT_EQ(fd_count(), fds_before + 1);  // the station's end of the cable
    // The line is still there, but nobody reads it any more.
    port.send("after close\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_STREQ(uart_recv_hex(-1), "");
}

TEST(Close, AThousandCyclesLeaveNothingBehind) {
    PtyPair pty;
    const int fds_before = fd_count();
    start_runtime_threads();
    const int threads_before = thread_count();
    auto slowest = Clock::duration::zero();
    for (int i = 0; i < 1000; ++i) {
        const int fd = uart_init(pty.path().c_str(), "115200");
        ASSERT_GE(fd, 0) << i << ": " << strerror(errno);
        const auto start = Clock::now();
        uart_close(fd);
        slowest = std::max(slowest, Clock::now() - start);
    }
    EXPECT_EQ(thread_count_settled(threads_before), threads_before);
    EXPECT_EQ(fd_count(), fds_before);
    // A silent line must not hold uart_close up; generous for sanitizers.
    EXPECT_LT(slowest, 250ms);
}

TEST(Close, ReusedDescriptorIsReadOnlyByItsNewPort) {
    start_runtime_threads();
    const int threads_before = thread_count();
    PtyPair new_line;
    Port old_port;
    ASSERT_GE(old_port.fd(), 0);
    const int number = old_port.fd();
    old_port.close();
    const int fd = uart_init(new_line.path().c_str(), "4800");
    ASSERT_EQ(fd, number);  // the lowest free number comes back
    EXPECT_EQ(thread_count_settled(threads_before + 1), threads_before + 1);

    old_port.send("stale\r\n");
    new_line.send("fresh\r\n");
    EXPECT_EQ(take_frame(), "fresh\r\r\n\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(take_frame(50ms), "");
    uart_close(fd);
}

TEST(Close, PortClosedBehindTheLibrarysBackIsRetiredOnReuse) {
    start_runtime_threads();
    const int threads_before = thread_count();
    PtyPair new_line;
    Port old_port;
    ASSERT_GE(old_port.fd(), 0);
    const int number = old_port.fd();
    close(number);  // not uart_close: its receiver is still running
    const int fd = uart_init(new_line.path().c_str(), "4800");
    ASSERT_EQ(fd, number);
    EXPECT_EQ(thread_count_settled(threads_before + 1), threads_before + 1);

    old_port.send("stale\r\n");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(take_frame(50ms), "");
    new_line.send("fresh\r\n");
    EXPECT_EQ(take_frame(), "fresh\r\r\n\n");
    uart_close(fd);
    EXPECT_EQ(thread_count_settled(threads_before), threads_before);
}

TEST(Receiver, SleepsWhileTheLineIsSilent) {
    start_runtime_threads();
    const std::vector<std::string> before = tasks();
    Port port;
    ASSERT_GE(port.fd(), 0);
    const std::string receiver = new_task(before);
    ASSERT_NE(receiver, "");
    std::this_thread::sleep_for(50ms);  // let it reach its wait
    const long start = context_switches(receiver);
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(context_switches(receiver) - start, 1) << "the receiver wakes up on a silent line";
}

TEST(Receiver, BacksOffOnAHungUpLine) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    port.line().close_master();  // the far end goes away: every read fails at once
    const auto cpu_before = process_cpu();
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(600ms);
    const auto cpu = process_cpu() - cpu_before;
    const auto wall = Clock::now() - wall_before;
    // A receiver retrying at once burns a whole core; this one sleeps.
    EXPECT_LT(cpu * 20, wall) << "receiver used " << cpu.count() << " us of CPU";
    const auto start = Clock::now();
    port.close();
    EXPECT_LT(Clock::now() - start, 250ms);
}

}  // namespace
