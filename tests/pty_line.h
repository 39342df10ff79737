// Test support: pseudo-terminals standing in for UART cables, and helpers to
// watch the library from outside (its frames, threads, descriptors, stderr).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "factory_uartUtil.h"

namespace test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A pseudo-terminal pair: the station's end (master) and the path of the
// board's end (slave), which the library opens by name.
class PtyPair {
public:
    PtyPair() {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) == 0) {
            char name[64];
            if (ttyname_r(slave, name, sizeof name) == 0) path_ = name;
            close(slave);
        }
    }
    ~PtyPair() { close_master(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int master() const { return master_; }
    const std::string &path() const { return path_; }
    // Hangs the line up, as an unplugged cable or a vanished station does.
    void close_master() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    void send(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    // Bytes that arrive at the station within the timeout.
    std::string receive(std::chrono::milliseconds timeout) const {
        std::string got;
        pollfd p = {master_, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(timeout.count())) > 0) {
            char buf[4096];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int master_ = -1;
    std::string path_;
};

// A port opened by the library on a fresh pseudo-terminal.
class Port {
public:
    explicit Port(const char *baud = "4800") : fd_(uart_init(pty_.path().c_str(), baud)) {}
    ~Port() { close(); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    int fd() const { return fd_; }
    PtyPair &line() { return pty_; }
    void send(const std::string &bytes) const { pty_.send(bytes); }
    void close() {
        if (fd_ >= 0) uart_close(fd_);
        fd_ = -1;
    }
    // Waits until the receiver has taken every byte sent so far: the port's
    // input queue stays empty for a while.
    void settle() const {
        const auto deadline = Clock::now() + 5s;
        int quiet = 0;
        while (quiet < 10 && Clock::now() < deadline) {
            int queued = 0;
            ioctl(fd_, FIONREAD, &queued);
            quiet = queued == 0 ? quiet + 1 : 0;
            std::this_thread::sleep_for(5ms);
        }
    }

private:
    PtyPair pty_;
    int fd_;
};

inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline std::string unhex(const std::string &text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return out;
}

// The next frame through the hex view (which shows every byte, NUL
// included), or "" when none arrives within the timeout.
inline std::string take_frame(std::chrono::milliseconds timeout = 2000ms) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::string h = uart_recv_hex(-1);
        if (!h.empty() || Clock::now() >= deadline) return unhex(h);
        std::this_thread::sleep_for(1ms);
    }
}

inline int count_entries(const char *dir_path) {
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return -1;
    int n = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n;
}
inline int thread_count() {
    return count_entries("/proc/self/task");
}

// Call before taking a baseline of threads: a sanitizer starts a helper
// thread of its own when the process first creates one. The joined thread's
// task may outlive the join for a moment (qemu-user ends the host thread
// after it has woken the joiner), so wait until it has left.
inline void start_runtime_threads() {
    pid_t tid = 0;
    std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    const auto deadline = Clock::now() + 2s;
    while (access(task.c_str(), F_OK) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
}
// Less the one that reads the directory.
inline int fd_count() {
    return count_entries("/proc/self/fd") - 1;
}

// Waits for detached receiver threads to finish leaving.
inline int thread_count_settled(int expected) {
    const auto deadline = Clock::now() + 2s;
    int n = thread_count();
    while (n != expected && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        n = thread_count();
    }
    return n;
}

inline std::vector<std::string> tasks() {
    std::vector<std::string> all;
    DIR *dir = opendir("/proc/self/task");
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] != '.') all.push_back(e->d_name);
    }
    closedir(dir);
    return all;
}

// The thread started since before was taken: the one task that is new.
inline std::string new_task(const std::vector<std::string> &before) {
    for (const std::string &tid : tasks()) {
        if (std::find(before.begin(), before.end(), tid) == before.end()) return tid;
    }
    return "";
}

// Times the thread has been switched out: how often it woke up.
inline long context_switches(const std::string &tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string key;
    long total = 0, value;
    while (status >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
            status >> value;
            total += value;
        }
    }
    return total;
}

// CPU time used by the whole process so far.
inline std::chrono::microseconds process_cpu() {
    rusage u = {};
    getrusage(RUSAGE_SELF, &u);
    return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Captures what is written to standard error while it lives.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        saved_ = dup(2);
        file_ = tmpfile();
        dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        if (file_ != nullptr) fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string text() {
        restore();
        std::string out;
        rewind(file_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    FILE *file_ = nullptr;
};

}  // namespace test
