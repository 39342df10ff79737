/* A plain C program using the library: the header compiles as C99 and the
 * library loads without any C++ run time. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "factory_uartUtil.h"

int main(void) {
    if (uart_init("/dev/null", "4800") != -1 || errno != ENOTTY) {
        fprintf(stderr, "uart_init on /dev/null did not fail with ENOTTY\n");
        return 1;
    }
    if (strcmp(uart_recv(-1), "") != 0 || strcmp(uart_recv_hex(-1), "") != 0) {
        fprintf(stderr, "the store is not empty at start\n");
        return 1;
    }
    if (uart_send(-1, "", 0) != 1) {
        fprintf(stderr, "an empty send did not succeed\n");
        return 1;
    }
    uart_close(-1);
    puts("c_consumer: ok");
    return 0;
}
