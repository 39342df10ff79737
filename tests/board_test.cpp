// Board preparation and the handshake responder, on a board made of stand-ins.
//
// These tests touch /dev/ttyS0, kill processes found through /proc and write
// /sys/class/pwm, so they run only as the first process of a private PID and
// mount namespace (tests/in_sandbox.sh starts them so). There a pseudo-terminal
// is bind-mounted over /dev/ttyS0 and a tmpfs stands in for the PWM class
// directory; anywhere else they skip.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

using namespace test;
using namespace std::string_literals;

namespace {

const char kPort[] = "/dev/ttyS0";
const std::string kPwmClass = "/sys/class/pwm";
const std::string kChip = kPwmClass + "/pwmchip0";

// The sandbox's board: the station's end of the cable behind /dev/ttyS0.
struct Board {
    std::string skip_reason;  // empty once the board is ready
    PtyPair cable;
};

Board &board() {
    static Board b;
    return b;
}

bool mount_stand_ins(std::string &why) {
    if (getpid() != 1) {
        why = "not the first process of a private PID namespace; run through tests/in_sandbox.sh as root";
        return false;
    }
    struct stat st;
    if (stat(kPort, &st) != 0) {
        why = "this machine has no /dev/ttyS0 to stand in for";
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(board().cable.path().c_str(), kPort, nullptr, MS_BIND, nullptr) != 0) {
        why = "cannot bind a pseudo-terminal over /dev/ttyS0: "s + strerror(errno);
        return false;
    }
    struct stat port, pty;
    if (stat(kPort, &port) != 0 || stat(board().cable.path().c_str(), &pty) != 0 ||
        port.st_rdev != pty.st_rdev) {
        why = "/dev/ttyS0 is not the stand-in";
        return false;
    }
    // A tmpfs over the PWM class directory, or over its parent where the
    // machine has no PWM class at all.
    const bool has_class = stat(kPwmClass.c_str(), &st) == 0;
    const std::string where = has_class ? kPwmClass : "/sys/class";
    if (mount("pwm-stand-in", where.c_str(), "tmpfs", 0, nullptr) != 0 ||
        (!has_class && mkdir(kPwmClass.c_str(), 0755) != 0)) {
        why = "cannot mount a tmpfs for the PWM class: "s + strerror(errno);
        return false;
    }
    return true;
}

class Sandbox : public testing::Environment {
public:
    void SetUp() override {
        std::string why;
        if (!mount_stand_ins(why)) board().skip_reason = why;
    }
};

const testing::Environment *const kSandbox = testing::AddGlobalTestEnvironment(new Sandbox);

#define SANDBOX_OR_SKIP()                                                                     \
    do {                                                                                      \
        if (!board().skip_reason.empty()) GTEST_SKIP() << "sandbox: " << board().skip_reason; \
    } while (0)

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path) << text;
}

bool holds(pid_t pid, const std::string &path) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        const ssize_t n = readlink((dir + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return true;
    }
    return false;
}

// A process that holds path open on the given descriptors and waits.
pid_t spawn_holder(const std::string &path, std::vector<int> fds = {0, 1, 2}) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        for (int target : fds) dup2(fd, target);
        if (fd > 2) close(fd);
        for (;;) pause();
    }
    const auto deadline = Clock::now() + 2s;
    while (!holds(pid, path) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return pid;
}

// How a child ended: its signal number, 1000 + its exit code, or 0 while it
// still runs after the timeout.
int reap(pid_t pid, std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) return 0;
        std::this_thread::sleep_for(1ms);
    }
    return WIFSIGNALED(status) ? WTERMSIG(status) : 1000 + WEXITSTATUS(status);
}

// Runs uart-station with the arguments; returns its exit status and output.
int run_station(const std::string &arguments, std::string &output) {
    FILE *out = popen((TARGET_EMULATOR UART_STATION " " + arguments + " 2>&1").c_str(), "r");
    if (out == nullptr) return -1;
    char buf[512];
    while (fgets(buf, sizeof buf, out)) output += buf;
    const int status = pclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void end(pid_t pid) {
    kill(pid, SIGKILL);
    reap(pid);
}

// ---- Port takeover --------------------------------------------------------

TEST(Takeover, NullPathCountsNothing) {
    EXPECT_EQ(kill_tty_user(nullptr), 0);
}

TEST(Takeover, NoHolderNoKill) {
    SANDBOX_OR_SKIP();
    EXPECT_EQ(kill_tty_user(kPort), 0);
}

TEST(Takeover, HolderOnThreeDescriptorsIsKilled) {
    SANDBOX_OR_SKIP();
    const pid_t holder = spawn_holder(kPort);
    const int count = kill_tty_user(kPort);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 3);
    EXPECT_EQ(reap(holder), SIGKILL);
}

