"""What the tests of the package zemo share: zemosim, started once, and the interface names of
its instruments over every transport, besides the library's own simulated instrument.

The environment names the programs: ZEMOSIM the zemosim to run, ZEMO_LIBRARY the libzemo that
zemo loads, PYTHONPATH the directory holding the package.
"""

import os
import subprocess
import tempfile
from collections.abc import Iterator

import pytest

# The transports every behaviour is tried over: zemosim's and the library's simulated
# instrument, sim/echo, which returns what was written.
TRANSPORTS = ["vxi11", "socket", "hislip", "serial", "sim"]
ZEMOSIM_TRANSPORTS = TRANSPORTS[:-1]

# The echo delivers at most 4 bytes, then none, then 65536 per read, in turn, so that every
# answer takes several reads, one of them empty.
SIM_NAME = "sim/echo/chunks=4,0,65536"

# zemosim's instruments: "main", a plain one, "slow", whose "SLOW?" answers only after 3 s, and
# "sweep", whose "SWEEP?" answers after 0.5 s, kept apart so that their late answers land in no
# other test's queue.
INSTRUMENTS = {
    "main": "name main\nhislip main\n",
    "slow": "name slow\nhislip slow\ndelay SLOW? 3000 late\n",
    "sweep": "name sweep\nhislip sweep\ndelay SWEEP? 500 done\n",
}


@pytest.fixture(scope="session")
def zemosim() -> Iterator[dict[tuple[str, str], str]]:
    """Starts zemosim with a pseudo-terminal per instrument; the interface names by
    (instrument, protocol), as its -l lines give them."""
    with tempfile.TemporaryDirectory() as directory:
        files = []
        for instrument, definition in INSTRUMENTS.items():
            files.append(os.path.join(directory, instrument))
            with open(files[-1], "w", encoding="ascii") as file:
                file.write(definition)
        server = subprocess.Popen(
            [os.environ["ZEMOSIM"], "-l", "-p", *files], stdout=subprocess.PIPE, text=True
        )
        names = {}
        # It prints the HiSLIP names last, once it listens.
        while sum(protocol == "hislip" for _, protocol in names) < len(INSTRUMENTS):
            line = server.stdout.readline()
            assert line, f"zemosim ended with status {server.wait()} before naming its instruments"
            instrument, protocol, name = line.split()
            names[instrument, protocol] = name
        yield names
        server.terminate()
        assert server.wait() == 0


@pytest.fixture(params=TRANSPORTS)
def transport(request: pytest.FixtureRequest) -> str:
    """Each transport in turn."""
    return request.param


@pytest.fixture
def name(transport: str, zemosim: dict[tuple[str, str], str]) -> str:
    """The name of the main instrument over the transport."""
    return SIM_NAME if transport == "sim" else zemosim["main", transport]
