"""The ``quor-cameras`` command line.

Lists the video devices and the connected cameras, shows one, prints the
published model specifications, and runs or fills a local
device-information service.

Exit statuses: 0 success; 1 a command failed (a document could not be
mirrored, the service could not start, output could not be written); 2 usage
or configuration error; 3 no camera resolved (``list``) or the camera asked
for was not found (``show``); 4 no camera resolved because the service could
not be reached for any device; 130 interrupted (Ctrl-C).

Everything a device or the service reports is printed with its control
characters escaped, so it cannot forge a line or drive the terminal.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import dataclasses
import errno
import functools
import importlib
import io
import json
import logging
import math
import os
import re
import signal
import sys
import threading
import traceback
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any, NoReturn

from quor_camera_sdk import platform
from quor_camera_sdk._files import write_atomically
from quor_camera_sdk.cameras import camera_identity, device_lookup, discovery, documents
from quor_camera_sdk.cameras.camera_spec import MODELS, CameraControl, CameraSpec, CaptureMode

if TYPE_CHECKING:
    # Imported where they are used: asyncio and ctypes would cost every
    # command their import.
    from quor_camera_sdk.cameras import hotplug, service

__all__ = [
    "EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_NO_CAMERA", "EXIT_OK", "EXIT_SERVICE_UNREACHABLE", "EXIT_USAGE", "main",
]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own status
EXIT_NO_CAMERA = 3
EXIT_SERVICE_UNREACHABLE = 4
EXIT_INTERRUPTED = 130  # as a shell reports a process ended by SIGINT

PROG = "quor-cameras"

# Accepted spellings of a model (lower case) -> (module name, constant name).
_MODEL_NAMES = {
    spelling: (module, constant)
    for module, constant in MODELS
    for spelling in (constant.lower(), module.removeprefix("quor_"))
}


class _Failure(Exception):
    """A failure the user can act on: its message is printed as one line
    and the command exits with ``status``."""

    def __init__(self, message: str, status: int = EXIT_FAILURE):
        super().__init__(message)
        self.status = status


class _OutputError(Exception):
    """Standard output could not be written (a full disk, a closed pipe)."""

    def __init__(self, error: OSError):
        super().__init__(error.strerror)
        self.errno = error.errno


class _GuardedOutput:
    """Standard output, whose write failures are told apart from the
    command's own."""

    def __init__(self, stream: Any):
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return int(self._stream.write(text))
        except OSError as error:
            raise _OutputError(error) from error

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as error:
            raise _OutputError(error) from error

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def main(argv: Sequence[str] | None = None) -> int:
    # What the terminal cannot encode is escaped rather than failing the output.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    parser = _build_parser()
    args = parser.parse_args(argv)
    _configure_logging(args.verbose)
    stdout = sys.stdout
    sys.stdout = _GuardedOutput(stdout)
    try:
        with contextlib.ExitStack() as run:
            _apply_global_options(args, run)
            status = int(args.command(args))
            sys.stdout.flush()
            return status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except _Failure as failure:
        return _fail(str(failure), failure.status)
    except _OutputError as error:
        # Point stdout at /dev/null so that the interpreter's final flush
        # does not fail again; a reader that went away is no error to report.
        os.dup2(os.open(os.devnull, os.O_WRONLY), stdout.fileno())
        return EXIT_FAILURE if error.errno == errno.EPIPE else _fail(f"cannot write the output: {error}", EXIT_FAILURE)
    except Exception as error:
        if args.verbose >= 2:
            traceback.print_exc()
        return _fail(_reason(error), EXIT_FAILURE)
    finally:
        sys.stdout = stdout


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: {_printable(message)}", file=sys.stderr)
    return status


# ---------------------------------------------------------------------------
# Options


def _service_url(text: str) -> str:
    try:
        return discovery.service_lookup_url(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


def _whole_number(low: int, high: int, expected: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = low - 1
        if not low <= number <= high:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return number

    return parse


_count = _whole_number(1, sys.maxsize, "a whole number of at least 1")
_port = _whole_number(0, 65535, "a port number from 0 to 65535")


def _model(text: str) -> str:
    """The constant name (QUOR_ORIDAN) of a model named either way, in any case."""
    try:
        return _MODEL_NAMES[text.lower()][1]
    except KeyError:
        choices = ", ".join(constant for _, constant in MODELS)
        short = ", ".join(module.removeprefix("quor_") for module, _ in MODELS)
        raise argparse.ArgumentTypeError(f"unknown model {text!r} (choose from {choices}, or {short})") from None


def _directory(text: str) -> Path:
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text!r} is not a directory")
    return path


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line, with a pointer to the help."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {_printable(message)} (see {self.prog} --help)\n")


