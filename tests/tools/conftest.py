"""Which tools test_tools.py runs, and how: the programs, the command they
run through (Wine, or an emulator such as qemu-aarch64-run), the platform and
width they are built for. CTest passes these (tests/CMakeLists.txt,
tests/windows/CMakeLists.txt); --basetemp is the work folder."""
import subprocess
from dataclasses import dataclass, field

import pytest


def pytest_addoption(parser):
    group = parser.getgroup("vellomar tools")
    group.addoption("--dump", required=True, help="the vellomar-dump program")
    group.addoption("--mark", required=True, help="the vellomar-mark program")
    group.addoption("--wrong-table-dump", help="vellomar-dump on a library whose tables are wrong")
    group.addoption("--answers", help="system_answers, preloaded to give the system's answers")
    group.addoption("--runner", action="append", default=[],
                    help="one word of the command the programs run through, in order")
    group.addoption("--platform", choices=["linux", "windows"], default="linux")
    group.addoption("--bits", type=int, choices=[32, 64], default=64)
    group.addoption("--sanitized", action="store_true",
                    help="the programs are built with AddressSanitizer and UBSan")
    group.addoption("--unoptimised", action="store_true",
                    help="the programs are built without optimisation (debug, coverage)")


@dataclass
class Result:
    status: int
    out: str
    err: str
    boxes: list = field(default_factory=list)  # the error boxes, as lines on standard error


@dataclass
class Tools:
    dump: str
    mark: str
    wrong_table_dump: str
    answers: str
    runner: list
    platform: str
    bits: int
    sanitized: bool
    unoptimised: bool

    def run(self, program, args, cwd, prefix=(), env=None, timeout=300,
            stdout=subprocess.PIPE, preexec_fn=None):
        """program's status and output; prefix comes before the runner (strace, setpriv)."""
        command = [*prefix, *self.runner, program, *args]
        done = subprocess.run(command, cwd=cwd, env=env, timeout=timeout, stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        done.stdout = done.stdout or b""
        out, err = (text.decode("utf-8", "surrogateescape") for text in (done.stdout, done.stderr))
        if self.platform == "windows":
            out, err = out.replace("\r\n", "\n"), err.replace("\r\n", "\n")
        # On Linux the library's error box is a line on standard error.
        lines = err.splitlines(keepends=True)
        boxes = [line[len("Tarvoni DLL: "):].rstrip("\n") for line in lines
                 if line.startswith("Tarvoni DLL: ")]
        err = "".join(line for line in lines if not line.startswith("Tarvoni DLL: "))
        return Result(done.returncode, out, err, boxes)


# What a row marked pytest.mark.needs(...) needs, and why it runs only there.
NEEDS = {
    "linux": (lambda t: t.platform == "linux",
              "Linux programs: Linux files and devices (FIFOs, sockets, links, /dev)"),
    "windows": (lambda t: t.platform == "windows", "Windows programs under Wine"),
    "native": (lambda t: t.platform == "linux" and not t.runner,
               "the program itself, not through an emulator: strace and LD_PRELOAD would "
               "reach the emulator"),
    "unsanitized": (lambda t: not t.sanitized,
                    "not under the sanitizers: their shadow memory, their own first write, "
                    "or minutes for a 4 GiB buffer"),
    "optimised": (lambda t: not t.unoptimised,
                  "an optimised build: unoptimised, a 4 GiB buffer is made byte by byte"),
    "32-bit": (lambda t: t.bits == 32, "a 32-bit program, which cannot have 4000000000 bytes"),
}


def pytest_configure(config):
    config.addinivalue_line("markers", "needs(*what): run only where the tools are so: "
                            + ", ".join(NEEDS))


@pytest.fixture(scope="session")
def tools(pytestconfig):
    option = pytestconfig.getoption
    return Tools(option("dump"), option("mark"), option("wrong_table_dump"), option("answers"),
                 option("runner"), option("platform"), option("bits"), option("sanitized"),
                 option("unoptimised"))


@pytest.fixture(autouse=True)
def _needs(request, tools):
    for marker in request.node.iter_markers("needs"):
        for what in marker.args:
            holds, why = NEEDS[what]
            if not holds(tools):
                pytest.skip(f"needs {what}: {why}")


