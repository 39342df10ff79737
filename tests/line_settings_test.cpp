// Speeds and the three terminal profiles, read back from the line itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <string>

#include "pty_line.h"

using namespace test;

namespace {

termios attributes(int fd) {
    termios tio = {};
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    return tio;
}

struct SpeedCase {
    const char *baud_text;
    speed_t speed;
};

class Speed : public testing::TestWithParam<SpeedCase> {};

TEST_P(Speed, IsSetInBothDirections) {
    Port port(GetParam().baud_text);
    ASSERT_GE(port.fd(), 0) << strerror(errno);
    const termios tio = attributes(port.fd());
    EXPECT_EQ(cfgetispeed(&tio), GetParam().speed);
    EXPECT_EQ(cfgetospeed(&tio), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(BaudTable, Speed,
                         testing::Values(SpeedCase{"4800", B4800}, SpeedCase{"9600", B9600},
                                         SpeedCase{"19200", B19200}, SpeedCase{"38400", B38400},
                                         SpeedCase{"57600", B57600}, SpeedCase{"115200", B115200},
                                         SpeedCase{"230400", B230400}, SpeedCase{"460800", B460800},
                                         // Parsed as strtoul does: leading blanks and a
                                         // sign are taken, the rest after the digits ignored.
                                         SpeedCase{"  9600", B9600}, SpeedCase{"9600 baud", B9600},
                                         SpeedCase{"+4800", B4800}, SpeedCase{"4800.7", B4800}));

class UnsupportedSpeed : public testing::TestWithParam<const char *> {};

TEST_P(UnsupportedSpeed, FailsWithEinvalBeforeOpening) {
    PtyPair pty;
    const int fds_before = fd_count();
    errno = 0;
    EXPECT_EQ(uart_init(pty.path().c_str(), GetParam()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fd_count(), fds_before);
}

INSTANTIATE_TEST_SUITE_P(BaudTable, UnsupportedSpeed,
                         testing::Values("1200", "", "abc", "0x12C0", "-4800", "4801", "48000",
                                         "99999999999999999999999"));

TEST(UnsupportedSpeed, NullTextFailsWithEinval) {
    errno = 0;
    EXPECT_EQ(uart_init("/dev/null", nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(InitialProfile, IsRaw8N1WithoutFlowControl) {
    PtyPair pty;
    // Start from a cooked line with everything the profile must undo.
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios cooked = attributes(fd);
    cooked.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    cooked.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CLOCAL);
    cooked.c_cflag |= CS7;
    cooked.c_iflag |= IXON | IXOFF | IXANY;
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
    cooked.c_oflag |= OPOST;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &cooked), 0);

    ASSERT_EQ(init_serial(fd, B4800), 0);
    const termios tio = attributes(fd);
    EXPECT_EQ(cfgetispeed(&tio), B4800);
    EXPECT_EQ(cfgetospeed(&tio), B4800);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 50);
    close(fd);
}

TEST(InitialProfile, RefusedSpeedKeepsTheOldOneAndSucceeds) {
    Port port("9600");
    ASSERT_GE(port.fd(), 0);
    EXPECT_EQ(init_serial(port.fd(), 4800), 0);  // a number, not B4800
    const termios tio = attributes(port.fd());
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cc[VTIME], 50);
}

TEST(InitialProfile, NotATerminalFailsSilently) {
    const int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    StderrCapture err;
    errno = 0;
    EXPECT_EQ(init_serial(fd, B4800), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(err.text(), "");
    close(fd);
}

TEST(RawProfile, KeepsTheSpeedAndWaitsWithoutTimeLimit) {
    Port port("115200");
    ASSERT_GE(port.fd(), 0);
    uart_set_raw(port.fd());
    const termios tio = attributes(port.fd());
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

TEST(CanonicalProfile, TurnsOnLinesAndKeepsTheLine) {
    Port port("57600");
    ASSERT_GE(port.fd(), 0);
    const termios before = attributes(port.fd());
    uart_set_canonical(port.fd());
    const termios tio = attributes(port.fd());
    EXPECT_EQ(cfgetispeed(&tio), B57600);
    EXPECT_EQ(cfgetospeed(&tio), B57600);
    EXPECT_EQ(tio.c_cflag, before.c_cflag);
    EXPECT_EQ(tio.c_iflag, before.c_iflag);
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_lflag & ICANON, 0u);
    EXPECT_EQ(tio.c_lflag & (ECHO | ECHONL | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VEOL], '\n');
    EXPECT_EQ(tio.c_cc[VEOF], 0);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(Profiles, RawAfterCanonicalIsRawAgain) {
    Port port;
    ASSERT_GE(port.fd(), 0);
    uart_set_canonical(port.fd());
    uart_set_raw(port.fd());
    const termios tio = attributes(port.fd());
    EXPECT_EQ(tio.c_lflag & ICANON, 0u);
    EXPECT_EQ(cfgetospeed(&tio), B4800);
    port.send("raw\r\n");
    EXPECT_EQ(take_frame(), "raw\r\r\n\n");
}

struct ProfileErrorCase {
    const char *name;
    void (*apply)(int);
};

void PrintTo(const ProfileErrorCase &c, std::ostream *out) {
    *out << c.name;
}

class ProfileOnNonTerminal : public testing::TestWithParam<ProfileErrorCase> {};

TEST_P(ProfileOnNonTerminal, PrintsTheTcgetattrTag) {
    const int fd = open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0);
    StderrCapture err;
    GetParam().apply(fd);
    EXPECT_EQ(err.text(), "tcgetattr: " + std::string(strerror(ENOTTY)) + "\n");
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileOnNonTerminal,
                         testing::Values(ProfileErrorCase{"Raw", uart_set_raw},
                                         ProfileErrorCase{"Canonical", uart_set_canonical}),
                         [](const testing::TestParamInfo<ProfileErrorCase> &c) {
                             return std::string(c.param.name);
                         });

}  // namespace
