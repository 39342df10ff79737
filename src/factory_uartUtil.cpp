// factory_uartUtil: the serial side of a board's factory test.
//
// The unit reads in the order the data flows: line settings, the receive path
// (line assembler, frame store, accessors), the port lifecycle and sending,
// board preparation (port takeover, PWM output) and the handshake responder.
//
// Built without exceptions and RTTI, linked as C: it needs libc and the thread
// library only, and allocates nothing on the heap. All shared state is static.

#include "factory_uartUtil.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ---- Line settings --------------------------------------------------------

struct BaudRow {
    unsigned long baud;
    speed_t speed;
};

constexpr BaudRow kBaudTable[] = {
    {4800, B4800},   {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
};

// Decimal text to a speed code, 0 when unsupported. strtoul accepts leading
// white space and a sign and stops at the first non-digit; "-4800" wraps to a
// huge number and so matches no row.
speed_t baud_str2speed(const char *baud_text) {
    const unsigned long baud = strtoul(baud_text, nullptr, 10);
    for (const BaudRow &row : kBaudTable) {
        if (row.baud == baud) return row.speed;
    }
    return 0;
}

}  // namespace

int init_serial(int fd, speed_t speed) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return -1;
    cfmakeraw(&tio);
    // A speed the platform refuses leaves the one that was read.
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 50;  // tenths of a second
    return tcsetattr(fd, TCSANOW, &tio);
}

void uart_set_raw(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        perror("tcgetattr");
        return;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) perror("tcsetattr raw");
}

void uart_set_canonical(int fd) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        perror("tcgetattr");
        return;
    }
    tio.c_lflag |= ICANON;
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ISIG);
    tio.c_cc[VEOL] = '\n';
    tio.c_cc[VEOF] = 0;  // a control character of 0 is disabled on Linux
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) perror("tcsetattr canonical");
}

// ---- Receive path ---------------------------------------------------------

namespace {

constexpr int kLineCapacity = 4096;  // a receiver's line assembler
// Frames are at most one byte shorter than the store's buffers, so that the
// text result always has room for its NUL.
constexpr int kFrameMax = kLineCapacity - 1;
constexpr char kFrameEnd[] = "\r\r\n\n";  // a line's CR LF, doubled
constexpr int kFrameEndLength = 4;

// The frame store: one frame for the whole process, the latest, pending
// separately for the text view (g_rxlen) and the hex view (g_rxHexlen).
// g_rx_mutex guards it, both result buffers and the port table below.
char g_rxbuf[kLineCapacity];
char g_rxbuf_hex[kLineCapacity];
int g_rxlen;
int g_rxHexlen;
pthread_mutex_t g_rx_mutex = PTHREAD_MUTEX_INITIALIZER;

// Stores a complete line as the new frame, replacing whatever was pending.
// The line's CR LF becomes CR CR LF LF. A line whose frame would not fit is
// cut to its head, keeping the doubled line end.
void submit_frame_with_fix(const char *data, int length) {
    int n = length < 0 ? 0 : length;
    pthread_mutex_lock(&g_rx_mutex);
    if (n >= 2 && data[n - 2] == '\r' && data[n - 1] == '\n') {
        int body = n - 2;
        if (body > kFrameMax - kFrameEndLength) body = kFrameMax - kFrameEndLength;
        memcpy(g_rxbuf, data, static_cast<size_t>(body));
        memcpy(g_rxbuf + body, kFrameEnd, kFrameEndLength);
        n = body + kFrameEndLength;
    } else {
        if (n > kFrameMax) n = kFrameMax;
        memcpy(g_rxbuf, data, static_cast<size_t>(n));
    }
    g_rxlen = n;
    g_rxHexlen = n;
    memcpy(g_rxbuf_hex, g_rxbuf, static_cast<size_t>(n));
    pthread_mutex_unlock(&g_rx_mutex);
}

// Collects bytes until they end in CR LF. A line that reaches the capacity
// without its line end is abandoned and overwritten from the start; the test
// for CR LF comes after that wrap, so a line whose length is a multiple of
// the capacity is never delivered.
struct LineAssembler {
    char bytes[kLineCapacity];
    int position;

