"""End-to-end harness: runs the built qarlov.exe under Wine, the way an
administrator runs it on Windows, and looks at what it did.

    import qarlov_harness as qh

Paths and environment
    QARLOV_BIN_DIR          directory of qarlov.exe and the helpers (default: <repo>/build/bin)
    QARLOV_TEMPLATE_PREFIX  a booted 64-bit Wine prefix to copy (scripts/test makes one); when
                            unset, one is made once and cached under /tmp (about 25 s)
    QARLOV_TEMPLATE_PREFIX_WIN32  the same for WinePrefix(arch='win32') (no WOW64)
    DISPLAY                 X display for the console windows; when unset, the harness starts
                            its own Xvfb (xvfb-run -a) for the life of the Python process
    qh.bin_path(name) -> Path of a built exe, e.g. qh.bin_path('qrecord.exe')
    qh.TIMED_OUT            exit code reported when a run hit its time-out (0x7FFFFFF0)

qh.WinePrefix(arch='win64')  context manager; a throw-away copy of the template prefix with its
                            own persistent wineserver, ended by .close()
    .path, .drive_c (Path), .env (dict for subprocess: WINEPREFIX, WINEDEBUG=-all, ...)
    .windows_path(linux_path) -> 'C:\\...' below drive_c, else 'Z:\\...'
    .linux_path(windows_path) -> Path (C: and Z: only)
    .wine(args, timeout=60, env_extra=None, stdin=None) -> subprocess.CompletedProcess (bytes)
    .reg_add(key, name, kind, data, view=64)   kind 'REG_DWORD'|'REG_QWORD'|'REG_SZ'|
                            'REG_EXPAND_SZ'|'REG_MULTI_SZ' (data: list of str)|'REG_BINARY' (bytes)
    .reg_delete(key, name=None, view=64)       the whole key when name is None; absent is fine
    .reg_query(key, name, view=64) -> int | str | list[str] | bytes | None (None: absent)
    .reg_values(key, view=64) -> dict name -> value, or None when the key is absent
    .import_reg(path, view=64)                 a .reg file (UTF-16 or ASCII)
    .import_keys({key: {name: value}}, view=64) one import; value types as for configure
    .temp_file(stem) -> Path                   a fresh file name in .work (outside drive_c)
    .set_windows_version(version)              'winxp'|'vista'|'win7'|'win10'|...; None: default
    .close()                                   kills every process of the prefix, removes it
    .stop_server() / .start_server()           end every process / boot the session again
  Files of Windows itself in system32/syswow64 are hard links shared with the template (copying
  1.3 GB per prefix takes seconds); never write into them. QARLOV_PREFIX_COPY=full copies all.

qh.Result: .exit_code, .output (str: the bytes decoded as Latin-1, CR LF -> LF), .raw (bytes),
    .stderr (str: the launcher's and Wine's diagnostics), .events (run_no_console only),
    .timed_out (bool)
qh.run_console(prefix, args, timeout=30, env_extra=None, program=None) -> Result
    bin/qarlov.exe (or program, a Windows path) with a real, hidden console window; stdout and
    stderr captured; at the time-out the program is terminated and .timed_out is set.
qh.start_console(prefix, args, env_extra=None, program=None) -> qh.ConsoleRun (context manager;
    kills the program on exit if it still runs)
    .pid, .output(), .raw_output(), .wait_for(text_or_regex, timeout=30) -> bool,
    .send_ctrl('c'|'break'|'close'), .kill() (TerminateProcess, exit code 1, no clean-up),
    .wait(timeout=30) -> exit code, or None while it still runs; .running() -> bool
    Measured under Wine 8: c, break and close each run the program's handler with event type 0,
    1, 2 within about 50 ms; after a close handler returns TRUE, Wine does NOT end the process.
qh.linux_pid(prefix, command_tail) -> the Linux process id of the program running in prefix whose
    command line ends with command_tail, e.g. "qarlov.exe -CONSOLE" (for /proc/<pid>)
qh.run_no_console(prefix, args, timeout=30, env_extra=None, program=None) -> Result with .events
    qarlov.exe detached, no console at all (as a service process would be, minus the service
    manager); WINEDEBUG=+eventlog; .events is a list of qh.Event. Under Wine,
    StartServiceCtrlDispatcherW outside the service manager fails only after 10 s.
qh.Event: a (kind, text) tuple; kind is 'error'|'warning'|'information' (also 'success',
    'audit_success', 'audit_failure'); .event_id (int or None) and .truncated as attributes.
    Wine shows only the first 280 to 290 characters of a reported string (escapes count double);
    a longer one arrives cut, with .truncated set.
qh.EventLogCapture(prefix): what services report from its creation on. Every WinePrefix boots
    its session with WINEDEBUG=+eventlog and the session's standard error going to
    prefix.session_log; services.exe and the services it starts keep that, and the capture reads
    it. .events() -> list of qh.Event so far; .wait_for_event(kind, text_or_regex, timeout=30)
    -> qh.Event or None. (Processes started with run_console etc. don't report there.)
qh.AvStandIn(prefix, data_dir='C:\\ProgramData\\Symantec\\SEP\\',
             bin_dir='C:\\Program Files (x86)\\Symantec\\SEP\\')
    writes SEPAppDataDir and SAVCE (32-bit view), creates Data\\Logs\\AV.
    .log_dir (Path), .day_file(date=None) -> Path (MMDDYYYY.Log of that local date, default
    today), .append(lines, date=None) (str, bytes or a list of them, written as given in one
    write, Latin-1), .log_line(time=None, event=51, category=1, logger=2, computer=..., user=...,
    risk=..., path=..., action9=1, action10=4, action11=1) -> str (CR LF terminated, 38
    fields, about 400 bytes; time is a datetime, default now, or a raw str for the first field).
    qh.time_field(datetime) -> the 12-hex-digit time text; qh.day_file_name(date) -> 'MMDDYYYY.Log'.
    The program's local time follows TZ of its environment: env_extra={'TZ': ...}.
qh.configure(prefix, rule=None, debug_output=1, instance=0, timestamp='000001000000',
             filename='', dialog=None, execute=None, syslog=None, message=None)
    replaces HKLM\\SOFTWARE\\kestu\\QARLOV (64-bit view). rule: dict with cat, event, logger,
    wait_before_action, action_strategy, trigger_strategy (defaults 1, 51, 2, 0, 0, 0); action
    dicts use the registry value names in lower case. int -> REG_DWORD, str -> REG_SZ, bytes
    -> REG_BINARY; a value of None leaves that value out; an action of None leaves its key out.
qh.UdpListener(): context manager bound to 127.0.0.1 on a free port; .port;
    .datagrams(timeout=5, count=None, quiet=0.3) -> list[bytes] received since the previous
    call: returns when count datagrams are there, or (count None) quiet seconds after the last
    one, or at the time-out.
"""
import atexit
import dataclasses
import datetime as _dt
import fcntl
import os
import pathlib
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
TIMED_OUT = 0x7FFFFFF0
QARLOV_KEY = r"HKLM\SOFTWARE\kestu\QARLOV"
SEP_DATA_KEY = r"HKLM\SOFTWARE\Symantec\Symantec Endpoint Protection\InstalledApps"
SEP_BIN_KEY = r"HKLM\SOFTWARE\Symantec\InstalledApps"
# winedbg off: a crash ends the process at once instead of waiting for a debugger.
DLL_OVERRIDES = "mscoree,mshtml,winedbg.exe="
POLL_SECONDS = 0.02
WINE64_LOADER = "/usr/lib/wine/wine64"


