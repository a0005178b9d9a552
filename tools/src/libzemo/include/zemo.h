/* zemo.h - instrument-interface library.
 *
 * A program opens one interface by name, moves bytes to and from it, and closes it:
 *
 *     zemo_set_error_handler(ZEMO_ERROR_EXIT);
 *     zemo_handle h = zemo_open("sim/echo");
 *     zemo_write(h, "*IDN?\n", 6, ZEMO_END, NULL);
 *     uint64_t n = sizeof buf;
 *     zemo_read(h, buf, sizeof buf, 0, &n);
 *     zemo_close(h);
 *
 * Interface names have the form TRANSPORT/ADDRESS... and are passed as typed. The section
 * INTERFACE NAMES of zemo(3) gives the grammar of every transport and what each does; in
 * short, as the messages of zemo_open quote them:
 *
 *     sim/INSTRUMENT[/PARAMETER=VALUE]...   simulated instruments inside the library, so
 *                                           that programs run without hardware
 *     vxi11/HOST[:PORT][/DEVICE]            VXI-11
 *     socket/HOST[/PORT]                    raw SCPI socket
 *     usbtmc/N, usbtmc/usbtmcN or usbtmc//dev/usbtmcN   the Linux USBTMC driver
 *     serial/DEVICE[/SETTING]...            a serial line
 *     hislip/HOST[:PORT][/SUBADDRESS]       HiSLIP
 *
 * Connecting gives up after ZEMO_CONNECT_TIMEOUT milliseconds (default 5000) with ZEMO_TIMEOUT.
 *
 * Every call returns a status. Until an error handler is installed a failing call returns
 * ZEMO_FAILURE or ZEMO_TIMEOUT (zemo_open returns NULL); once a handler is installed, the
 * handler is called first and, if it returns, the call returns the status as before.
 *
 * Setting the environment variable ZEMO_TRACE to a file name (or "-" for standard error)
 * logs every call, its arguments and its results, one line per call, in the order made,
 * appended to the file (the variable is read once, when the library is loaded):
 *
 *     zemo_open("sim/source") = ZEMO_OK, h1
 *     zemo_read(h1, 16, 0, &received) = ZEMO_OK, received 16 "0123456789abcde\n"
 *     zemo_write(h1, "*IDN?\n", 6, 1, NULL) = ZEMO_TIMEOUT: REASON
 *
 * Handles appear as h1, h2 ... in the order opened; byte strings are quoted C-style and cut
 * after 64 bytes, marked by "..." after the closing quote.
 *
 * Different handles may be used from different threads at once, and interfaces may be opened
 * from several threads at once. One handle must not be used by two threads at the same time:
 * threads that share a handle take turns at it (with a mutex, say), and zemo_close must not
 * overlap another call on its handle. The error handler is the whole process's and runs in the
 * thread whose call failed (ZEMO_ERROR_EXIT ends the whole process from there). Trace lines of
 * calls made at once are written whole, in the order the calls end. ZEMO_CONNECT_TIMEOUT is
 * read by every zemo_open: change it with setenv() only while no other thread opens.
 */
#ifndef ZEMO_H
#define ZEMO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZEMO_BUILDING_LIBRARY)
#define ZEMO_API __attribute__((visibility("default")))
#else
#define ZEMO_API
#endif

/* An open interface. Opaque: pass it back unexamined. */
typedef struct zemo_link* zemo_handle;

typedef enum zemo_status {
    ZEMO_OK = 0,
    ZEMO_FAILURE = -1, /* the call failed: bad name, broken link, device error ... */
    ZEMO_TIMEOUT = -2  /* the I/O timeout ran out before the call completed */
} zemo_status;

/* Flag of zemo_write: the last byte of this write ends the message (END). */
#define ZEMO_END 1

/* Called for every failing call: the call's name ("zemo_read"), the interface name as given
 * to zemo_open (or "" when the handle is unknown), the status and a reason in words. */
typedef void (*zemo_error_handler)(const char* call, const char* interface_name, zemo_status status,
                                   const char* reason);

/* The standard handler: writes one line "zemo: CALL INTERFACE: REASON" to standard error
 * ("zemo: CALL: REASON" when the interface is unknown), control bytes in INTERFACE and REASON
 * written as C escapes (\r, \n, \t, \xHH), and ends the process through exit(), so buffered
 * standard output is flushed. Exit status 3 for a timeout, 2 for any other failure. */
ZEMO_API void ZEMO_ERROR_EXIT(const char* call, const char* interface_name, zemo_status status,
                              const char* reason);

/* Installs the handler for all later failing calls; NULL removes it. */
ZEMO_API zemo_status zemo_set_error_handler(zemo_error_handler handler);

/* Opens the interface NAME. Returns the handle, or NULL on failure. */
ZEMO_API zemo_handle zemo_open(const char* name);