TEST(Takeover, HolderOfAnotherDeviceIsSpared) {
    SANDBOX_OR_SKIP();
    PtyPair other;
    const pid_t holder = spawn_holder(other.path());
    EXPECT_EQ(kill_tty_user(kPort), 0);
    EXPECT_EQ(reap(holder, 100ms), 0) << "still running";
    end(holder);
}

class NearPath : public testing::TestWithParam<const char *> {};

TEST_P(NearPath, DoesNotMatch) {
    SANDBOX_OR_SKIP();
    const pid_t holder = spawn_holder(kPort, {0});
    EXPECT_EQ(kill_tty_user(GetParam()), 0);
    EXPECT_EQ(reap(holder, 100ms), 0) << "still running";
    end(holder);
}

INSTANTIATE_TEST_SUITE_P(Takeover, NearPath,
                         testing::Values("/dev/ttyS1", "/dev/ttys0", "/dev/ttyS", "/dev/ttyS00",
                                         "/dev/ttyS0/", "dev/ttyS0", "/dev//ttyS0", ""));

TEST(Takeover, CallerHoldingTheDeviceSurvives) {
    SANDBOX_OR_SKIP();
    const pid_t other = spawn_holder(kPort, {0});
    const pid_t caller = fork();
    if (caller == 0) {
        const int fd = open(kPort, O_RDWR | O_NOCTTY);
        _exit(fd >= 0 ? kill_tty_user(kPort) : 99);
    }
    EXPECT_EQ(reap(caller), 1000 + 1) << "the caller must live and count only the other holder";
    EXPECT_EQ(reap(other), SIGKILL);
}

TEST(Takeover, WithoutProcCountsNothing) {
    SANDBOX_OR_SKIP();
    const pid_t holder = spawn_holder(kPort, {0});
    // A root with no /proc in it, as on a system that has not mounted it.
    char empty[] = "/tmp/no-proc.XXXXXX";
    ASSERT_NE(mkdtemp(empty), nullptr);
    const pid_t caller = fork();
    if (caller == 0) {
        if (chroot(empty) != 0 || chdir("/") != 0) _exit(99);
        _exit(kill_tty_user(kPort));
    }
    EXPECT_EQ(reap(caller), 1000 + 0);
    rmdir(empty);
    EXPECT_EQ(reap(holder, 100ms), 0) << "still running";
    end(holder);
}

// ---- PWM output -----------------------------------------------------------

// Stands in for the kernel's PWM class: exporting channel 2 creates pwm2/ and
// its files, and every completed write is logged in order as "file=value".
class PwmStandIn {
public:
    explicit PwmStandIn(bool exported) {
        system(("rm -rf " + kChip).c_str());
        mkdir(kChip.c_str(), 0755);
        write_file(kChip + "/export", "");
        if (exported) make_channel();
        inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        chip_watch_ = inotify_add_watch(inotify_, kChip.c_str(), IN_CLOSE_WRITE);
        if (exported) channel_watch_ = inotify_add_watch(inotify_, (kChip + "/pwm2").c_str(), IN_CLOSE_WRITE);
        watcher_ = std::thread([this] {
            set_realtime_priority(pthread_self(), 20);  // act as promptly as the kernel would
            watch();
        });
    }
    ~PwmStandIn() {
        stop_ = true;
        watcher_.join();
        close(inotify_);
    }
    // The writes seen, once the watcher has caught up.
    std::vector<std::string> writes() {
        std::this_thread::sleep_for(50ms);
        std::vector<std::string> copy;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            copy = log_;
        }
        return copy;
    }

private:
    static void make_channel() {
        mkdir((kChip + "/pwm2").c_str(), 0755);
        for (const char *file : {"period", "duty_cycle", "polarity", "enable"})
            write_file(kChip + "/pwm2/" + file, "");
    }
    void watch() {
        alignas(inotify_event) char buf[4096];
        while (!stop_) {
            pollfd p = {inotify_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            const ssize_t n = read(inotify_, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                const inotify_event *e = reinterpret_cast<const inotify_event *>(buf + off);
                off += static_cast<ssize_t>(sizeof *e + e->len);
                if (e->len == 0) continue;
                const std::string dir = e->wd == chip_watch_ ? kChip : kChip + "/pwm2";
                const std::string value = read_file(dir + "/" + e->name);
                if (e->wd == chip_watch_ && std::string(e->name) == "export" && value == "2\n") {
                    make_channel();
                    channel_watch_ = inotify_add_watch(inotify_, (kChip + "/pwm2").c_str(), IN_CLOSE_WRITE);
                }
                std::lock_guard<std::mutex> lock(mutex_);
                log_.push_back(std::string(e->name) + "=" + value);
            }
        }
    }

    int inotify_ = -1, chip_watch_ = -1, channel_watch_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::thread watcher_;
};