def bin_dir():
    # Absolute, so that a relative QARLOV_BIN_DIR also holds for Wine and its helpers.
    return pathlib.Path(os.environ.get("QARLOV_BIN_DIR", REPO_ROOT / "build" / "bin")).resolve()


def bin_path(name):
    """Path of a built executable (qarlov.exe, qlaunch.exe, qctrl.exe, qrecord.exe, ...)."""
    path = bin_dir() / name
    if not path.exists():
        raise FileNotFoundError(f"{path} is not built")
    return path


def wait_until(condition, timeout, interval=POLL_SECONDS):
    """Polls condition until it returns a true value (which is returned) or the time runs out."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def _decode_output(raw):
    return raw.decode("latin-1").replace("\r\n", "\n")


# --- X display -------------------------------------------------------------------------------

_own_display = None


def _end_own_display():
    _own_display.stdin.close()   # the command under xvfb-run ends, and xvfb-run ends its Xvfb
    _own_display.wait(30)


def ensure_display():
    """DISPLAY from the environment, or one of our own for this Python process: xvfb-run
    picks a free display and runs a command that reports DISPLAY and XAUTHORITY and then
    reads its standard input from us. Once this process ends, however it ends, that input
    closes, the command ends, and xvfb-run ends its Xvfb and removes the authority file."""
    global _own_display
    if os.environ.get("DISPLAY"):
        return os.environ["DISPLAY"]
    _own_display = subprocess.Popen(
        ["xvfb-run", "-a", "sh", "-c", 'printf "%s\\n%s\\n" "$DISPLAY" "$XAUTHORITY"; exec cat >/dev/null'],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    atexit.register(_end_own_display)
    readable, _, _ = select.select([_own_display.stdout], [], [], 30)
    display = _own_display.stdout.readline().strip() if readable else ""
    authority = _own_display.stdout.readline().strip() if display else ""
    if not display:
        raise RuntimeError("xvfb-run did not start Xvfb")
    os.environ.update(DISPLAY=display, XAUTHORITY=authority)
    return display


# --- Template prefix and copies --------------------------------------------------------------

def _base_environment():
    ensure_display()   # first: a display of our own comes with its XAUTHORITY
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
    env.update(WINEDEBUG="-all", WINEDLLOVERRIDES=DLL_OVERRIDES)
    return env


def _boot_prefix(path, arch):
    env = _base_environment()
    env.update(WINEPREFIX=str(path), WINEARCH=arch)
    subprocess.run(["wineboot", "-i"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=120)


def template_prefix(arch="win64"):
    """The prefix to copy: $QARLOV_TEMPLATE_PREFIX (win64), $QARLOV_TEMPLATE_PREFIX_WIN32
    (win32), or one booted once and cached under /tmp."""
    variable = "QARLOV_TEMPLATE_PREFIX" if arch == "win64" else "QARLOV_TEMPLATE_PREFIX_" + arch.upper()
    if os.environ.get(variable):
        return pathlib.Path(os.environ[variable])
    cache = pathlib.Path(tempfile.gettempdir()) / f"qarlov-template-{os.getuid()}-{arch}"
    with open(str(cache) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (cache / "system.reg").exists():
            building = pathlib.Path(tempfile.mkdtemp(prefix=cache.name + ".", dir=cache.parent))
            _boot_prefix(building, arch)
            shutil.rmtree(cache, ignore_errors=True)
            building.rename(cache)
    return cache


_SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".ocx", ".tlb", ".acm", ".cpl", ".ax", ".ds",
                    ".com", ".msstyles", ".mui", ".tsp", ".vxd"}
_SHARED_DIRS = ("system32", "syswow64")


def _is_shared_file(relative, name):
    parts = pathlib.PurePath(relative).parts
    return (len(parts) >= 3 and parts[:2] == ("drive_c", "windows") and parts[2] in _SHARED_DIRS
            and os.path.splitext(name)[1].lower() in _SHARED_SUFFIXES)


def copy_prefix(source, target):
    """Copies a prefix; the files of Windows itself become hard links (see module doc)."""
    if os.environ.get("QARLOV_PREFIX_COPY") == "full":
        subprocess.run(["cp", "-a", f"{source}/.", str(target)], check=True)
        return
    for root, dirs, files in os.walk(source):
        relative = os.path.relpath(root, source)
        destination = os.path.join(target, relative)
        os.makedirs(destination, exist_ok=True)
        for name in list(dirs) + files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                os.symlink(os.readlink(path), os.path.join(destination, name))
                if name in dirs:
                    dirs.remove(name)
            elif name in files:
                copy = os.path.join(destination, name)
                if _is_shared_file(relative, name):
                    try:
                        os.link(path, copy)
                        continue
                    except OSError:
                        pass
                shutil.copy2(path, copy)
        shutil.copystat(root, destination)


def _reg_view(view):
    if view not in (32, 64):
        raise ValueError("view must be 32 or 64")
    return f"/reg:{view}"


def _parse_reg_file(text):
    """{key path (upper case): {value name: value}} of an exported .reg file."""
    text = re.sub(r"\\\r?\n\s*", "", text)
    keys, current = {}, None
    for line in re.split(r"\r?\n", text):
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1].upper(), {})
        elif current is not None and line.startswith(("\"", "@")):
            name, value = _parse_reg_value_line(line)
            current[name] = value
    return keys


_REG_UNESCAPES = {"n": "\n", "r": "\r", "0": "\0"}


def _parse_reg_string(line, start):
    """The quoted .reg string starting after position start; returns (text, end index)."""
    out, i = [], start
    while line[i] != '"':
        if line[i] == "\\":
            i += 1
            out.append(_REG_UNESCAPES.get(line[i], line[i]))
        else:
            out.append(line[i])
        i += 1
    return "".join(out), i + 1


def _parse_reg_value_line(line):
    if line.startswith("@"):
        name, rest = "", line[2:]
    else:
        name, end = _parse_reg_string(line, 1)
        rest = line[end + 1:]
    if rest.startswith('"'):
        return name, _parse_reg_string(rest, 1)[0]
    if rest.startswith("dword:"):
        return name, int(rest[6:], 16)
    kind, _, data = rest.partition(":")
    raw = bytes(int(b, 16) for b in data.split(",") if b)
    if kind == "hex(b)":
        return name, int.from_bytes(raw, "little")
    if kind in ("hex(2)", "hex(1)"):
        return name, raw.decode("utf-16-le").rstrip("\0")
    if kind == "hex(7)":
        return name, [s for s in raw.decode("utf-16-le").split("\0") if s]
    if kind == "hex(4)":
        return name, int.from_bytes(raw, "little")
    return name, raw


def _reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _hex_data(raw):
    return ",".join(f"{b:02x}" for b in raw)


class _Typed(tuple):
    """A value of an explicit registry type: (kind, data), see WinePrefix.reg_add."""


def _typed_reg_data(kind, data):
    """One value of an explicit registry type in .reg syntax."""
    if kind == "REG_SZ":
        return _reg_data(str(data))
    if kind == "REG_DWORD":
        return _reg_data(int(data))
    if kind == "REG_BINARY":
        return _reg_data(bytes(data))
    if kind == "REG_QWORD":
        return "hex(b):" + _hex_data((int(data) & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little"))
    strings = list(data) + [""] if kind == "REG_MULTI_SZ" else [data]
    number = {"REG_EXPAND_SZ": 2, "REG_MULTI_SZ": 7}[kind]
    return f"hex({number}):" + _hex_data("".join(text + "\0" for text in strings).encode("utf-16-le"))


def _reg_data(value):
    """One value in .reg syntax, the type taken from the Python type."""
    if isinstance(value, _Typed):
        return _typed_reg_data(*value)
    if isinstance(value, bool) or isinstance(value, int):
        return f"dword:{int(value) & 0xFFFFFFFF:08x}"
    if isinstance(value, str) and re.search(r"[\x00-\x09\x0b-\x1f]", value):
        # Control characters other than the line feed have no escape: REG_SZ in hex form.
        return "hex(1):" + _hex_data((value + "\0").encode("utf-16-le"))
    if isinstance(value, str):
        return f'"{_reg_escape(value)}"'
    if isinstance(value, (bytes, bytearray)):
        return "hex:" + _hex_data(value)
    raise TypeError(f"no registry type for {value!r}")


def reg_file_text(keys):
    """A .reg file for {key: {name: value}}; key like HKLM\\SOFTWARE\\..., None values left out."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in keys.items():
        lines.append(f"[{_long_root(key)}]")
        for name, value in values.items():
            if value is not None:
                label = f'"{_reg_escape(name)}"' if name else "@"   # @: the key's default value
                lines.append(f"{label}={_reg_data(value)}")
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


