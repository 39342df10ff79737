// uart-station: the test station's side of the factory handshake. Sends the
// start request and waits for the board's "+START" line, using the library.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "factory_uartUtil.h"

namespace {

const char kUsage[] =
    "usage: uart-station [--baud N] [--count N] [--timeout SECONDS] DEVICE\n"
    "Sends \"TEST_START\" with CR LF to the board on DEVICE and waits for its \"+START\" line.\n"
    "\n"
    "  -b, --baud <bps>         line speed: 4800, 9600, 19200, 38400, 57600, 115200,\n"
    "                           230400 or 460800 (default: 4800)\n"
    "  -c, --count <n>          handshakes to run, 1 to 100000 (default: 1)\n"
    "  -t, --timeout <seconds>  wait for each reply, 0.1 to 3600 (default: 3)\n"
    "  -h, --help               show this help\n"
    "  -V, --version            show the version\n"
    "\n"
    "Exit status: 0 every handshake answered, 1 some were not, 2 bad usage or device.\n";

int usage_error(const char *message, const char *value) {
    fprintf(stderr, "uart-station: %s%s%s\nTry 'uart-station --help'.\n", message, value ? ": " : "",
            value ? value : "");
    return 2;
}

bool parse_number(const char *text, double low, double high, double &out) {
    char *end = nullptr;
    errno = 0;
    out = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && out >= low && out <= high;
}

// Waits for a line with "+START"; returns the time it took, or a negative
// duration when none came.
std::chrono::duration<double, std::milli> await_reply(int fd, double timeout_s) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(timeout_s);
    while (Clock::now() < deadline) {
        if (strstr(uart_recv(fd), "+START") != nullptr) return Clock::now() - start;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::chrono::duration<double, std::milli>(-1);
}

}  // namespace

int main(int argc, char **argv) {
    const char *baud = "4800";
    double count = 1, timeout_s = 3;
    static const option kOptions[] = {
        {"baud", required_argument, nullptr, 'b'},    {"count", required_argument, nullptr, 'c'},
        {"timeout", required_argument, nullptr, 't'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, "b:c:t:hV", kOptions, nullptr)) != -1;) {
        switch (opt) {
            case 'b':
                baud = optarg;
                break;
            case 'c':
                if (!parse_number(optarg, 1, 100000, count) || count != static_cast<int>(count))
                    return usage_error("--count takes a whole number from 1 to 100000", optarg);
                break;
            case 't':
                if (!parse_number(optarg, 0.1, 3600, timeout_s))
                    return usage_error("--timeout takes seconds from 0.1 to 3600", optarg);
                break;
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            case 'V':
                puts("uart-station 1.0.0");
                return 0;
            default:
                return usage_error("unknown option or missing value", argv[optind - 1]);
        }
    }
    if (optind != argc - 1) return usage_error("give exactly one DEVICE", nullptr);
    const char *device = argv[optind];

    const int fd = uart_init(device, baud);
    if (fd < 0) {
        if (errno == EINVAL) return usage_error("unsupported speed", baud);
        fprintf(stderr, "uart-station: cannot open %s: %s\n", device, strerror(errno));
        return 2;
    }

    const int attempts = static_cast<int>(count);
    int answered = 0;
    double fastest = 0, slowest = 0, total = 0;
    for (int i = 1; i <= attempts; ++i) {
        uart_recv(fd);  // forget anything that came before the request
        if (uart_send(fd, "TEST_START\r\n", 12) != 1) {
            fprintf(stderr, "uart-station: cannot send on %s: %s\n", device, strerror(errno));
            uart_close(fd);
            return 2;
        }
        const double ms = await_reply(fd, timeout_s).count();
        if (ms < 0) {
            printf("attempt %d/%d: no reply within %g s\n", i, attempts, timeout_s);
            continue;
        }
        printf("attempt %d/%d: +START after %.0f ms\n", i, attempts, ms);
        fastest = answered == 0 || ms < fastest ? ms : fastest;
        slowest = ms > slowest ? ms : slowest;
        total += ms;
        ++answered;
        fflush(stdout);
    }
    uart_close(fd);
    printf("%d of %d answered", answered, attempts);
    if (answered > 0)
        printf("; reply time min %.0f ms, mean %.0f ms, max %.0f ms", fastest, total / answered, slowest);
    printf("\n");
    return answered == attempts ? 0 : 1;
}