TEST(Pwm, FirstCallExportsThenSetsTheWaveInOrder) {
    SANDBOX_OR_SKIP();
    PwmStandIn pwm(false);
    StderrCapture err;  // a setting that beat the stand-in's pwm2/ fails in the shell
    pwm_uart_init();
    const std::vector<std::string> writes = pwm.writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0], "export=2\n");
    // The stand-in creates pwm2/ a moment after the export, where the kernel
    // does so at once; on a loaded machine the next shell may get there first.
    // Whatever settings landed did so in order, with their values.
    const std::vector<std::string> settings = {"period=5000\n", "duty_cycle=2500\n", "polarity=normal\n",
                                               "enable=1\n"};
    size_t next = 0;
    for (size_t i = 1; i < writes.size(); ++i) {
        while (next < settings.size() && settings[next] != writes[i]) ++next;
        EXPECT_LT(next, settings.size()) << "out of order or unexpected: " << writes[i];
        ++next;
    }
    EXPECT_EQ(writes.back(), "enable=1\n");
}

TEST(Pwm, ExportedChannelIsNotExportedAgain) {
    SANDBOX_OR_SKIP();
    PwmStandIn pwm(true);
    StderrCapture err;
    pwm_uart_init();
    pwm_uart_init();
    const std::vector<std::string> once = {"period=5000\n", "duty_cycle=2500\n", "polarity=normal\n",
                                           "enable=1\n"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(pwm.writes(), twice);
    EXPECT_EQ(read_file(kChip + "/export"), "");
    EXPECT_EQ(err.text(), "");
}

TEST(Pwm, MissingControllerReturnsNormally) {
    SANDBOX_OR_SKIP();
    system(("rm -rf " + kChip).c_str());
    StderrCapture err;
    pwm_uart_init();
    EXPECT_NE(err.text().find("pwmchip0"), std::string::npos) << "the shell says what failed";
    struct stat st;
    EXPECT_NE(stat(kChip.c_str(), &st), 0);
}

// ---- Handshake responder --------------------------------------------------

// One real factory-handshake process on /dev/ttyS0 for the whole suite; the
// tests talk to it through the station's end of the cable.
class Responder : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!board().skip_reason.empty()) return;
        pwm_ = new PwmStandIn(true);
        holder_ = spawn_holder(kPort);
        stderr_path_ = "/tmp/factory-handshake-stderr-" + std::to_string(getpid());
        pid_ = fork();
        if (pid_ == 0) {
            const int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            execl("/bin/sh", "sh", "-c", "exec " TARGET_EMULATOR FACTORY_HANDSHAKE,
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        const auto deadline = Clock::now() + 5s;
        while (!holds(pid_, kPort) && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(100ms);  // past the flush that follows its open
    }
    static void TearDownTestSuite() {
        if (pid_ > 0) end(pid_);
        if (holder_ > 0) end(holder_);
        delete pwm_;
        pwm_ = nullptr;
        unlink(stderr_path_.c_str());
    }
    void SetUp() override { SANDBOX_OR_SKIP(); }

    static void send(const std::string &bytes) { board().cable.send(bytes); }
    // Everything the board says within the window.
    static std::string replies(std::chrono::milliseconds window) {
        std::string got;
        const auto deadline = Clock::now() + window;
        while (Clock::now() < deadline) {
            got += board().cable.receive(10ms);
        }
        return got;
    }
    // Time until the board's first bytes, or -1 ms when it stays silent.
    static std::chrono::milliseconds reply_time(std::string &reply, std::chrono::milliseconds limit) {
        const auto start = Clock::now();
        while (Clock::now() - start < limit) {
            reply = board().cable.receive(5ms);
            if (!reply.empty()) {
                const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                reply += replies(100ms);
                return took;
            }
        }
        return -1ms;
    }

    static inline pid_t pid_ = -1, holder_ = -1;
    static inline std::string stderr_path_;
    static inline PwmStandIn *pwm_ = nullptr;
};

TEST_F(Responder, TakesThePortFromItsHolder) {
    EXPECT_EQ(reap(holder_), SIGKILL);
}

TEST_F(Responder, StartsThePwmOutput) {
    EXPECT_EQ(read_file(kChip + "/pwm2/period"), "5000\n");
    EXPECT_EQ(read_file(kChip + "/pwm2/duty_cycle"), "2500\n");
    EXPECT_EQ(read_file(kChip + "/pwm2/polarity"), "normal\n");
    EXPECT_EQ(read_file(kChip + "/pwm2/enable"), "1\n");
}

TEST_F(Responder, AnswersTheRequestOnceWithinAPollPeriod) {
    send("TEST_START\r\n");
    std::string reply;
    const auto took = reply_time(reply, 3000ms);
    EXPECT_EQ(reply, "+START\r\n");
    EXPECT_GE(took, 0ms);
    // One poll period plus 8 bytes at 4800 baud, with room for a loaded machine.
    EXPECT_LT(took, 1500ms);
    EXPECT_EQ(replies(1200ms), "") << "answered more than once";
}

struct Exchange {
    const char *name;
    std::string request;
    std::string reply;
};

class Requests : public Responder, public testing::WithParamInterface<Exchange> {};

TEST_P(Requests, AreAnsweredAsTheyShouldBe) {
    send(GetParam().request);
    EXPECT_EQ(replies(2200ms), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Handshake, Requests,
    testing::Values(Exchange{"MarkerInsideALongerLine", "station says TEST_START now\r\n", "+START\r\n"},
                    Exchange{"LowerCaseMarker", "test_start\r\n", ""},
                    Exchange{"NulBeforeTheMarker", "ab\0TEST_START\r\n"s, ""},
                    Exchange{"RequestReplacedByAnotherLine", "TEST_START\r\nhello\r\n", ""},
                    Exchange{"TwoRequestsInOnePeriod", "TEST_START\r\nTEST_START\r\n", "+START\r\n"}),
    [](const testing::TestParamInfo<Exchange> &c) { return std::string(c.param.name); });

TEST_F(Responder, MarkerWaitsForItsLineEnd) {
    send("TEST_START");
    EXPECT_EQ(replies(2200ms), "");
    send("\r\n");
    EXPECT_EQ(replies(2200ms), "+START\r\n");
}

// The station's own tool against the responder, through a null-modem cable:
// a second pseudo-terminal whose master is relayed to the board's.
TEST_F(Responder, StationToolCompletesHandshakes) {
    PtyPair station;
    std::atomic<bool> stop{false};
    std::thread relay([&] {
        const int board_end = board().cable.master(), station_end = station.master();
        while (!stop) {
            pollfd p[2] = {{board_end, POLLIN, 0}, {station_end, POLLIN, 0}};
            if (poll(p, 2, 10) <= 0) continue;
            char buf[256];
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                const ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n > 0 && write(p[1 - i].fd, buf, static_cast<size_t>(n)) != n) return;
            }
        }
    });
    std::string text;
    const int status = run_station("--count 3 --timeout 3 " + station.path(), text);
    stop = true;
    relay.join();
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("3 of 3 answered"), std::string::npos) << text;
    printf("%s", text.c_str());
}