    void push(unsigned char byte) {
        bytes[position++] = static_cast<char>(byte);
        if (position == kLineCapacity) position = 0;
        if (position >= 2 && bytes[position - 2] == '\r' && bytes[position - 1] == '\n') {
            submit_frame_with_fix(bytes, position);
            position = 0;
        }
    }
};

}  // namespace

#ifdef FACTORY_UARTUTIL_TEST_SEAM
// Only in test programs that compile this unit into themselves (the fuzzer):
// bytes go through one line assembler as a receiver would push them, without
// a port or a thread. A reset empties the assembler and the store.
namespace factory_uartUtil_seam {
LineAssembler g_line;
void reset() {
    g_line.position = 0;
    pthread_mutex_lock(&g_rx_mutex);
    g_rxlen = 0;
    g_rxHexlen = 0;
    pthread_mutex_unlock(&g_rx_mutex);
}
void push(const unsigned char *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) g_line.push(bytes[i]);
}
}  // namespace factory_uartUtil_seam
#endif

char *uart_recv(int /*fd*/) {
    static char ret[kLineCapacity];
    pthread_mutex_lock(&g_rx_mutex);
    if (g_rxlen > 0) {
        memcpy(ret, g_rxbuf, static_cast<size_t>(g_rxlen));
        ret[g_rxlen] = '\0';
        g_rxlen = 0;
    } else {
        ret[0] = '\0';
    }
    pthread_mutex_unlock(&g_rx_mutex);
    return ret;
}

char *uart_recv_hex(int /*fd*/) {
    static char ret[3 * kLineCapacity + 1];
    static const char kDigits[] = "0123456789ABCDEF";
    pthread_mutex_lock(&g_rx_mutex);
    for (int i = 0; i < g_rxHexlen; ++i) {
        const unsigned char byte = static_cast<unsigned char>(g_rxbuf_hex[i]);
        ret[2 * i] = kDigits[byte >> 4];
        ret[2 * i + 1] = kDigits[byte & 0x0F];
    }
    ret[2 * g_rxHexlen] = '\0';
    g_rxHexlen = 0;
    pthread_mutex_unlock(&g_rx_mutex);
    return ret;
}

// ---- Port lifecycle and sending -------------------------------------------