_ROOTS = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
          "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG"}


def _long_root(key):
    root, _, rest = key.partition("\\")
    return _ROOTS.get(root.upper(), root) + ("\\" + rest if rest else "")


class WinePrefix:
    """A throw-away copy of the template prefix with a persistent wineserver of its own."""

    def __init__(self, arch="win64"):
        template = template_prefix(arch)
        self.arch = arch
        self._temp = pathlib.Path(tempfile.mkdtemp(prefix="qarlov-prefix-"))
        self.path = self._temp / "prefix"
        self.work = self._temp / "work"
        self.drive_c = self.path / "drive_c"
        self.session_log = self.work / "session.stderr"
        self.env = _base_environment()
        self.env["WINEPREFIX"] = str(self.path)
        self._counter = 0
        self._closed = False
        try:
            self.work.mkdir()
            copy_prefix(template, self.path)
            self.start_server()
        except BaseException:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def start_server(self):
        """Starts the wineserver and boots the session. The session's daemons (services.exe
        and every service it starts) keep the standard error of this first command, with
        event-log reporting switched on: it goes to .session_log (see EventLogCapture)."""
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=60)
        with open(self.session_log, "ab") as log:
            subprocess.run([self.native_loader, "cmd", "/c", "exit"], env=dict(self.env, WINEDEBUG=EVENTLOG_DEBUG),
                           cwd=self.drive_c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=log, timeout=120, check=True)

    def stop_server(self):
        """Ends every Windows process of the prefix and its wineserver."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=60)
        except subprocess.TimeoutExpired:
            pass

    def close(self):
        if self._closed:
            return
        self._closed = True
        self.stop_server()
        shutil.rmtree(self._temp, ignore_errors=True)

    def temp_file(self, stem):
        """A fresh path in the prefix's work directory (not inside drive_c)."""
        self._counter += 1
        return self.work / f"{self._counter:04d}-{stem}"

    def windows_path(self, linux_path):
        path = pathlib.Path(os.path.abspath(linux_path))
        try:
            relative = path.relative_to(self.drive_c)
            return "C:\\" + "\\".join(relative.parts)
        except ValueError:
            return "Z:" + str(path).replace("/", "\\")

    def linux_path(self, windows_path):
        drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
        if drive == "C:":
            return self.drive_c / rest
        if drive == "Z:":
            return pathlib.Path("/") / rest
        raise ValueError(f"no Linux path for {windows_path}")

    def wine(self, args, timeout=60, env_extra=None, stdin=None, check=False, loader="wine"):
        env = dict(self.env, **(env_extra or {}))
        return subprocess.run([loader] + [str(a) for a in args], env=env, cwd=self.drive_c, timeout=timeout,
                              stdin=stdin if stdin is not None else subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=check)

    @property
    def native_loader(self):
        """Wine's loader for the prefix's own width: in a 64-bit prefix the 64-bit one, which
        always runs natively (the 32-bit loader may run under an emulator)."""
        return WINE64_LOADER if self.arch == "win64" else "wine"

    def system_tool(self, args, timeout=60):
        """A tool of Windows (reg, sc, cmd) of the prefix's own width; reg's /reg:32 and
        /reg:64 pick the registry view."""
        return self.wine(args, timeout=timeout, loader=self.native_loader)

    def _reg(self, args, ok_codes=(0,)):
        result = self.system_tool(["reg"] + args)
        if result.returncode not in ok_codes:
            raise RuntimeError(f"wine reg {' '.join(args)}: {result.stderr.decode(errors='replace')}"
                               f"{result.stdout.decode(errors='replace')}")
        return result

    def reg_add(self, key, name, kind, data, view=64):
        """Writes one value of an explicit type, through the same import as import_keys."""
        self.import_keys({key: {name or "": _Typed((kind, data))}}, view)

    def reg_delete(self, key, name=None, view=64):
        args = ["delete", key] + ([] if name is None else ["/v", name]) + [_reg_view(view), "/f"]
        self._reg(args, ok_codes=(0, 1))

    def reg_values(self, key, view=64):
        exported = self.temp_file("export.reg")
        result = self.system_tool(["reg", "export", key, self.windows_path(exported), _reg_view(view), "/y"])
        if result.returncode != 0:
            return None
        keys = _parse_reg_file(exported.read_bytes().decode("utf-16"))
        return keys.get(_long_root(key).upper(), {})

    def reg_query(self, key, name, view=64):
        values = self.reg_values(key, view) or {}
        for value_name, value in values.items():
            if value_name.lower() == (name or "").lower():
                return value
        return None

    def import_reg(self, path, view=64):
        self._reg(["import", self.windows_path(path), _reg_view(view)])

    def import_keys(self, keys, view=64):
        """Writes {key: {name: value}} in one import (see configure for the value types)."""
        path = self.temp_file("import.reg")
        path.write_bytes(reg_file_text(keys).encode("utf-16"))
        self.import_reg(path, view)

    def set_windows_version(self, version):
        if version is None:
            self.reg_delete(r"HKCU\Software\Wine", "Version")
        else:
            self.reg_add(r"HKCU\Software\Wine", "Version", "REG_SZ", version)


