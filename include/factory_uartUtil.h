/*
 * factory_uartUtil: talk to a factory test station over a UART.
 *
 * A port is a tty opened at one of eight speeds in raw 8N1 mode, without flow
 * control. Each open port has a receiver thread that cuts the incoming bytes
 * into lines ended by CR LF and keeps the latest one; callers poll for it as
 * text or as upper-case hexadecimal, and send replies as raw bytes.
 *
 * Threading contract
 * - The store of received lines is process-wide and holds exactly one line:
 *   the latest, from whichever port it came. With two ports open their lines
 *   replace each other, and the fd given to uart_recv()/uart_recv_hex() does
 *   not select a port.
 * - uart_recv() and uart_recv_hex() return pointers into two static buffers
 *   owned by the library, one per function. A result stays unchanged until the
 *   next call of the same function from any thread. If more than one thread
 *   calls the same function, serialise those calls and copy the result before
 *   the next one.
 * - All functions may be called from any thread. uart_send() takes no lock;
 *   two concurrent sends on one port may interleave.
 * - Nothing here allocates memory on the heap, and nothing prints except the
 *   error tags documented below (through perror(), on standard error).
 */
#ifndef FACTORY_UARTUTIL_H
#define FACTORY_UARTUTIL_H

#include <pthread.h>
#include <termios.h>

#if defined(FACTORY_UARTUTIL_BUILD)
#define FACTORY_UARTUTIL_API __attribute__((visibility("default")))
#else
#define FACTORY_UARTUTIL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Port lifecycle and sending ---------------------------------------- */

/*
 * Opens the tty at device_path (O_RDWR | O_NOCTTY, blocking), applies the
 * initial line profile of init_serial() at the speed given by baud_text,
 * discards pending input and output, and starts the port's receiver thread
 * (real-time FIFO priority 10 where the process may have it).
 *
 * baud_text is decimal: "4800", "9600", "19200", "38400", "57600", "115200",
 * "230400" or "460800". Leading white space and a '+' are accepted, and
 * parsing stops at the first character that is not a digit.
 *
 * Returns the port descriptor (>= 0), owned by the caller and released with
 * uart_close(); or -1 with errno set:
 *   EINVAL  baud_text is NULL or not one of the speeds above (the device is
 *           not opened), or device_path is NULL;
 *   any error of open(2), such as ENOENT or EACCES;
 *   ENOTTY  (or another tcgetattr/tcsetattr error) when the line settings
 *           cannot be applied, for example because the file is not a tty; the
 *           descriptor is closed again.
 * The port is returned even if its receiver cannot be started (no thread
 * could be created, or 32 ports are already open); then no lines arrive
 * from it. Prints nothing.
 */
FACTORY_UARTUTIL_API int uart_init(const char *device_path, const char *baud_text);

/*
 * Stops the port's receiver and closes fd. When it returns, the receiver no
 * longer reads the port and submits no further line; it returns within
 * milliseconds even on a silent line. Does nothing if fd is negative.
 * A descriptor that uart_init() did not return is simply closed.
 */
FACTORY_UARTUTIL_API void uart_close(int fd);

/*
 * Writes length bytes from data to fd, continuing short writes, then waits
 * until they have been transmitted (tcdrain). No terminator is added.
 * Returns 1 when all bytes were written (also when length is 0 or negative:
 * nothing is written), or -1 as soon as one write returns 0 or fails, with
 * errno from write(2) (EBADF for a closed fd, EFAULT for NULL data); bytes
 * already written stay written and the count is not reported. An interrupted
 * write is not retried. Blocks while the line's output buffer is full.
 */
FACTORY_UARTUTIL_API int uart_send(int fd, const char *data, int length);

/*
 * Asks for SCHED_FIFO at the given priority for thread. The result is not
 * reported: without the privilege the thread keeps its policy.
 */
FACTORY_UARTUTIL_API void set_realtime_priority(pthread_t thread, int priority);

/* ---- Line settings ------------------------------------------------------ */

