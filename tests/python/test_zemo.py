"""The package zemo over the real libzemo, against zemosim over VXI-11, the socket, HiSLIP and a
pseudo-terminal, and against the library's simulated echo: one test per behaviour, each run
over every transport that shows it."""

import signal
import subprocess
import sys
import time

import pytest
from conftest import SIM_NAME, ZEMOSIM_TRANSPORTS

import zemo

IDN = "ZEMO,zemosim,0,1.0"

# A block of 3,000,001 bytes counting 0 to 255 over and over, as zemosim's "DATA?" sends it:
# every 256th byte is a newline.
BLOCK_SIZE = 3000001
BLOCK = bytes(range(256)) * (BLOCK_SIZE // 256) + bytes(range(BLOCK_SIZE % 256))


def test_version() -> None:
    assert zemo.__version__ == "1.2.0"


def test_query(name: str) -> None:
    expected = "*IDN?" if name == SIM_NAME else IDN
    with zemo.open(name, timeout=2000) as inst:
        assert [inst.query("*IDN?") for _ in range(3)] == [expected] * 3


@pytest.mark.parametrize(
    "transport, message",
    [(transport, f"DATA? {BLOCK_SIZE}") for transport in ZEMOSIM_TRANSPORTS]
    + [
        ("sim", b"#7%d%s\n" % (BLOCK_SIZE, BLOCK)),
        ("sim", b"#0" + BLOCK + b"\n"),
    ],
)
def test_query_block(name: str, message: str) -> None:
    with zemo.open(name, timeout=5000) as inst:
        assert inst.query_block(message) == BLOCK
        # The answer was read to its end: the next one is whole.
        assert inst.query("*IDN?") == ("*IDN?" if name == SIM_NAME else IDN)


@pytest.mark.parametrize(
    "answer, reason",
    [
        ("1.5", "the answer b'1.5' is no IEEE 488.2 block"),
        ("#", "the answer b'#' is no IEEE 488.2 block"),
        ("#2A7", "the answer b'#2A7' is no IEEE 488.2 block"),
        ("#12abcd", "the block of 2 bytes is followed by b'cd', not the end of the answer"),
    ],
)
def test_query_block_refuses(answer: str, reason: str) -> None:
    with zemo.open(SIM_NAME) as inst:
        with pytest.raises(zemo.Error) as raised:
            inst.query_block(answer)
        assert (raised.value.call, raised.value.reason) == ("query_block", reason)
        assert inst.query("*IDN?") == "*IDN?"


def test_timeout(transport: str, zemosim: dict[tuple[str, str], str]) -> None:
    name = "sim/echo/timeout=read" if transport == "sim" else zemosim["slow", transport]
    with zemo.open(name, timeout=300) as inst:
        start = time.monotonic()
        with pytest.raises(zemo.Timeout) as raised:
            inst.query("SLOW?")
        assert time.monotonic() - start < 0.5
        assert (raised.value.call, raised.value.interface) == ("zemo_read_message", name)


@pytest.mark.parametrize(
    "transport, form",
    [
        ("vxi11", "vxi11/HOST[:PORT][/DEVICE]"),
        ("socket", "socket/HOST[/PORT]"),
        ("hislip", "hislip/HOST[:PORT][/SUBADDRESS]"),
        ("serial", "serial/DEVICE[/SETTING]..."),
        ("sim", "sim/sink, sim/source or sim/echo"),
    ],
)
def test_bad_name(transport: str, form: str) -> None:
    name = f"{transport}/"
    with pytest.raises(zemo.Error) as raised:
        zemo.open(name)
    assert type(raised.value) is zemo.Error
    assert (raised.value.call, raised.value.interface) == ("zemo_open", name)
    assert form in raised.value.reason
    assert str(raised.value) == f"zemo: zemo_open {name}: {raised.value.reason}"


@pytest.mark.parametrize("transport", ["vxi11", "socket", "hislip", "serial", "sim"])
def test_status_byte(name: str) -> None:
    # zemosim: OPC enabled and set, so ESB (0x20) stands; the echo: MAV (0x10) while it holds
    # the bytes written.
    with zemo.open(name, timeout=2000) as inst:
        if name == SIM_NAME:
            inst.write("*ESE 1;*OPC")
            assert inst.read_stb() == 0x10
        else:
            assert inst.query("*ESE 1;*OPC;*OPC?") == "1"
            assert inst.read_stb() == 0x20
            inst.write("*CLS;*ESE 0")


@pytest.mark.parametrize("transport", ["vxi11", "socket", "hislip", "serial"])
def test_trigger(name: str) -> None:
    with zemo.open(name, timeout=2000) as inst:
        before = int(inst.query("TRIG:COUN?"))
        inst.trigger()
        assert int(inst.query("TRIG:COUN?")) == before + 1


# A serial line is one process's alone.
@pytest.mark.parametrize("transport", ["vxi11", "hislip"])
def test_lock_held_against_another(name: str) -> None:
    with zemo.open(name, timeout=2000) as holder, zemo.open(name, timeout=2000) as other:
        with holder.lock(1000):
            with pytest.raises(zemo.Timeout) as raised:
                other.lock(100)
            assert raised.value.call == "zemo_lock"
            assert holder.query("*IDN?") == IDN
        with other.lock(1000):
            assert other.query("*IDN?") == IDN


@pytest.mark.parametrize("transport", ["vxi11", "hislip"])
def test_wait_srq_returns_a_status_byte_with_rqs_at_once(name: str) -> None:
    # An unknown command sets CME, which ESE and SRE turn into ESB (0x20) and RQS (0x40).
    with zemo.open(name, timeout=2000) as inst:
        assert inst.query("*CLS;*ESE 32;*SRE 32;BOGUS;*SRE?") == "32"
        try:
            assert inst.wait_srq(1000) == 0x60
        finally:
            inst.write("*CLS;*ESE 0;*SRE 0")


@pytest.mark.parametrize("transport", ["vxi11", "hislip"])
def test_wait_srq_ends_when_an_operation_completes(
    transport: str, zemosim: dict[tuple[str, str], str]
) -> None:
    # The sweep completes while the wait runs: its *OPC sets OPC, which ESE and SRE turn into
    # ESB and RQS. Over VXI-11 the status byte is read after the request, with MAV for the
    # sweep's answer.
    with zemo.open(zemosim["sweep", transport], timeout=2000) as inst:
        inst.write("*CLS;*ESE 1;*SRE 32;SWEEP?;*OPC")
        assert inst.wait_srq(5000) & 0x60 == 0x60
        assert inst.read() == b"done\n"
        assert inst.query("*ESR?") == "1"


@pytest.mark.parametrize("transport", ["vxi11", "hislip", "sim"])
def test_ctrl_c_ends_a_wait(name: str) -> None:
    # libzemo waits on through a signal; Python handles it between the pieces of the wait.
    program = (
        "import zemo\n"
        f"with zemo.open({name!r}) as inst:\n"
        "    inst.query('*CLS;*SRE 0;*SRE?')\n"
        "    print('waiting', flush=True)\n"
        "    inst.wait_srq(60000)\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    assert child.stdout.readline() == "waiting\n"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=30)
    assert err.rstrip().endswith("KeyboardInterrupt")


@pytest.mark.parametrize("transport, milliseconds", [("vxi11", 250), ("sim", 250), ("sim", 50)])
def test_wait_srq_times_out_after_the_whole_wait(name: str, milliseconds: int) -> None:
    with zemo.open(name, timeout=2000) as inst:
        inst.query("*CLS;*SRE 0;*SRE?")
        with pytest.raises(zemo.Timeout) as raised:
            inst.wait_srq(milliseconds)
        assert raised.value.reason == f"no service request within {milliseconds} ms"


@pytest.mark.parametrize(
    "transport, error, reason",
    [
        ("sim", zemo.Timeout, "no service request within 50 ms"),
        ("socket", zemo.Error, "service requests need VXI-11, HiSLIP or USBTMC"),
        ("serial", zemo.Error, "service requests need VXI-11, HiSLIP or USBTMC"),
    ],
)
def test_wait_srq_without_requests(name: str, error: type, reason: str) -> None:
    with zemo.open(name, timeout=2000) as inst:
        with pytest.raises(zemo.Error) as raised:
            inst.wait_srq(50)
        assert type(raised.value) is error
        assert (raised.value.call, raised.value.reason) == ("zemo_wait_srq", reason)


def test_clear(name: str) -> None:
    # A pending answer, taken in part by the read of its first line where it has several, is
    # gone after the clear.
    with zemo.open(name, timeout=2000) as inst:
        if name == SIM_NAME:
            assert inst.query("STALE\nSTALE") == "STALE"
        else:
            inst.write("*IDN?;*TST?")
            time.sleep(0.3)
        inst.clear()
        assert inst.query("*TST?") == ("*TST?" if name == SIM_NAME else "0")


# Each call of the library failing, then timing out, through the method that makes it.
@pytest.mark.parametrize(
    "fault, method, call",
    [
        ("write", lambda inst: inst.write("X"), "zemo_write"),
        ("read", lambda inst: inst.query("X"), "zemo_read_message"),
        ("read", lambda inst: inst.query_block("#11X"), "zemo_read_message"),
        ("timeout", lambda inst: setattr(inst, "timeout", 100), "zemo_set_timeout"),
        ("stb", lambda inst: inst.read_stb(), "zemo_read_stb"),
        ("trigger", lambda inst: inst.trigger(), "zemo_trigger"),
        ("lock", lambda inst: inst.lock(0), "zemo_lock"),
        ("unlock", lambda inst: inst.lock(0).__exit__(None, None, None), "zemo_unlock"),
        ("remote", lambda inst: inst.remote(), "zemo_remote"),
        ("local", lambda inst: inst.local(), "zemo_local"),
        ("clear", lambda inst: inst.clear(), "zemo_clear"),
        # The first wait reads the status byte.
        ("stb", lambda inst: inst.wait_srq(10), "zemo_wait_srq"),
        ("close", lambda inst: inst.close(), "zemo_close"),
    ],
)
@pytest.mark.parametrize("kind, error", [("fail", zemo.Error), ("timeout", zemo.Timeout)])
def test_failures_raise(fault, method, call, kind, error) -> None:
    name = f"sim/echo/{kind}={fault}"
    inst = zemo.open(name)
    with pytest.raises(zemo.Error) as raised:
        method(inst)
    assert type(raised.value) is error
    assert (raised.value.call, raised.value.interface) == (call, name)
    assert raised.value.reason
    inst.close()


def test_closed_instrument() -> None:
    inst = zemo.open(SIM_NAME)
    inst.close()
    inst.close()
    with pytest.raises(zemo.Error) as raised:
        inst.query("*IDN?")
    assert (raised.value.call, raised.value.reason) == ("query", "the instrument is closed")


@pytest.mark.parametrize("milliseconds", [0, -1, 2**31, 2**32 + 5])
def test_timeout_out_of_range(milliseconds: int) -> None:
    with zemo.open(SIM_NAME) as inst:
        with pytest.raises(ValueError):
            inst.timeout = milliseconds
        assert inst.timeout == 5000