/* Sets the I/O timeout in milliseconds for later calls on HANDLE (must be above 0). */
ZEMO_API zemo_status zemo_set_timeout(zemo_handle handle, int32_t milliseconds);

/* Sets the byte that ends a response for later reads on HANDLE: VXI-11 reads ask the device to
 * end at it (termchrset), and a socket read that ends with it reports ZEMO_REASON_TERMCHAR.
 * Until it is called, VXI-11 reads end at END alone and the socket's byte is '\n'. The other
 * transports end a response their own way and take the call without a change. */
ZEMO_API zemo_status zemo_set_termchar(zemo_handle handle, uint8_t byte);

/* Writes all COUNT bytes of DATA. FLAGS: ZEMO_END or 0. When WRITTEN is not NULL it receives
 * the number of bytes written: COUNT on success, 0 on failure. */
ZEMO_API zemo_status zemo_write(zemo_handle handle, const void* data, uint64_t count, int flags,
                                uint64_t* written);

/* Reads at most COUNT bytes into BUFFER and returns when the message ends, when COUNT bytes
 * have arrived, or, on a stream transport, when some bytes are available. FLAGS must be 0.
 * When RECEIVED is not NULL it receives the number of bytes placed at the start of BUFFER,
 * from 0 to COUNT, never more; 0 bytes is not a failure, and a failing read reports 0. */
ZEMO_API zemo_status zemo_read(zemo_handle handle, void* buffer, uint64_t count, int flags,
                               uint64_t* received);

/* Bits of the reason of zemo_read_message: why the read stopped. They combine as VXI-11 combines
 * them (END with the termination character is 6); 0 means a stream that paused. */
#define ZEMO_REASON_COUNT 1    /* COUNT bytes arrived */
#define ZEMO_REASON_TERMCHAR 2 /* the termination character ended the bytes */
#define ZEMO_REASON_END 4      /* the instrument ended its message (END) */

/* Like zemo_read with no flags; when REASON is not NULL it receives the ZEMO_REASON_ bits that
 * say why the read stopped, 0 on failure. */
ZEMO_API zemo_status zemo_read_message(zemo_handle handle, void* buffer, uint64_t count,
                                       uint64_t* received, int* reason);

/* Reads the status byte into STB without touching the output queue where the transport has a
 * status byte of its own; over a socket and a serial line it is emulated by sending "*STB?" and
 * reading the answer, which takes the next answer: not for use while one is pending. */
ZEMO_API zemo_status zemo_read_stb(zemo_handle handle, uint8_t* stb);

/* Triggers the device ("*TRG" over a socket and a serial line). */
ZEMO_API zemo_status zemo_trigger(zemo_handle handle);

/* Takes an exclusive lock on the device, waiting at most MILLISECONDS (0 or more) for another
 * client's lock to go; ZEMO_TIMEOUT when it does not. VXI-11 and HiSLIP only; a serial line is
 * this process's alone already, so the call succeeds at once. */
ZEMO_API zemo_status zemo_lock(zemo_handle handle, int32_t milliseconds);

/* Releases the lock; fails when the handle holds none. zemo_close releases it too. */
ZEMO_API zemo_status zemo_unlock(zemo_handle handle);

/* Puts the device in remote, or gives the front panel back (local). VXI-11, HiSLIP and USBTMC. */
ZEMO_API zemo_status zemo_remote(zemo_handle handle);
ZEMO_API zemo_status zemo_local(zemo_handle handle);

/* Waits at most MILLISECONDS (0 or more) for a service request from the device and stores the
 * status byte that came with it (RQS, 0x40, set) in STB. The handle's first wait enables
 * requests, then reads the status byte and returns at once when RQS is set already; a request
 * that arrives while nobody waits is kept for the next wait (one at most). ZEMO_TIMEOUT when no
 * request comes. VXI-11, HiSLIP and USBTMC. */
ZEMO_API zemo_status zemo_wait_srq(zemo_handle handle, int32_t milliseconds, uint8_t* stb);

/* Sends a device clear: the device empties its input and output queues. */
ZEMO_API zemo_status zemo_clear(zemo_handle handle);

/* Closes the interface and releases HANDLE, even when closing reports a failure. A closed
 * handle, like freed memory, refers to nothing any more: pass it to no call again, not even to
 * zemo_close. A NULL handle makes every call fail. */
ZEMO_API zemo_status zemo_close(zemo_handle handle);

/* The reason of the calling thread's last failed call, as the error handler receives it; "" when
 * its last call succeeded. The text stays valid until the thread's next call. */
ZEMO_API const char* zemo_last_error(void);

/* The library's version, such as "1.1.0". */
ZEMO_API const char* zemo_version(void);

#ifdef __cplusplus
}
#endif

#endif