/*
 * Applies the initial line profile to fd: raw (cfmakeraw), the given speed
 * code (B4800 ... B460800) in both directions, 8 data bits, no parity, one
 * stop bit, CREAD and CLOCAL, no RTS/CTS or XON/XOFF flow control, no
 * echo, line editing, signal characters or output processing, VMIN 1 and
 * VTIME 50. A speed the platform refuses leaves the speed as it was.
 * Returns 0, or -1 with errno from tcgetattr/tcsetattr (ENOTTY for a file
 * that is not a tty). Prints nothing.
 */
FACTORY_UARTUTIL_API int init_serial(int fd, speed_t speed);

/*
 * Switches fd to raw mode: cfmakeraw, no RTS/CTS or XON/XOFF flow control,
 * VMIN 1 and VTIME 0. Speed, CSTOPB, CREAD and CLOCAL are kept.
 * On failure prints "tcgetattr: <error>" or "tcsetattr raw: <error>" on
 * standard error and leaves the line as it was.
 */
FACTORY_UARTUTIL_API void uart_set_raw(int fd);

/*
 * Switches fd to canonical (line) mode: ICANON on, ECHO, ECHONL and ISIG
 * off, VEOL LF, no EOF character, VMIN 0 and VTIME 0, no output
 * processing. Speed, c_cflag and c_iflag are kept. The receiver then gets
 * each line only once its LF has arrived; its framing is the same.
 * On failure prints "tcgetattr: <error>" or "tcsetattr canonical: <error>".
 */
FACTORY_UARTUTIL_API void uart_set_canonical(int fd);

/* ---- Received lines ----------------------------------------------------- */

/*
 * Takes the latest received line for the text view. A line is stored with
 * its CR LF doubled to CR CR LF LF: "TEST_START\r\n" is returned as
 * "TEST_START\r\r\n\n". Returns the library's static text buffer holding the
 * line followed by a NUL, or "" if no new line has arrived since the last
 * call. The line may itself contain NUL bytes; uart_recv_hex() shows them.
 * Each line is returned once; a newer line replaces one not yet taken.
 * Lines are at most 4095 bytes as returned: a longer one is cut to its first
 * 4091 bytes followed by CR CR LF LF. The fd is not used.
 */
FACTORY_UARTUTIL_API char *uart_recv(int fd);

/*
 * Like uart_recv(), for the hex view, which is taken independently of the
 * text view: returns the library's static hex buffer with two upper-case
 * hexadecimal digits per byte of the line ("544553545F53544152540D0D0A0A"
 * for "TEST_START\r\n"), or "" if no new line has arrived since the last
 * call of this function. The fd is not used.
 */
FACTORY_UARTUTIL_API char *uart_recv_hex(int fd);

/* ---- Board preparation -------------------------------------------------- */

/*
 * Frees device_path by sending SIGKILL to every process that has it open,
 * found through the fd links under /proc. The path is compared byte for byte
 * with the link targets, so pass it as the kernel shows it ("/dev/ttyS0").
 * Process 1 and the calling process are never signalled.
 * Returns the number of signals sent, one per matching descriptor (a process
 * holding the device three times counts up to 3); 0 when there is none, when
 * /proc cannot be read, or when device_path is NULL. Does not wait for the
 * victims to exit. Prints nothing.
 */
FACTORY_UARTUTIL_API int kill_tty_user(const char *device_path);

/*
 * Starts a 200 kHz square wave (period 5000 ns, duty cycle 2500 ns, normal
 * polarity) on channel 2 of /sys/class/pwm/pwmchip0, exporting the channel
 * first if pwm2 does not exist. The settings are written by shell commands
 * (system(3)); their failures are not reported, but the shell prints its own
 * messages on standard error. The channel stays enabled after the process
 * ends.
 */
FACTORY_UARTUTIL_API void pwm_uart_init(void);

#ifdef __cplusplus
}
#endif

#endif /* FACTORY_UARTUTIL_H */