namespace {

constexpr int kMaxPorts = 32;
constexpr int kReceiverPriority = 10;
// A hung-up or vanished line fails every read at once. The receiver runs at
// real-time priority, so it must pause before it tries again.
constexpr int kBackoffMs = 100;
// Bytes read between two looks at the wake descriptor, so that a flooding
// peer cannot hold off uart_close.
constexpr int kBurstMax = 512;

// One open port with a receiver. The receiver reads its own non-blocking
// description of the tty (rx_fd), never the caller's descriptor: it can sleep
// in poll() without ever blocking in read(), and it cannot read a descriptor
// number that the caller has closed and the process has reused.
struct Port {
    bool in_use;
    bool stopping;   // uart_close has asked the receiver to leave
    bool receiving;  // the receiver thread has not left yet
    int fd;          // the caller's port descriptor
    int rx_fd;
    int wake_fd;  // eventfd that wakes the receiver to leave
};

Port g_ports[kMaxPorts];
pthread_cond_t g_rx_left = PTHREAD_COND_INITIALIZER;  // a receiver has left

void close_keeping_errno(int fd) {
    const int saved = errno;
    close(fd);
    errno = saved;
}

// Returns true when the port is drained (or another reader got there first),
// false when a read failed or saw end of file: the line has hung up.
bool receive_burst(int rx_fd, LineAssembler &line) {
    for (int i = 0; i < kBurstMax; ++i) {
        unsigned char byte;
        const ssize_t n = read(rx_fd, &byte, 1);
        if (n == 1) {
            line.push(byte);
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    return true;
}

// Sleeps for the back-off unless woken first; returns true when woken.
bool back_off(int wake_fd) {
    pollfd wake = {wake_fd, POLLIN, 0};
    return poll(&wake, 1, kBackoffMs) > 0;
}

void *rx_thread(void *arg) {
    Port *port = static_cast<Port *>(arg);
    // Fixed from before the thread was created until it has left.
    const int rx_fd = port->rx_fd;
    const int wake_fd = port->wake_fd;
    LineAssembler line = {};
    for (;;) {
        pollfd fds[2] = {{wake_fd, POLLIN, 0}, {rx_fd, POLLIN, 0}};
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && fds[0].revents != 0) break;
        if (ready > 0 && fds[1].revents == 0) continue;
        const bool drained = ready > 0 && receive_burst(rx_fd, line);
        if (!drained && back_off(wake_fd)) break;
    }
    pthread_mutex_lock(&g_rx_mutex);
    port->receiving = false;
    pthread_cond_broadcast(&g_rx_left);
    pthread_mutex_unlock(&g_rx_mutex);
    return nullptr;
}

// The receiver's own description of the tty behind fd, or -1. Opening the
// path again gives a second description of the same device with its own
// O_NONBLOCK; a path that now names another device is refused.
int open_receiver_side(int fd, const char *device_path) {
    const int rx_fd = open(device_path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (rx_fd < 0) return -1;
    struct stat port_stat, rx_stat;
    if (fstat(fd, &port_stat) != 0 || fstat(rx_fd, &rx_stat) != 0 || port_stat.st_rdev != rx_stat.st_rdev) {
        close(rx_fd);
        return -1;
    }
    return rx_fd;
}

void wake_receiver(int wake_fd) {
    const uint64_t one = 1;
    while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// With g_rx_mutex held: asks the port's receiver to leave, waits until it
// has, and frees the slot. Returns the descriptors the caller must close.
void stop_receiver_locked(Port &port, int &rx_fd, int &wake_fd) {
    port.stopping = true;
    wake_receiver(port.wake_fd);
    while (port.receiving) pthread_cond_wait(&g_rx_left, &g_rx_mutex);
    rx_fd = port.rx_fd;
    wake_fd = port.wake_fd;
    port = Port{};
}

Port *find_port_locked(int fd) {
    for (Port &port : g_ports) {
        if (port.in_use && !port.stopping && port.fd == fd) return &port;
    }
    return nullptr;
}

Port *find_free_port_locked() {
    for (Port &port : g_ports) {
        if (!port.in_use) return &port;
    }
    return nullptr;
}

// Starts the receiver of a freshly opened port. Failing here leaves the port
// open without a receiver, as if the thread could not be created.
void start_receiver(int fd, const char *device_path) {
    const int rx_fd = open_receiver_side(fd, device_path);
    const int wake_fd = eventfd(0, EFD_CLOEXEC);
    int stale_rx_fd = -1, stale_wake_fd = -1;
    pthread_t thread;
    bool started = false;

    pthread_mutex_lock(&g_rx_mutex);
    // open() just handed out fd, so a port still listed under that number was
    // closed behind the library's back: retire its receiver.
    if (Port *stale = find_port_locked(fd)) stop_receiver_locked(*stale, stale_rx_fd, stale_wake_fd);
    Port *port = find_free_port_locked();
    if (port != nullptr && rx_fd >= 0 && wake_fd >= 0) {
        *port = Port{true, false, true, fd, rx_fd, wake_fd};
        started = pthread_create(&thread, nullptr, rx_thread, port) == 0;
        if (!started) *port = Port{};
    }
    pthread_mutex_unlock(&g_rx_mutex);

    if (stale_rx_fd >= 0) close(stale_rx_fd);
    if (stale_wake_fd >= 0) close(stale_wake_fd);
    if (started) {
        set_realtime_priority(thread, kReceiverPriority);
        pthread_detach(thread);
        return;
    }
    if (rx_fd >= 0) close(rx_fd);
    if (wake_fd >= 0) close(wake_fd);
}

}  // namespace

void set_realtime_priority(pthread_t thread, int priority) {
    sched_param param = {};
    param.sched_priority = priority;
    pthread_setschedparam(thread, SCHED_FIFO, &param);
}

int uart_init(const char *device_path, const char *baud_text) {
    const speed_t speed = baud_text != nullptr ? baud_str2speed(baud_text) : 0;
    if (speed == 0 || device_path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const int fd = open(device_path, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    if (init_serial(fd, speed) != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    tcdrain(fd);
    start_receiver(fd, device_path);
    return fd;
}

void uart_close(int fd) {
    if (fd < 0) return;
    int rx_fd = -1, wake_fd = -1;
    pthread_mutex_lock(&g_rx_mutex);
    if (Port *port = find_port_locked(fd)) stop_receiver_locked(*port, rx_fd, wake_fd);
    pthread_mutex_unlock(&g_rx_mutex);
    if (rx_fd >= 0) close(rx_fd);
    if (wake_fd >= 0) close(wake_fd);
    close(fd);
}

int uart_send(int fd, const char *data, int length) {
    if (data == nullptr && length > 0) {
        errno = EFAULT;
        return -1;
    }
    int sent = 0;
    while (sent < length) {
        const ssize_t n = write(fd, data + sent, static_cast<size_t>(length - sent));
        if (n <= 0) return -1;
        sent += static_cast<int>(n);
    }
    tcdrain(fd);
    return 1;
}

// ---- Board preparation ----------------------------------------------------

int kill_tty_user(const char *device_path) {
    if (device_path == nullptr) return 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return 0;
    const pid_t self = getpid();
    int kills = 0;
    while (const dirent *process = readdir(proc)) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9') continue;
        char fd_dir[64];
        if (snprintf(fd_dir, sizeof fd_dir, "/proc/%s/fd", process->d_name) >=
            static_cast<int>(sizeof fd_dir))
            continue;
        DIR *fds = opendir(fd_dir);
        if (fds == nullptr) continue;  // gone, or not ours to look at
        const pid_t pid = atoi(process->d_name);
        while (const dirent *entry = readdir(fds)) {
            if (entry->d_name[0] == '.') continue;
            char link[256];
            if (snprintf(link, sizeof link, "%s/%s", fd_dir, entry->d_name) >= static_cast<int>(sizeof link))
                continue;
            char target[256];
            // A target that fills the buffer may have been cut short, and a cut
            // target must not match a path that equals its head.
            const ssize_t n = readlink(link, target, sizeof target);
            if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) continue;
            target[n] = '\0';
            if (strcmp(target, device_path) != 0) continue;
            // Never init, and never the caller, which may hold the device itself.
            if (pid > 1 && pid != self) {
                kill(pid, SIGKILL);
                ++kills;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return kills;
}

#define PWM_CHIP "/sys/class/pwm/pwmchip0"

namespace {

void run_shell(const char *command) {
    const int status = system(command);  // the shell reports its own failures
    (void)status;
}

}  // namespace

// sysfs creates pwm2/ when the channel is exported. The period goes before
// the duty cycle (a duty cycle longer than the period is refused), and the
// polarity before enable (it cannot change while the output runs).
void pwm_uart_init(void) {
    struct stat channel;
    if (stat(PWM_CHIP "/pwm2", &channel) != 0) run_shell("echo 2 > " PWM_CHIP "/export");
    run_shell("echo 5000 > " PWM_CHIP "/pwm2/period");
    run_shell("echo 2500 > " PWM_CHIP "/pwm2/duty_cycle");
    run_shell("echo normal > " PWM_CHIP "/pwm2/polarity");
    run_shell("echo 1 > " PWM_CHIP "/pwm2/enable");
}

// ---- Handshake responder --------------------------------------------------

// A test program that compiles this unit into itself keeps its own main.
#ifndef FACTORY_UARTUTIL_TEST_SEAM

// The program a factory board runs: take the first serial port over, start the
// PWM output, and answer the station's start request once a second.
FACTORY_UARTUTIL_API int main(int /*argc*/, char ** /*argv*/) {
    static const char kDevice[] = "/dev/ttyS0";
    static const char kRequest[] = "TEST_START";
    static const char kReply[] = {'+', 'S', 'T', 'A', 'R', 'T', '\r', '\n'};

    // Give the killed holders a moment to let go of the line.
    if (kill_tty_user(kDevice) > 0) usleep(200000);
    pwm_uart_init();
    const int fd = uart_init(kDevice, "4800");
    if (fd < 0) {
        perror("uart_init");
        return -1;
    }
    uart_set_raw(fd);
    for (;;) {
        sleep(1);
        const char *line = uart_recv(fd);
        uart_recv_hex(fd);  // only to take the hex view as well
        if (strstr(line, kRequest) != nullptr) uart_send(fd, kReply, sizeof kReply);
    }
}
#endif
