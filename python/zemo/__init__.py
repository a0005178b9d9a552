"""Talk to measurement instruments through libzemo.

    import zemo
    with zemo.open("vxi11/192.168.0.100/inst0", timeout=2000) as dmm:
        print(dmm.query("*IDN?"))
        dmm.write("CONF:VOLT:DC 10")
        volts = [float(dmm.query("READ?")) for _ in range(10)]
        wave = dmm.query_block("DATA? 4096")

zemo.open() takes an interface name, such as vxi11/HOST/inst0, hislip/HOST, socket/HOST,
serial/ttyUSB0 or usbtmc/0, as zemo-interfaces(7) spells them out, and sim/echo for a
simulated instrument inside the library. zemosim(1) serves simulated instruments over the
network transports and pseudo-terminals.

Every failing call raises zemo.Error, and zemo.Timeout, a subclass, when the timeout ran out;
both carry the failing call, the interface name and the reason. The package installs no error
handler in libzemo: failures never end the program.

Threads: one Instrument may be used by one thread at a time (threads that share one take turns
at it, with a lock of their own); different Instruments may be used from different threads at
once, as libzemo allows.

The package loads the shared library libzemo.so.1 as the system's loader finds it; the
environment variable ZEMO_LIBRARY, when set, names the file to load instead.
"""

from __future__ import annotations

import ctypes
import math
import os
import time
import types

from . import _library
from ._library import END, OK, REASON_COUNT, REASON_END, REASON_TERMCHAR, TIMEOUT
from ._version import __version__

__all__ = ["Error", "Instrument", "Lock", "Timeout", "open", "__version__"]

_lib = _library.load()

# A message to send: text, which is sent as ASCII, or bytes.
Message = str | bytes

# The most bytes one read asks for while reading an answer.
_CHUNK = 1048576

# The longest timeout libzemo takes, in milliseconds: an int32_t.
_MAX_MILLISECONDS = 2**31 - 1

# The longest one call of zemo_wait_srq waits, in milliseconds. libzemo carries on waiting when a
# signal interrupts it, and Python acts on a signal (raises KeyboardInterrupt for Ctrl-C) only
# between calls: a long wait is made of calls this long.
_WAIT_PIECE = 100


def _visible(text: str) -> str:
    """TEXT with its control characters written as C escapes, as the tools write them."""
    escapes = {"\r": "\\r", "\n": "\\n", "\t": "\\t"}
    return "".join(
        escapes.get(c, f"\\x{ord(c):02x}") if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text
    )


class Error(Exception):
    """A call that failed: CALL, on the interface INTERFACE, for REASON.

    call is the libzemo call that failed (such as "zemo_open") or the method that refused
    (such as "query_block"); interface is the interface name as given to zemo.open(); reason
    says why in words. str() gives one line as the tools write it:
    "zemo: CALL INTERFACE: REASON".
    """

    def __init__(self, call: str, interface: str, reason: str) -> None:
        super().__init__(call, interface, reason)
        self.call = call
        self.interface = interface
        self.reason = reason

    def __str__(self) -> str:
        where = f"{self.call} {_visible(self.interface)}" if self.interface else self.call
        return f"zemo: {where}: {_visible(self.reason)}"


class Timeout(Error):
    """A call whose timeout ran out before it completed (the tools' exit status 3)."""


def _failure(call: str, interface: str, status: int) -> Error:
    """The exception for the libzemo call CALL that returned STATUS, with this thread's reason."""
    reason = (_lib.zemo_last_error() or b"").decode("utf-8", "backslashreplace")
    kind = Timeout if status == TIMEOUT else Error
    return kind(call, interface, reason)