def _global_options(default: object) -> _Parser:
    """A parent parser of the options that apply to every command.

    The top-level parser gets real defaults; the subcommands get SUPPRESS,
    so an option given before the command name is not reset by the
    subcommand's parser.
    """
    options = _Parser(add_help=False)
    options.add_argument(
        "--service-url", type=_service_url, default=default, metavar="URL",
        help="device-information service to ask: its address (http://127.0.0.1:8080) or its lookup path "
        f"(https://host{documents.IDENTITY_PATH}); also ${discovery.SERVICE_URL_ENV}",
    )
    options.add_argument(
        "--timeout", type=_seconds, default=default, metavar="SECONDS",
        help="time-out of each connection and read of a lookup (default: 10 s)",
    )
    options.add_argument(
        "--deadline", type=_seconds, default=default, metavar="SECONDS",
        help="list, show: the time all lookups together may take; watch: each arrival's (default: 15 s)",
    )
    options.add_argument(
        "--jobs", type=_count, default=default, metavar="N",
        help="list, show: lookups at the same time (default: 8)",
    )
    options.add_argument(
        "--offline", action="store_true", default=False if default is None else default,
        help="take the documents from the cache instead of asking the service",
    )
    options.add_argument(
        "--no-cache", action="store_true", default=False if default is None else default,
        help="neither read nor fill the cache of documents",
    )
    options.add_argument(
        "--devices", default=default, metavar="FILE",
        help="simulate the video devices listed in FILE (JSON list of {serial, os_id, ...}) "
        f"instead of the real ones; also ${platform.SIMULATED_DEVICES_ENV}",
    )
    options.add_argument(
        "-v", "--verbose", action="count", default=0 if default is None else default,
        help="more log output: -v for each lookup, -vv for debug records and tracebacks",
    )
    return options


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, parents=[_global_options(None)],
        description="QUOR stereo cameras: the connected ones, and the models' specifications.",
        epilog="exit statuses: 0 success, 1 failure, 2 usage or configuration error, "
        "3 no camera resolved / camera not found, 4 service unreachable, 130 interrupted",
    )
    from quor_camera_sdk import __version__

    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    after_command = _global_options(argparse.SUPPRESS)
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    def command(name: str, handler: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        subparser = commands.add_parser(name, parents=[after_command], help=help, description=help)
        subparser.set_defaults(command=handler)
        return subparser

    def json_option(subparser: argparse.ArgumentParser) -> None:
        subparser.add_argument("--json", action="store_true", help="print JSON instead of a table")

    json_option(command("devices", _devices, "the video devices this machine sees, without asking the service"))
    json_option(command("list", _list, "list the connected QUOR cameras"))
    json_option(command("watch", _watch, "the connected cameras, then each one that arrives or leaves, until Ctrl-C"))
    show = command("show", _show, "one connected camera, with its model's capture modes and controls")
    show.add_argument("serial", metavar="SERIAL")
    json_option(show)
    json_option(command("models", _models, "the camera models this SDK knows"))
    modes = command("modes", _modes, "a model's capture modes")
    modes.add_argument("model", type=_model, metavar="MODEL", help="e.g. QUOR_ORIDAN or oridan")
    json_option(modes)
    controls = command("controls", _controls, "a model's image controls")
    controls.add_argument("model", type=_model, metavar="MODEL", help="e.g. QUOR_ORIDAN or oridan")
    controls.add_argument("--windows", action="store_true", help="the Windows (DirectShow) controls")
    json_option(controls)

    serve = command("serve", _serve, "run a local device-information service")
    serve.add_argument("--documents", type=_directory, required=True, metavar="DIR",
                       help="folder of <serial>.json documents")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    serve.add_argument("--port", type=_port, default=8080, help="port (default: %(default)s; 0 picks a free one)")
    # No defaults here: the service applies its own (the help states them).
    serve.add_argument("--max-connections", type=_count, metavar="N",
                       help="connections served at once; when full, a new one replaces the one that has waited "
                       "longest for its request (default: 512, or fewer if the descriptor limit says so)")
    serve.add_argument("--request-timeout", type=_seconds, metavar="SECONDS",
                       help="time a client has to send each request head, and to stay idle between requests "
                       "(default: 10.0)")
    mirror = command("mirror", _mirror, "copy documents from a service into a folder that `serve` can serve")
    mirror.add_argument("serials", nargs="+", metavar="SERIAL")
    mirror.add_argument("--to", type=Path, required=True, metavar="DIR")
    command("demo", _demo, "list five simulated cameras through a local service")
    return parser


class _OneLineFormatter(logging.Formatter):
    """One line per record, whatever its text: control characters in the
    message are escaped, and an attached exception is given as its one-line
    reason instead of a traceback (unless ``tracebacks``)."""

    def __init__(self, tracebacks: bool):
        super().__init__("%(levelname)s %(name)s: %(message)s")
        self._tracebacks = tracebacks

    def format(self, record: logging.LogRecord) -> str:
        plain = copy.copy(record)
        try:
            message = record.getMessage()
        except RecursionError:
            message = f"{record.msg} (its arguments nest too deeply to print)"
        plain.msg, plain.args = _printable(message), None
        error = record.exc_info[1] if record.exc_info else None
        if error is None or self._tracebacks:
            return super().format(plain)
        plain.exc_info = plain.exc_text = None
        return f"{super().format(plain)}: {_printable(_reason(error))}"


# Loggers whose records say why a device did not resolve: the commands that
# resolve devices print that for each device, so the records only show with -v.
_PER_DEVICE_LOGGERS = (camera_identity.__name__, discovery.__name__)


def _configure_logging(verbosity: int) -> None:
    level = {0: logging.WARNING, 1: logging.INFO}.get(verbosity, logging.DEBUG)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_OneLineFormatter(tracebacks=level == logging.DEBUG))
    if verbosity == 0:
        handler.addFilter(lambda record: not record.name.startswith(_PER_DEVICE_LOGGERS))
    logging.basicConfig(level=level, handlers=[handler], force=True)