# --- Running qarlov.exe ----------------------------------------------------------------------

@dataclasses.dataclass
class Result:
    exit_code: int
    output: str
    raw: bytes = b""
    stderr: str = ""
    events: list = dataclasses.field(default_factory=list)
    timed_out: bool = False


class Event(tuple):
    """One event-log report: compares and unpacks as (kind, text)."""

    def __new__(cls, kind, text, event_id=None, truncated=False):
        event = super().__new__(cls, (kind, text))
        event.event_id = event_id
        event.truncated = truncated
        return event

    kind = property(lambda self: self[0])
    text = property(lambda self: self[1])


_EVENT_TYPES = {0: "success", 1: "error", 2: "warning", 4: "information", 8: "audit_success",
                16: "audit_failure"}
_CLASS_KINDS = {"err": "error", "warn": "warning", "trace": "information"}
_REPORT_CALL = re.compile(r"^(?P<thread>(?:[0-9a-fA-F.]+:)*)fixme:advapi:ReportEventW "
                          r"\([^,]*,0x(?P<type>[0-9a-fA-F]+),0x[0-9a-fA-F]+,0x(?P<id>[0-9a-fA-F]+),")
_REPORT_LINE = re.compile(r'^(?P<thread>(?:[0-9a-fA-F.]+:)*)(?P<cls>err|warn|trace):eventlog:ReportEventW '
                          r'L"(?P<text>(?:[^"\\]|\\.)*)"(?P<cut>\.\.\.)?\s*$')
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
EVENTLOG_DEBUG = "-all,+eventlog,fixme+advapi"