def _milliseconds(what: str, value: int, least: int) -> int:
    """VALUE, a number of milliseconds for WHAT, checked to lie between LEAST and what libzemo
    takes, so that it reaches the library unchanged."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what}: milliseconds must be an int, not {type(value).__name__}")
    if not least <= value <= _MAX_MILLISECONDS:
        raise ValueError(f"{what}: {value} milliseconds is not from {least} to {_MAX_MILLISECONDS}")
    return value


def _without_cr(answer: bytes) -> bytes:
    """ANSWER without the carriage return of a CRLF or CR terminator."""
    return answer[:-1] if answer.endswith(b"\r") else answer


def _block_header(data: bytes) -> tuple[int, int | None] | None:
    """Where the data of the IEEE 488.2 block that starts DATA begins, and its length (None for
    an indefinite block, "#0"); None while DATA is too short to tell. Raises ValueError when
    DATA starts no block."""
    if data[:1] not in (b"", b"#"):
        raise ValueError
    if len(data) < 2:
        return None
    if not data[1:2].isdigit():
        raise ValueError
    digits = data[1] - ord("0")
    if digits == 0:
        return 2, None
    length = data[2 : 2 + digits]
    if length and not length.isdigit():
        raise ValueError
    if len(length) < digits:
        return None
    return 2 + digits, int(length)


class Lock:
    """The exclusive lock Instrument.lock() took; as a context manager it releases the lock at
    the end of the with block:

        with inst.lock(2000):
            inst.write("SYST:PRES")
    """

    def __init__(self, instrument: Instrument) -> None:
        self._instrument = instrument

    def __enter__(self) -> Instrument:
        return self._instrument

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: types.TracebackType | None,
    ) -> None:
        self._instrument.unlock()


class Instrument:
    """An open instrument interface; zemo.open() makes one.

    It is a context manager that closes the interface at the end of the with block. Answers are
    read whole: query() and query_block() read until the answer ends, however many reads of the
    transport it takes, and bytes that arrive beyond an answer wait for the next read. Every
    failing call raises zemo.Error (zemo.Timeout for a timeout), and any call after close()
    raises zemo.Error too.

    One Instrument may be used by one thread at a time; different ones from different threads.
    """

    def __init__(self, name: str, timeout: int | None = None) -> None:
        """Opens the interface NAME and, when TIMEOUT is given, sets its I/O timeout in
        milliseconds; libzemo's is 5000. Raises zemo.Error when it cannot be opened (libzemo
        does not tell a connection that took too long from other failures here)."""
        self._name = name
        self._handle: int | None = None
        self._timeout = 5000
        # Bytes read beyond the last answer, which start the next, and the reason bits of the
        # read that brought them.
        self._left = b""
        self._left_reason = 0
        self._buffer = ctypes.create_string_buffer(_CHUNK)
        self._received = ctypes.c_uint64()
        self._reason = ctypes.c_int()
        handle = _lib.zemo_open(os.fsencode(name))
        if not handle:
            raise _failure("zemo_open", name, _library.FAILURE)
        self._handle = handle
        if timeout is not None:
            try:
                self.timeout = timeout
            except BaseException:
                self.close()
                raise

    def __enter__(self) -> Instrument:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: types.TracebackType | None,
    ) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            _lib.zemo_close(self._handle)

    def __repr__(self) -> str:
        state = "" if self._handle is not None else " (closed)"
        return f"<zemo.Instrument {self._name!r}{state}>"

    @property
    def name(self) -> str:
        """The interface name, as given to zemo.open()."""
        return self._name

    @property
    def timeout(self) -> int:
        """The I/O timeout of later calls in milliseconds, above 0; 5000 unless set."""
        return self._timeout

    @timeout.setter
    def timeout(self, milliseconds: int) -> None:
        milliseconds = _milliseconds("timeout", milliseconds, 1)
        self._call("timeout", "zemo_set_timeout", milliseconds)
        self._timeout = milliseconds

    def close(self) -> None:
        """Closes the interface, releasing a lock it holds; closing again does nothing. Raises
        zemo.Error when closing reports a failure, the interface being closed all the same."""
        handle, self._handle = self._handle, None
        self._left = b""
        if handle is not None:
            self._check("zemo_close", _lib.zemo_close(handle))

    def write(self, message: Message) -> None:
        """Sends MESSAGE, text (sent as ASCII) or bytes, as one message ending in END, a newline
        added when it lacks one."""
        self._send("write", message)

    def read(self, count: int = 1048576) -> bytes:
        """Reads one message: the bytes up to END, the termination character or COUNT bytes,
        whichever comes first, across as many reads of the transport as that takes. When the
        timeout ends it after some bytes, those are returned; with none, zemo.Timeout."""
        if count <= 0:
            raise ValueError(f"read: count {count} is not above 0")
        received = bytearray()
        while len(received) < count:
            try:
                data, reason = self._read_chunk("read", count - len(received))
            except Timeout:
                if received:
                    break
                raise
            received += data
            if reason & (REASON_END | REASON_TERMCHAR | REASON_COUNT):
                break
        return bytes(received)

    def query(self, message: Message) -> str:
        """Sends MESSAGE as write() does and returns the answer: the text up to its newline (or
        END), without the newline or a carriage return before it, decoded as ASCII with any
        other byte replaced by U+FFFD. For an answer holding a block, use query_block()."""
        self._send("query", message)
        return self._read_text("query").decode("ascii", "replace")

    def query_block(self, message: Message) -> bytes:
        """Sends MESSAGE as write() does and returns the data of the IEEE 488.2 block that
        answers, definite ("#" digit length data) or indefinite ("#0" data), without its header
        and the newline that ends the answer. Raises zemo.Error when the answer is no block, or
        holds more than the block, having read the whole answer."""
        self._send("query_block", message)
        return self._read_block("query_block")

    def read_stb(self) -> int:
        """The status byte, read as the transport reads it: over a socket or serial line by
        sending "*STB?", which takes the next answer, so not while one is pending."""
        stb = ctypes.c_uint8()
        self._call("read_stb", "zemo_read_stb", ctypes.byref(stb))
        return stb.value

    def trigger(self) -> None:
        """Triggers the device ("*TRG" over a socket or serial line)."""
        self._call("trigger", "zemo_trigger")

    def lock(self, milliseconds: int) -> Lock:
        """Takes an exclusive lock on the device, waiting at most MILLISECONDS (0 or more) for
        another client's lock to go, zemo.Timeout when it does not (VXI-11 and HiSLIP; on a
        serial line it succeeds at once). The result, used in a with statement, unlocks at its
        end."""
        self._call("lock", "zemo_lock", _milliseconds("lock", milliseconds, 0))
        return Lock(self)

    def unlock(self) -> None:
        """Releases the lock; zemo.Error when none is held."""
        self._call("unlock", "zemo_unlock")

    def remote(self) -> None:
        """Puts the device in remote (VXI-11, HiSLIP and USBTMC)."""
        self._call("remote", "zemo_remote")

    def local(self) -> None:
        """Gives the device's front panel back (VXI-11, HiSLIP and USBTMC)."""
        self._call("local", "zemo_local")

    def wait_srq(self, milliseconds: int) -> int:
        """Waits at most MILLISECONDS (0 or more) for a service request from the device and
        returns the status byte that came with it (RQS, 0x40, set); zemo.Timeout when none
        comes. The first wait enables requests and returns at once when the status byte has
        RQS set already, so that an operation that completed before the wait is not missed; a
        request that arrives while no wait runs is kept for the next one (the latest, one at
        most). VXI-11, HiSLIP and USBTMC; zemo.Error over a socket or serial line. The wait is
        made of waits of at most 0.1 s, so that Ctrl-C ends it at once.

        The way to wait for a long operation:

            inst.write("*CLS;*ESE 1;*SRE 32")
            inst.write("SWEEP;*OPC")
            inst.wait_srq(60000)
        """
        deadline = time.monotonic() + _milliseconds("wait_srq", milliseconds, 0) / 1000
        stb = ctypes.c_uint8()
        while True:
            left = max(0, math.ceil((deadline - time.monotonic()) * 1000))
            piece = min(left, _WAIT_PIECE)
            status = _lib.zemo_wait_srq(self._live("wait_srq"), piece, ctypes.byref(stb))
            if status == OK:
                return stb.value
            error = _failure("zemo_wait_srq", self._name, status)
            if error.reason != f"no service request within {piece} ms":
                raise error
            if piece == left:
                reason = f"no service request within {milliseconds} ms"
                raise Timeout("zemo_wait_srq", self._name, reason)

    def clear(self) -> None:
        """Sends a device clear, which empties the device's input and output queues, and drops
        the bytes read beyond the last answer."""
        self._left = b""
        self._call("clear", "zemo_clear")

    def _live(self, method: str) -> int:
        """The handle, for METHOD; zemo.Error when the interface is closed."""
        if self._handle is None:
            raise Error(method, self._name, "the instrument is closed")
        return self._handle

    def _check(self, call: str, status: int) -> None:
        """Raises the exception for the libzemo call CALL when STATUS is a failure."""
        if status != OK:
            raise _failure(call, self._name, status)

    def _call(self, method: str, call: str, *arguments: object) -> None:
        """Calls the libzemo call CALL on the handle, for METHOD, with ARGUMENTS after it."""
        self._check(call, getattr(_lib, call)(self._live(method), *arguments))

    def _send(self, method: str, message: Message) -> None:
        """Writes MESSAGE with END, a newline added when it lacks one, for METHOD."""
        data = message.encode("ascii") if isinstance(message, str) else bytes(message)
        if not data.endswith(b"\n"):
            data += b"\n"
        self._call(method, "zemo_write", data, len(data), END, None)

    def _keep(self, data: bytes, reason: int) -> None:
        """Puts DATA, which a read with REASON brought, back before what is left over."""
        if self._left:
            self._left = data + self._left
        else:
            self._left, self._left_reason = data, reason

    def _read_chunk(self, method: str, count: int) -> tuple[bytes, int]:
        """The next bytes of the instrument's output, at most COUNT, and the ZEMO_REASON_ bits
        of why they end there: the bytes left over from the last answer first, else one read."""
        if self._left:
            data, self._left = self._left[:count], self._left[count:]
            return data, REASON_COUNT if self._left else self._left_reason
        handle = self._live(method)
        buffer = self._buffer if count <= _CHUNK else ctypes.create_string_buffer(count)
        status = _lib.zemo_read_message(
            handle, buffer, count, ctypes.byref(self._received), ctypes.byref(self._reason)
        )
        self._check("zemo_read_message", status)
        return ctypes.string_at(buffer, self._received.value), self._reason.value

    def _read_text(self, method: str) -> bytes:
        """One answer read as text: the bytes up to its first newline, or to the END or
        termination character of a read once it has a byte, without its terminator. Bytes read
        beyond it are kept for the next read."""
        answer = b""
        while True:
            data, reason = self._read_chunk(method, _CHUNK)
            newline = data.find(b"\n")
            if newline >= 0:
                self._keep(data[newline + 1 :], reason)
                return _without_cr(answer + data[:newline])
            answer += data
            if answer and reason & (REASON_END | REASON_TERMCHAR):
                return _without_cr(answer)

    def _read_block(self, method: str) -> bytes:
        """One answer read as an IEEE 488.2 block, whose data it returns."""
        received, reason = b"", 0
        while True:
            try:
                header = _block_header(received)
            except ValueError:
                return self._refuse_answer(method, received, reason, "is no IEEE 488.2 block")
            if header is not None:
                break
            if received and (reason & (REASON_END | REASON_TERMCHAR) or b"\n" in received):
                return self._refuse_answer(method, received, reason, "is no IEEE 488.2 block")
            data, reason = self._read_chunk(method, _CHUNK)
            received += data
        start, length = header
        if length is None:
            return self._read_indefinite(method, bytearray(received[start:]), reason)
        block = bytearray(received[start:])
        while len(block) < length:
            data, reason = self._read_chunk(method, _CHUNK)
            block += data
        rest = bytes(block[length:])
        del block[length:]
        if rest or not reason & REASON_END:
            self._keep(rest, reason)
            trailer = self._read_text(method)
            if trailer:
                what = f"of {length} bytes is followed by {trailer[:40]!r}, not the end of the answer"
                raise Error(method, self._name, f"the block {what}")
        return bytes(block)

    def _read_indefinite(self, method: str, data: bytearray, reason: int) -> bytes:
        """The rest of an indefinite block, DATA of which was read by a read with REASON: it
        ends with the message (END), or on a transport without END at a newline that ends a
        read which stopped short of its count. The newline that ends the answer is dropped."""
        while not reason & REASON_END and not (not reason & REASON_COUNT and data.endswith(b"\n")):
            chunk, reason = self._read_chunk(method, _CHUNK)
            data += chunk
        return bytes(data[:-1] if data.endswith(b"\n") else data)

    def _refuse_answer(self, method: str, received: bytes, reason: int, what: str) -> bytes:
        """Reads the rest of the answer that RECEIVED starts and raises zemo.Error, for METHOD,
        saying that the answer is WHAT."""
        self._keep(received, reason)
        answer = self._read_text(method)
        raise Error(method, self._name, f"the answer {answer[:40]!r} {what}")


def open(name: str, timeout: int | None = None) -> Instrument:  # noqa: A001 - the API's name
    """Opens the interface NAME, such as "vxi11/192.168.0.100/inst0", and, when TIMEOUT is given,
    sets its I/O timeout in milliseconds. Raises zemo.Error when it cannot be opened."""
    return Instrument(name, timeout)