@contextlib.contextmanager
def _rebound(module: ModuleType, name: str, value: object) -> Iterator[None]:
    previous = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, previous)


def _apply_global_options(args: argparse.Namespace, run: contextlib.ExitStack) -> None:
    if args.service_url is None and (configured := os.environ.get(discovery.SERVICE_URL_ENV)):
        try:
            args.service_url = discovery.service_lookup_url(configured)
        except ValueError as error:
            raise _Failure(f"{discovery.SERVICE_URL_ENV}: {error}", EXIT_USAGE) from None
    if args.service_url is not None:
        run.enter_context(_rebound(device_lookup, "_CAMERA_IDENTITY_URL", args.service_url))
    if args.devices is not None:
        try:
            platform.use_simulated_devices(args.devices)
        except OSError as error:
            raise _Failure(f"--devices: {_file_error(error)}", EXIT_USAGE) from None
        except ValueError as error:
            raise _Failure(f"--devices: {error}", EXIT_USAGE) from None
        run.callback(platform.use_simulated_devices, None)


def _file_error(error: OSError) -> str:
    return f"{error.filename}: {error.strerror}" if error.filename else str(error.strerror or error)


def _backend() -> platform.PlatformBackend:
    """The platform's backend; a misconfiguration is a usage error."""
    try:
        return camera_identity.current_backend()
    except (OSError, ValueError) as error:
        raise _Failure(str(error), EXIT_USAGE) from None
    except NotImplementedError as error:
        raise _Failure(str(error)) from None


def _discovery_options(args: argparse.Namespace) -> dict[str, Any]:
    options: dict[str, Any] = {"offline": args.offline, "cache": None if args.no_cache else discovery.DEFAULT}
    for name, option in (("deadline", args.deadline), ("max_workers", args.jobs), ("timeout", args.timeout)):
        if option is not None:
            options[name] = option
    if args.offline and args.no_cache:
        raise _Failure("--offline needs the cache: drop --no-cache", EXIT_USAGE)
    return options