TEST_F(Responder, IsSilentOnStandardError) {
    EXPECT_EQ(read_file(stderr_path_), "");
}

// ---- uart-station's own errors (no sandbox needed) -------------------------

struct StationError {
    const char *name;
    const char *arguments;
    const char *says;
};

class StationErrors : public testing::TestWithParam<StationError> {};

TEST_P(StationErrors, ExitWithTwoAndOneLine) {
    std::string text;
    EXPECT_EQ(run_station(GetParam().arguments, text), 2) << text;
    EXPECT_NE(text.find(GetParam().says), std::string::npos) << text;
    EXPECT_EQ(text.rfind("uart-station: ", 0), 0u) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Station, StationErrors,
    testing::Values(StationError{"UnknownOption", "--bogus /dev/null", "unknown option"},
                    StationError{"UnsupportedSpeed", "--baud 1200 /dev/null", "unsupported speed: 1200"},
                    StationError{"BadCount", "--count 0 /dev/null", "--count"},
                    StationError{"BadTimeout", "--timeout soon /dev/null", "--timeout"},
                    StationError{"NoDevice", "", "exactly one DEVICE"},
                    StationError{"MissingDevice", "/dev/no-such-tty", "cannot open /dev/no-such-tty"},
                    StationError{"NotATerminal", "/dev/null", "cannot open /dev/null"}),
    [](const testing::TestParamInfo<StationError> &c) { return std::string(c.param.name); });

TEST(Station, HelpListsEveryOptionWithItsDefault) {
    std::string text;
    EXPECT_EQ(run_station("--help", text), 0);
    for (const char *option : {"--baud", "--count", "--timeout", "--help", "--version", "default: 4800"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
}

}  // namespace
