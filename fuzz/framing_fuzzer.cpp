// Fuzzes the receive path: arbitrary byte streams go through the library's
// own line assembler and frame store, and every frame that uart_recv and
// uart_recv_hex hand out is compared with a model of the line rules kept
// here, written from the rules and not from the library's code.
//
// Input: two header bytes, then the stream. The header picks the chunk size
// in which the stream is pushed (1 to 16384 bytes) and, after each chunk,
// which of the two views is polled.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "factory_uartUtil.h"

namespace factory_uartUtil_seam {
void reset();
void push(const unsigned char *bytes, size_t count);
}  // namespace factory_uartUtil_seam

namespace {

// The line rules, as a station engineer reads them:
// - a line ends with CR LF; its frame has the CR LF doubled (CR CR LF LF);
// - lines of up to 4093 bytes, CR LF included, come whole; lines of 4094 and
//   4095 bytes keep their first 4091 bytes before the doubled line end;
// - the assembler holds 4096 bytes: a run that reaches 4096 bytes without a
//   line end is dropped and collection starts again with the next byte;
// - the store keeps only the latest frame, pending once for each view.
struct Model {
    std::string line;
    std::string text, hex;  // pending frames; a frame is never empty
    bool text_pending = false, hex_pending = false;

    void push(unsigned char byte) {
        line.push_back(static_cast<char>(byte));
        if (line.size() == 4096) {
            line.clear();
            return;
        }
        const size_t n = line.size();
        if (n < 2 || line[n - 2] != '\r' || line[n - 1] != '\n') return;
        const std::string frame = (n <= 4093 ? line.substr(0, n - 2) : line.substr(0, 4091)) + "\r\r\n\n";
        text = hex = frame;
        text_pending = hex_pending = true;
        line.clear();
    }
};

std::string upper_hex(const std::string &bytes) {
    std::string out;
    char digits[3];
    for (unsigned char c : bytes) {
        snprintf(digits, sizeof digits, "%02X", c);
        out += digits;
    }
    return out;
}

[[noreturn]] void finding(const char *what, const std::string &expected, const char *got, size_t got_length) {
    fprintf(stderr, "framing_fuzzer: %s\n  expected (%zu bytes): %s\n  got (%zu bytes): %s\n", what,
            expected.size(), upper_hex(expected).c_str(), got_length,
            upper_hex(std::string(got, got_length)).c_str());
    abort();
}

void check_text(Model &model) {
    const char *got = uart_recv(-1);
    if (!model.text_pending) {
        if (got[0] != '\0') finding("text view gave a frame when none was pending", "", got, strlen(got));
        return;
    }
    // The text view holds every byte of the frame, NULs included, then a NUL.
    const std::string &want = model.text;
    if (memcmp(got, want.data(), want.size()) != 0 || got[want.size()] != '\0')
        finding("text view differs", want, got, want.size() + 1);
    model.text_pending = false;
}

void check_hex(Model &model) {
    const char *got = uart_recv_hex(-1);
    const std::string want = model.hex_pending ? upper_hex(model.hex) : "";
    if (want != got) finding("hex view differs", want, got, strlen(got));
    model.hex_pending = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const unsigned schedule = data[0] & 3u;
    const size_t chunk = 1 + (static_cast<size_t>(data[0] >> 2) << 8 | data[1]);
    data += 2;
    size -= 2;

    factory_uartUtil_seam::reset();
    Model model;
    for (size_t at = 0, round = 0; at < size; at += chunk, ++round) {
        const size_t n = size - at < chunk ? size - at : chunk;
        factory_uartUtil_seam::push(data + at, n);
        for (size_t i = 0; i < n; ++i) model.push(data[at + i]);
        const unsigned poll = (schedule + round) & 3u;
        if (poll & 1u) check_text(model);
        if (poll & 2u) check_hex(model);
    }
    check_text(model);
    check_hex(model);
    return 0;
}
