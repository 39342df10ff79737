// uart-bench: what the library costs, measured on pseudo-terminals.
//
// Prints one figure a line with its goal. Run it as root to give the
// receivers their real-time priority, as on a board.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "factory_uartUtil.h"
#include "pty_line.h"  // pseudo-terminal cables and thread probes, shared with the tests

namespace {

using namespace test;

constexpr long kStreamBytes = 300000;
constexpr int kRounds = 3;

// Opens a port and finds its receiver thread: the one task that is new.
int open_port(const PtyPair &pty, int &receiver_tid) {
    const std::vector<std::string> before = tasks();
    const int fd = uart_init(pty.path().c_str(), "460800");
    const std::string tid = new_task(before);
    receiver_tid = tid.empty() ? -1 : std::stoi(tid);
    return fd;
}

// CPU time of any thread of this process, in seconds (Linux encodes a
// thread's CPU clock from its id).
double thread_cpu(int tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec t = {};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double own_cpu() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Writes n bytes of 64-byte CR LF lines as fast as the line takes them.
void flood(int master, long n) {
    std::string chunk;
    while (chunk.size() < 4096) chunk += std::string(62, 'u') + "\r\n";
    while (n > 0) {
        const ssize_t w = write(master, chunk.data(), static_cast<size_t>(std::min<long>(n, 4096)));
        if (w <= 0) return;
        n -= w;
    }
}

void wait_drained(int fd) {
    int quiet = 0;
    while (quiet < 5) {
        int queued = 0;
        ioctl(fd, FIONREAD, &queued);
        quiet = queued == 0 ? quiet + 1 : 0;
        std::this_thread::sleep_for(2ms);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Receiver CPU per byte against a bare loop of blocking one-byte reads.
void receive_cost() {
    std::vector<double> bare, receiver;
    for (int round = 0; round < kRounds; ++round) {
        {
            PtyPair pty;
            const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
            init_serial(fd, B460800);
            double cpu = 0;
            std::thread reader([&] {
                set_realtime_priority(pthread_self(), 10);
                const double start = own_cpu();
                char c;
                for (long got = 0; got < kStreamBytes;) got += read(fd, &c, 1) == 1;
                cpu = own_cpu() - start;
            });
            flood(pty.master(), kStreamBytes);
            reader.join();
            close(fd);
            bare.push_back(cpu / kStreamBytes * 1e9);
        }
        {
            PtyPair pty;
            int tid;
            const int fd = open_port(pty, tid);
            std::this_thread::sleep_for(5ms);
            const double start = thread_cpu(tid);
            flood(pty.master(), kStreamBytes);
            wait_drained(fd);
            receiver.push_back((thread_cpu(tid) - start) / kStreamBytes * 1e9);
            uart_close(fd);
        }
    }
    const double b = median(bare), r = median(receiver);
    printf("receiver cpu per byte        %8.0f ns   bare read loop %.0f ns\n", r, b);
    printf("receiver / bare read loop    %8.2f      goal <= 1.10\n", r / b);
}

void close_latency() {
    PtyPair pty;
    std::vector<double> us;
    for (int i = 0; i < 200; ++i) {
        const int fd = uart_init(pty.path().c_str(), "4800");
        std::this_thread::sleep_for(1ms);  // let the receiver reach its wait
        const auto start = Clock::now();
        uart_close(fd);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double worst = *std::max_element(us.begin(), us.end());
    printf("uart_close on a silent line  %8.0f us   median, worst %.0f us; goal median < 1000 us\n",
           median(us), worst);
}

void silent_wakeups() {
    PtyPair pty;
    int tid;
    const int fd = open_port(pty, tid);
    std::this_thread::sleep_for(50ms);
    const long start = context_switches(std::to_string(tid));
    std::this_thread::sleep_for(2s);
    printf("silent line wake-ups         %8.1f /s   goal 0\n",
           (context_switches(std::to_string(tid)) - start) / 2.0);
    uart_close(fd);
}

void hung_up_share() {
    PtyPair pty;
    int tid;
    const int fd = open_port(pty, tid);
    pty.close_master();
    std::this_thread::sleep_for(50ms);
    const double start = thread_cpu(tid);
    std::this_thread::sleep_for(2s);
    printf("hung-up line receiver cpu    %8.3f %%    of a core; goal < 1 %%\n",
           (thread_cpu(tid) - start) / 2.0 * 100);
    uart_close(fd);
}

void accessor_cost() {
    PtyPair pty;
    const int fd = uart_init(pty.path().c_str(), "460800");
    std::string line;
    for (int i = 0; i < 4091; ++i) line += static_cast<char>(' ' + i % 95);
    line += "\r\n";  // a 4093-byte line: the largest that passes whole, a 4095-byte frame
    std::vector<double> hex_ns, text_ns;
    for (int i = 0; i < 50; ++i) {
        if (write(pty.master(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
        wait_drained(fd);
        auto start = Clock::now();
        const size_t hex_length = strlen(uart_recv_hex(fd));
        hex_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        start = Clock::now();
        const size_t text_length = strlen(uart_recv(fd));
        text_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        if (hex_length != 2 * 4095 || text_length != 4095) {
            printf("accessor cost: frame of the wrong size\n");
            break;
        }
    }
    const auto start = Clock::now();
    constexpr int kEmptyCalls = 100000;
    for (int i = 0; i < kEmptyCalls; ++i) uart_recv_hex(fd);
    const double empty_ns =
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kEmptyCalls;
    printf("uart_recv_hex, 4095-byte frame %6.1f us   (empty store: %.0f ns a call)\n", median(hex_ns) / 1000,
           empty_ns);
    printf("uart_recv, 4095-byte frame   %8.1f us\n", median(text_ns) / 1000);
    uart_close(fd);
}

// What a board carries: the library without its symbols and debug info.
void library_size() {
    struct stat st;
    if (stat(STRIPPED_LIBRARY, &st) != 0) {
        printf("stripped library: %s: %s\n", STRIPPED_LIBRARY, strerror(errno));
        return;
    }
    printf("stripped library             %8lld bytes\n", static_cast<long long>(st.st_size));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1) {
        fprintf(stderr, "usage: %s\n  measures the library on pseudo-terminals and prints the figures\n",
                argv[0]);
        return strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    printf("uart-bench: %s, receivers %s\n", getuid() == 0 ? "root" : "not root",
           getuid() == 0 ? "at FIFO priority 10" : "at normal priority");
    library_size();
    receive_cost();
    close_latency();
    silent_wakeups();
    hung_up_share();
    accessor_cost();
    return 0;
}