# ---------------------------------------------------------------------------
# Output


def _reason(error: BaseException) -> str:
    try:
        return f"{type(error).__name__}: {error}"
    except RecursionError:
        return type(error).__name__


# Characters that must not reach a terminal or a log line raw: C0 and C1
# controls (escape sequences, line breaks), line and paragraph separators,
# the bidirectional overrides (text that reads differently than it is), and
# lone surrogates (a file name that is not UTF-8).
_NOT_ESCAPED_BY_JSON = "\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff"
_UNPRINTABLE = re.compile(f"[\x00-\x1f{_NOT_ESCAPED_BY_JSON}]")
_UNPRINTABLE_IN_JSON = re.compile(f"[{_NOT_ESCAPED_BY_JSON}]")


def _printable(text: str) -> str:
    """``text`` with the characters above written as escapes (``\x1b``)."""
    return _UNPRINTABLE.sub(lambda match: ascii(match[0])[1:-1], text)


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return _printable(str(value))


def _table(headers: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """Columns padded to their widest cell; columns of numbers align right."""
    cells = [[_cell(value) for value in row] for row in rows]
    widths = [max([len(header), *(len(row[index]) for row in cells)]) for index, header in enumerate(headers)]
    numeric = [
        bool(rows) and all(isinstance(row[index], (int, float)) and not isinstance(row[index], bool) for row in rows)
        for index in range(len(headers))
    ]

    def line(values: Sequence[str]) -> str:
        padded = (
            value.rjust(width) if right else value.ljust(width)
            for value, width, right in zip(values, widths, numeric, strict=True)
        )
        return "  ".join(padded).rstrip()

    return "\n".join([line(headers), *(line(row) for row in cells)])


def _print_json(document: object, indent: int | None = 2) -> None:
    """``document`` as JSON; ``indent=None`` keeps it on one line."""
    # Readable text stays as it is. json escapes the C0 controls; the
    # others can only stand inside strings, where \uXXXX is just as valid.
    text = json.dumps(document, indent=indent, ensure_ascii=False)
    print(_UNPRINTABLE_IN_JSON.sub(lambda match: f"\\u{ord(match[0]):04x}", text), flush=indent is None)


class _Progress:
    """"N of M devices looked up" on one line of stderr, while a terminal
    watches; erased when done."""

    def __init__(self) -> None:
        self._shown = sys.stderr.isatty()
        self._written = False

    def __call__(self, done: int, total: int, outcome: discovery.DeviceOutcome) -> None:
        if self._shown:
            sys.stderr.write(f"\r{PROG}: {done} of {total} devices looked up")
            sys.stderr.flush()
            self._written = True

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._written:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


# ---------------------------------------------------------------------------
# Devices and cameras

# The fields of a device entry, in table order, with their column headers.
_DEVICE_COLUMNS = {
    "os_id": "OS ID", "serial": "SERIAL", "vendor_id": "VENDOR", "product_id": "PRODUCT", "product": "NAME",
    "port_path": "PORT",
}


def _devices(args: argparse.Namespace) -> int:
    devices = [{name: getattr(device, name, "") for name in _DEVICE_COLUMNS} for device in _backend().list_cameras()]
    if args.json:
        _print_json(devices)
    elif devices:
        print(_table(tuple(_DEVICE_COLUMNS.values()), [[value or None for value in device.values()] for device in devices]))
    if not devices:
        print(f"{PROG}: no video device found", file=sys.stderr)
    return EXIT_OK


_CAMERA_HEADERS = ("OS ID", "SERIAL", "MODEL", "SKU", "BASELINE", "IMAGE SIZE")


def _size(image_size: tuple[int, int]) -> str:
    return f"{image_size[0]}x{image_size[1]}"


def _image_sizes(camera: camera_identity.QuorCameraIdentity) -> str:
    """The calibrated image size, or the left and right ones if they differ."""
    return "/".join(dict.fromkeys(_size(c.image_size) for c in camera.base_calibration.cameras))


def _camera_row(camera: camera_identity.QuorCameraIdentity) -> list[object]:
    return [
        camera.os_id,
        camera.serial,
        camera.model_name or None,
        camera.sku,
        f"{camera.base_calibration.baseline_mm:.1f} mm",
        _image_sizes(camera),
    ]


def _camera_json(camera: camera_identity.QuorCameraIdentity) -> dict[str, Any]:
    return {**camera.to_dict(), "os_id": camera.os_id}


def _resolve(args: argparse.Namespace, devices: Sequence[platform.DeviceEntry] | None = None,
             **overrides: Any) -> discovery.DiscoveryReport:
    """Looks the devices (by default the platform's) up, showing progress."""
    options = _discovery_options(args) | overrides
    with _Progress() as progress:
        if devices is None:
            devices = list(_backend().list_cameras())
        return discovery.resolve_devices(devices, progress=progress, **options)


def _explain(report: discovery.DiscoveryReport, stream: Any = None) -> None:
    """After the cameras: each device that did not simply resolve, with its
    reason; on stdout after a table, on stderr after JSON."""
    notes = [outcome for outcome in report.outcomes if outcome.status is not discovery.Status.RESOLVED]
    if not notes:
        return
    stream = stream or sys.stdout
    cached = sum(outcome.status is discovery.Status.CACHED for outcome in notes)
    sys.stdout.flush()
    print(f"\n{len(report.cameras)} of {len(report.outcomes)} devices resolved to a QUOR camera"
          f"{f' ({cached} from the cache)' if cached else ''}:", file=stream)
    print(_table(
        ("OS ID", "SERIAL", "STATUS", "REASON"),
        [(outcome.os_id, outcome.serial or None, outcome.status.value, outcome.reason) for outcome in notes],
    ), file=stream)


def _no_camera_status(report: discovery.DiscoveryReport, what: str) -> int:
    if report.service_unreachable:
        print(f"{PROG}: {what}: the device-information service could not be reached for any device "
              f"({_printable(device_lookup._CAMERA_IDENTITY_URL)}); see --service-url, --offline", file=sys.stderr)
        return EXIT_SERVICE_UNREACHABLE
    print(f"{PROG}: {what}", file=sys.stderr)
    return EXIT_NO_CAMERA


def _list(args: argparse.Namespace) -> int:
    report = _resolve(args)
    if args.json:
        _print_json([_camera_json(camera) for camera in report.cameras])
    elif report.cameras:
        print(_table(_CAMERA_HEADERS, [_camera_row(camera) for camera in report.cameras]))
    _explain(report, sys.stderr if args.json or not report.cameras else None)
    if not report.cameras:
        return _no_camera_status(report, "no connected QUOR camera resolved")
    return EXIT_OK


def _show(args: argparse.Namespace) -> int:
    # As get_connected_quor_camera_by_serial: the first device reporting
    # exactly this serial, and one lookup.
    device = next((device for device in _backend().list_cameras() if device.serial == args.serial), None)
    if device is None:
        print(f"{PROG}: no connected device reports the serial {_printable(repr(args.serial))}", file=sys.stderr)
        return EXIT_NO_CAMERA
    report = _resolve(args, [device])
    [outcome] = report.outcomes
    camera = outcome.camera
    if camera is None:
        _explain(report, sys.stderr)
        return _no_camera_status(report, f"the camera with serial {_printable(repr(args.serial))} did not resolve")
    spec = camera.spec
    if args.json:
        _print_json({
            **_camera_json(camera),
            "model": _model_of(spec),
            "modes": [dataclasses.asdict(mode) for mode in spec.modes],
            "controls": [dataclasses.asdict(control) for control in spec.controls],
        })
        _explain(report, sys.stderr)
        return EXIT_OK
    calibration = camera.base_calibration
    print(_table(("FIELD", "VALUE"), [
        ("serial", camera.serial),
        ("os_id", camera.os_id),
        ("model", f"{camera.model_name or '-'} ({_model_of(spec) or 'unnamed spec'})"),
        ("sku", camera.sku),
        ("calibration", f"version {calibration.version}, baseline {calibration.baseline_mm:.2f} mm"),
    ]))
    print()
    print(_table(
        ("CAMERA", "IMAGE SIZE", "FX", "FY", "CX", "CY", "DISTORTION"),
        [
            (c.role, _size(c.image_size), c.fx, c.fy, c.cx, c.cy, f"{len(c.distortion)} coefficients")
            for c in calibration.cameras
        ],
    ))
    print(f"\nCapture modes ({len(spec.modes)}):")
    print(_modes_table(spec.modes))
    print(f"\nControls ({len(spec.controls)}):")
    print(_controls_table(spec.controls))
    _explain(report)
    return EXIT_OK


def _event_line(event: hotplug.CameraEvent) -> str:
    from quor_camera_sdk.cameras import hotplug

    camera = event.camera
    if camera is not None:
        about = f"{camera.model_name or '-'}  {camera.sku}"
    elif isinstance(event, hotplug.CameraConnected):
        about = f"{event.outcome.status}: {event.outcome.reason}"
    else:
        about = "-"
    return "  ".join(_cell(value) for value in (
        f"{event.kind:<12}", event.os_id, event.serial or None, event.device.port_path or None, about,
    ))


def _watch(args: argparse.Namespace) -> int:
    """The cameras there, then each arrival and departure, until Ctrl-C
    (status 130) or SIGTERM (status 0)."""
    options = _discovery_options(args)
    options.pop("max_workers", None)  # a watcher looks each arrival up by itself
    from quor_camera_sdk.cameras import hotplug

    try:
        watcher = hotplug.watch_cameras(backend=_backend(), **options)
    except NotImplementedError as error:
        raise _Failure(f"watch: {error}") from None
    with watcher:
        previous = signal.signal(signal.SIGTERM, lambda *_: watcher.close())
        try:
            for event in watcher:
                if args.json:
                    _print_json(event.to_dict(), indent=None)
                else:
                    print(_event_line(event), flush=True)
        finally:
            signal.signal(signal.SIGTERM, previous)
    return EXIT_OK


# ---------------------------------------------------------------------------
# Specifications


def _spec(constant: str) -> CameraSpec:
    # Model modules are imported on demand: the camera commands work
    # without them.
    module = next(module for module, name in MODELS if name == constant)
    spec: CameraSpec = getattr(importlib.import_module(f"{__package__}.{module}"), constant)
    return spec


def _model_of(spec: CameraSpec) -> str | None:
    return next((constant for _, constant in MODELS if _spec(constant) is spec), None)


def _modes_table(modes: Sequence[CaptureMode]) -> str:
    return _table(
        ("WIDTH", "HEIGHT", "FPS", "FORMAT", "STEREO", "SUPPORTED", "DEFAULT"),
        [(m.width, m.height, m.fps, m.pixel_format, m.stereo, m.is_supported, m.is_default) for m in modes],
    )


def _controls_table(controls: Sequence[CameraControl]) -> str:
    return _table(
        ("NAME", "LABEL", "KIND", "TYPE", "DEFAULT", "MIN", "MAX", "STEP", "UNIT", "AUTO", "AUTO-UPDATED", "VALUES"),
        [
            (
                c.name, c.label, c.kind, c.value_type, c.default, c.min, c.max, c.step, c.unit,
                c.auto_companion, c.updatable_by_auto,
                ", ".join(f"{value}={label}" for value, label in c.enum_values) or None,
            )
            for c in controls
        ],
    )


def _models(args: argparse.Namespace) -> int:
    specs = [(module, constant, _spec(constant)) for module, constant in MODELS]
    if args.json:
        _print_json([
            {
                "model": constant,
                "short_name": module.removeprefix("quor_"),
                "skus": list(spec.skus),
                "mode_count": len(spec.modes),
                "control_count": len(spec.controls),
                "windows_control_count": len(spec.windows_controls),
            }
            for module, constant, spec in specs
        ])
    else:
        print(_table(
            ("MODEL", "SHORT NAME", "SKUS", "MODES", "CONTROLS", "WINDOWS CONTROLS"),
            [
                (constant, module.removeprefix("quor_"), len(spec.skus), len(spec.modes),
                 len(spec.controls), len(spec.windows_controls))
                for module, constant, spec in specs
            ],
        ))
    return EXIT_OK


def _modes(args: argparse.Namespace) -> int:
    modes = _spec(args.model).modes
    if args.json:
        _print_json([dataclasses.asdict(mode) for mode in modes])
    else:
        print(_modes_table(modes))
    return EXIT_OK


def _controls(args: argparse.Namespace) -> int:
    spec = _spec(args.model)
    controls = spec.windows_controls if args.windows else spec.controls
    if args.json:
        _print_json([dataclasses.asdict(control) for control in controls])
    else:
        print(_controls_table(controls))
    return EXIT_OK


# ---------------------------------------------------------------------------
# Local service


@contextlib.contextmanager
def _stop_on_signals(stop: Callable[[], None]) -> Iterator[None]:
    # Python runs these in the main thread between two bytecodes: `stop`
    # must neither block nor take a lock.
    previous = {number: signal.signal(number, lambda *_: stop()) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def _running(server: service.DeviceInfoServer) -> Iterator[service.DeviceInfoServer]:
    """Serves in a background thread for the duration of the block."""
    with server:
        worker = threading.Thread(target=server.serve_forever, name="device-info-service", daemon=True)
        worker.start()
        try:
            yield server
        finally:
            server.shutdown()
            worker.join()


def _serve(args: argparse.Namespace) -> int:
    from quor_camera_sdk.cameras import service

    if args.verbose == 0:
        # A server shows its requests unless asked for even more.
        logging.getLogger(service.__name__).setLevel(logging.INFO)
    limits = {name: value for name, value in (("max_connections", args.max_connections),
                                              ("request_timeout", args.request_timeout)) if value is not None}
    try:
        server = service.DeviceInfoServer(args.documents, (args.host, args.port), **limits)
    except ValueError as error:
        print(f"{PROG} serve: {error}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as error:
        print(f"{PROG} serve: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    # Serves in the main thread, so that a signal reaches the loop itself.
    with server, _stop_on_signals(functools.partial(server.shutdown, wait=False)):
        print(f"serving {args.documents} at {server.url} (Ctrl-C to stop)", flush=True)
        server.serve_forever()
    return EXIT_OK


def _mirror(args: argparse.Namespace) -> int:
    """Stores each serial's document; a serial that fails is reported with
    its reason and the others are stored all the same."""
    try:
        args.to.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise _Failure(f"mirror: cannot create the folder {args.to}: {error.strerror}") from None
    timeout = {} if args.timeout is None else {"timeout": args.timeout}
    failed = 0
    for serial in args.serials:
        shown = _printable(serial)
        name = documents.document_name(serial)
        if name is None:
            print(f"{PROG} mirror: {_printable(repr(serial))} is not a serial number that can be stored", file=sys.stderr)
            failed += 1
            continue
        target = args.to / name
        try:
            document = device_lookup.fetch_camera_identity_json(serial, **timeout)
            if not isinstance(document, dict):
                raise ValueError(f"the service answered with a JSON {type(document).__name__}, not a document")
            write_atomically(target, (json.dumps(document, indent=2, ensure_ascii=False) + "\n").encode())
        except Exception as error:  # every failure is this serial's alone
            print(f"{PROG} mirror: {shown}: {_printable(_reason(error))}", file=sys.stderr)
            failed += 1
            continue
        print(f"{shown} -> {_printable(str(target))}")
    if failed:
        print(f"{PROG} mirror: {failed} of {len(args.serials)} documents not stored", file=sys.stderr)
    return EXIT_FAILURE if failed else EXIT_OK


# ---------------------------------------------------------------------------
# Demo


def _demo(args: argparse.Namespace) -> int:
    from quor_camera_sdk.cameras import service

    with contextlib.ExitStack() as demo:
        folder = demo.enter_context(resources.as_file(resources.files(__package__) / "demo"))
        server = demo.enter_context(_running(service.DeviceInfoServer(folder)))
        demo.enter_context(_rebound(device_lookup, "_CAMERA_IDENTITY_URL", server.identity_url))
        devices_file = folder / "devices.json"
        platform.use_simulated_devices(devices_file)
        demo.callback(platform.use_simulated_devices, None)

        devices = list(_backend().list_cameras())
        print(f"Local device-information service: {server.url} (documents in {folder})")
        print(f"Simulated video devices: {len(devices)}, from {devices_file}")
        print("Looking each serial number up over HTTP with discover():\n", flush=True)
        # The demo's serials stay out of the user's cache.
        report = _resolve(args, devices, cache=None, offline=False)
    print(_table(_CAMERA_HEADERS, [_camera_row(camera) for camera in report.cameras]))
    _explain(report)
    return EXIT_OK