def _unescape_wine_string(text):
    def replace(match):
        escape = match.group(1)
        return _ESCAPES.get(escape) or chr(int(escape, 16))
    return re.sub(r'\\([0-9a-fA-F]{4}|[nrt"\\])', replace, text)


def parse_events(log_text):
    """Events from Wine's +eventlog output. Wine prints each line of a reported string on a
    debug line of its own; the fixme:advapi:ReportEventW line of each call (when enabled)
    starts an event and gives its type and id. Without those, a string line of the same kind
    that follows one ending in a line break continues the same event."""
    events, current = [], {}
    for line in log_text.splitlines():
        call = _REPORT_CALL.match(line)
        if call:
            event = dict(kind=_EVENT_TYPES.get(int(call["type"], 16), "information"),
                         event_id=int(call["id"], 16), parts=[], truncated=False, marked=True)
            events.append(event)
            current[call["thread"]] = event
            continue
        report = _REPORT_LINE.match(line)
        if not report:
            continue
        event = current.get(report["thread"])
        kind = _CLASS_KINDS[report["cls"]]
        continues = event is not None and (event["marked"] or (event["kind"] == kind
                                                               and event["parts"][-1].endswith("\n")))
        if not continues:
            event = dict(kind=kind, event_id=None, parts=[], truncated=False, marked=False)
            events.append(event)
            current[report["thread"]] = event
        event["parts"].append(_unescape_wine_string(report["text"]))
        event["truncated"] = event["truncated"] or bool(report["cut"])
    return [Event(e["kind"], "".join(e["parts"]), e["event_id"], e["truncated"]) for e in events]


def _launcher_command(prefix, args, out, exit_file, pid_file=None, timeout=None, no_console=False,
                      program=None):
    command = ["wine", str(bin_path("qlaunch.exe"))]
    if no_console:
        command.append("--no-console")
    if timeout is not None:
        command += ["--timeout", str(int(timeout * 1000))]
    if pid_file is not None:
        command += ["--pid-file", prefix.windows_path(pid_file)]
    command += ["--exit-file", prefix.windows_path(exit_file), "--out", prefix.windows_path(out), "--"]
    command.append(program or prefix.windows_path(bin_path("qarlov.exe")))
    return command + [str(a) for a in args]


class _Launch:
    """One run of the launcher: its files and its Linux process."""

    def __init__(self, prefix, args, env_extra, timeout=None, no_console=False, program=None):
        self.prefix = prefix
        self.out = prefix.temp_file("run.out")
        self.exit_file = prefix.temp_file("run.exit")
        self.pid_file = prefix.temp_file("run.pid")
        self.stderr_path = prefix.temp_file("run.stderr")
        env = dict(prefix.env, **(env_extra or {}))
        if no_console:
            env["WINEDEBUG"] = EVENTLOG_DEBUG
        command = _launcher_command(prefix, args, self.out, self.exit_file, self.pid_file, timeout,
                                    no_console, program)
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(command, env=env, cwd=prefix.drive_c, stdin=subprocess.DEVNULL,
                                            stdout=stderr, stderr=stderr, start_new_session=True)

    def raw_output(self):
        try:
            return self.out.read_bytes()
        except FileNotFoundError:
            return b""

    def stderr(self):
        try:
            return self.stderr_path.read_bytes().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return ""

    def wait(self, timeout):
        """The program's exit code, or None when the launcher still runs after timeout."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        try:
            return int(self.exit_file.read_text().strip())
        except (FileNotFoundError, ValueError):
            return code

    def started_program(self):
        """Whether the launcher got as far as starting the program."""
        return self.pid_file.exists() or self.exit_file.exists()

    def abandon(self):
        """Ends the launcher (the prefix's close ends the Windows side)."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(30)

    def result(self, exit_code, events=None):
        raw = self.raw_output()
        return Result(exit_code=TIMED_OUT if exit_code is None else exit_code, output=_decode_output(raw),
                      raw=raw, stderr=self.stderr(), events=events or [],
                      timed_out=exit_code in (None, TIMED_OUT))


def _run_to_end(prefix, args, timeout, env_extra, no_console, program):
    for attempt in range(2):
        launch = _Launch(prefix, args, env_extra, timeout=timeout, no_console=no_console, program=program)
        exit_code = launch.wait(timeout + 60)   # the launcher's own time-out comes first
        # A launcher that ended without starting the program (Wine itself failed to start
        # it, as happens now and then on a heavily loaded machine) says nothing about the
        # program: start it once more.
        if exit_code is None or launch.started_program():
            break
    if exit_code is None:
        launch.abandon()
    events = parse_events(launch.stderr()) if no_console else None
    return launch.result(exit_code, events)


def run_console(prefix, args, timeout=30, env_extra=None, program=None):
    """Runs qarlov.exe (or program, a Windows path) with a hidden console window to its end
    (or the time-out)."""
    return _run_to_end(prefix, args, timeout, env_extra, no_console=False, program=program)


def run_no_console(prefix, args, timeout=30, env_extra=None, program=None):
    """Runs qarlov.exe (or program) with no console at all; its event-log reports are in
    .events."""
    return _run_to_end(prefix, args, timeout, env_extra, no_console=True, program=program)


class ConsoleRun:
    """qarlov.exe running in a hidden console window (see start_console)."""

    def __init__(self, prefix, args, env_extra=None, program=None):
        self.prefix = prefix
        self._launch = _Launch(prefix, args, env_extra, program=program)
        self._pid = None
        self.exit_code = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.running():
            try:
                self.kill()
            except RuntimeError:
                pass   # it ended meanwhile
        if self.wait(30) is None:
            self._launch.abandon()

    @property
    def pid(self):
        """The Windows process id of the program."""
        if self._pid is None:
            wait_until(lambda: self._read_pid() or self._launch.process.poll() is not None, 30)
            text = self._read_pid()
            if not text:
                raise RuntimeError("the launcher wrote no pid:\n" + self._launch.stderr())
            self._pid = int(text)
        return self._pid

    def _read_pid(self):
        try:
            text = self._launch.pid_file.read_text()
        except FileNotFoundError:
            return None
        return text.strip() if text.endswith("\n") else None

    def raw_output(self):
        return self._launch.raw_output()

    def output(self):
        return _decode_output(self.raw_output())

    def stderr(self):
        return self._launch.stderr()

    def running(self):
        return self._launch.process.poll() is None

    def wait_for(self, text_or_regex, timeout=30):
        """True once the output contains the text (or matches the compiled regex)."""
        def found():
            output = self.output()
            if isinstance(text_or_regex, str):
                return text_or_regex in output
            return text_or_regex.search(output) is not None

        def found_or_ended():
            return found() or not self.running()
        wait_until(found_or_ended, timeout)
        return bool(found())

    def _qctrl(self, action):
        result = self.prefix.wine([bin_path("qctrl.exe"), str(self.pid), action], timeout=60)
        if result.returncode != 0:
            raise RuntimeError(f"qctrl {action}: {result.stderr.decode(errors='replace')}")

    def send_ctrl(self, kind):
        """Delivers a console control event: 'c', 'break' or 'close'."""
        if kind not in ("c", "break", "close"):
            raise ValueError(kind)
        self._qctrl(kind)

    def kill(self):
        """TerminateProcess with exit code 1: no clean-up runs in the program."""
        self._qctrl("kill")

    def wait(self, timeout=30):
        """The exit code, or None when the program still runs after timeout seconds."""
        if self.exit_code is None:
            self.exit_code = self._launch.wait(timeout)
        return self.exit_code

    def result(self):
        return self._launch.result(self.exit_code)


def linux_pid(prefix, command_tail):
    """The Linux process of the Windows program running in prefix whose command
    line ends with command_tail (program file name and arguments, e.g.
    "qarlov.exe -CONSOLE"). Wine shows a program's Windows command line as
    the process's; the harness's launcher, whose command line ends with that
    of the program it starts, was started with a Linux path."""
    marker = f"WINEPREFIX={prefix.path}".encode()
    wanted = " ".join(command_tail.lower().split())
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            raw = pathlib.Path(f"/proc/{entry}/cmdline").read_bytes()
            environment = pathlib.Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        command = " ".join(raw.replace(b"\0", b" ").decode("latin-1").lower().split())
        # Under QEMU's emulation (kernels without 32-bit support) the emulator
        # and Wine's loader stay in front of the program's command line.
        command = re.sub(r"^\S*qemu-i386\S* (?:\S*/wine )+", "", command)
        started_by_wine = re.match(r"[a-z]:\\", command) is not None
        if marker in environment and started_by_wine and command.endswith("\\" + wanted):
            return int(entry)
    raise RuntimeError(f"no Linux process for {command_tail}")


def start_console(prefix, args, env_extra=None, program=None):
    """Starts qarlov.exe (or program, a Windows path) with a hidden console; returns at once."""
    return ConsoleRun(prefix, args, env_extra, program)


class EventLogCapture:
    """What the prefix's services report to the event log from now on (see WinePrefix.start_server)."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.path = prefix.session_log
        self.offset = self.path.stat().st_size

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        pass

    def events(self):
        with open(self.path, "rb") as log:
            log.seek(self.offset)
            return parse_events(log.read().decode("utf-8", errors="replace"))

    def wait_for_event(self, kind, text_or_regex, timeout=30):
        def matching():
            for event in self.events():
                text_matches = (text_or_regex in event.text if isinstance(text_or_regex, str)
                                else text_or_regex.search(event.text))
                if event.kind == kind and text_matches:
                    return event
            return None
        return wait_until(matching, timeout)


# --- Antivirus stand-in ----------------------------------------------------------------------

def time_field(when):
    """The 12-hex-digit time text: years since 1970, month - 1, day, hour, minute, second."""
    return "%02X%02X%02X%02X%02X%02X" % (when.year - 1970, when.month - 1, when.day, when.hour, when.minute,
                                         when.second)


def day_file_name(date):
    return "%02d%02d%04d.Log" % (date.month, date.day, date.year)


class AvStandIn:
    """Stands in for the antivirus product: its two registry values and its day logs."""

    def __init__(self, prefix, data_dir="C:\\ProgramData\\Symantec\\SEP\\",
                 bin_dir="C:\\Program Files (x86)\\Symantec\\SEP\\"):
        self.prefix = prefix
        self.data_dir = data_dir
        self.bin_dir = bin_dir
        prefix.import_keys({SEP_DATA_KEY: {"SEPAppDataDir": data_dir}, SEP_BIN_KEY: {"SAVCE": bin_dir}}, view=32)
        self.log_dir = prefix.linux_path(data_dir.rstrip("\\") + "\\Data\\Logs\\AV")
        self.log_dir.mkdir(parents=True, exist_ok=True)

    def day_file(self, date=None):
        return self.log_dir / day_file_name(date or _dt.date.today())

    def append(self, lines, date=None):
        """Appends in one write (one change notification); text is written as Latin-1."""
        if isinstance(lines, (str, bytes)):
            lines = [lines]
        data = b"".join(line.encode("latin-1") if isinstance(line, str) else line for line in lines)
        with open(self.day_file(date), "ab") as day_file:
            day_file.write(data)

    def log_line(self, time=None, event=51, category=1, logger=2, computer="WKS-0142", user="alice",
                 risk="EICAR Test String", path="C:\\Users\\alice\\Downloads\\eicar.com",
                 action9=1, action10=4, action11=1):
        """One realistic day-log line in the product's layout, CR LF terminated."""
        when = time or _dt.datetime.now().replace(microsecond=0)
        stamp = when if isinstance(when, str) else time_field(when)
        folder = path.rpartition("\\")[0] or path
        description = f'"Security risk found!{risk} in File: {path} by: Auto-Protect scan.  Action: Quarantined."'
        tail = ["1", "0", description, "0", "201", "0", f"App:\tFolder:{folder}", "1", "11101", "0", "0",
                "0", "0", "0", "0", "20260412.013", "241501", "0", "0", "0", "0",
                "{4A1B2C3D-5E6F-4708-9A1B-2C3D4E5F6071}", "Default", "10.20.30.40", "CORP",
                "00-1A-2B-3C-4D-5E", "14.3.8289.5000"]
        fields = [stamp, str(event), str(category), str(logger), computer, user, risk, path,
                  str(action9), str(action10), str(action11)] + tail
        return ",".join(fields) + "\r\n"


# --- Configuration ---------------------------------------------------------------------------

DEFAULT_RULE = dict(cat=1, event=51, logger=2, wait_before_action=0, action_strategy=0, trigger_strategy=0)


def _value_name(key):
    return key.replace("_", "").upper()


def configure(prefix, rule=None, debug_output=1, instance=0, timestamp="000001000000", filename="",
              dialog=None, execute=None, syslog=None, message=None):
    """Replaces the whole program configuration (64-bit view) in one import."""
    prefix.reg_delete(QARLOV_KEY)
    keys = {QARLOV_KEY: dict(INSTANCE=instance, TIMESTAMP=timestamp, FILENAME=filename, DEBUGOUTPUT=debug_output)}
    merged_rule = dict(DEFAULT_RULE, **(rule or {}))
    keys[QARLOV_KEY + "\\Rule"] = {_value_name(k): v for k, v in merged_rule.items()}
    for name, action in (("Dialog", dialog), ("Execute", execute), ("Syslog", syslog), ("Message", message)):
        if action is not None:
            keys[QARLOV_KEY + "\\Rule\\" + name] = {_value_name(k): v for k, v in action.items()}
    prefix.import_keys(keys, view=64)


# --- Syslog receiver -------------------------------------------------------------------------

class UdpListener:
    """A UDP receiver on 127.0.0.1 with a free port."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.received = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.socket.close()

    def datagrams(self, timeout=5, count=None, quiet=0.3):
        new = []
        deadline = time.monotonic() + timeout
        while count is None or len(new) < count:
            now = time.monotonic()
            wait = deadline - now
            if new and count is None:
                wait = min(wait, quiet)
            if wait <= 0:
                break
            readable, _, _ = select.select([self.socket], [], [], wait)
            if not readable:
                break
            new.append(self.socket.recv(65535))
        self.received.extend(new)
        return new
