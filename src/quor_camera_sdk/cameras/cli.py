"""The ``quor-cameras`` command line.

Lists the connected cameras, shows one, prints the published model
specifications, and runs or fills a local device-information service.

Exit statuses: 0 success; 1 a command failed (a document could not be
mirrored, the service could not start); 2 usage error; 3 no camera resolved
(``list``) or the camera asked for was not found (``show``).
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import dataclasses
import functools
import importlib
import json
import logging
import math
import os
import signal
import sys
import tempfile
import threading
import urllib.parse
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from pathlib import Path
from types import ModuleType
from typing import Any

from quor_camera_sdk import platform
from quor_camera_sdk.cameras import camera_identity, device_lookup, service
from quor_camera_sdk.cameras.camera_spec import MODELS, CameraControl, CameraSpec, CaptureMode

__all__ = ["EXIT_FAILURE", "EXIT_NO_CAMERA", "EXIT_OK", "EXIT_USAGE", "main"]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own status
EXIT_NO_CAMERA = 3

PROG = "quor-cameras"

# Accepted spellings of a model (lower case) -> (module name, constant name).
_MODEL_NAMES = {
    spelling: (module, constant)
    for module, constant in MODELS
    for spelling in (constant.lower(), module.removeprefix("quor_"))
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    _configure_logging(args.verbose)
    with contextlib.ExitStack() as run:
        _apply_global_options(parser, args, run)
        try:
            return int(args.command(args))
        except BrokenPipeError:
            # The reader went away (`quor-cameras modes oridan | head`):
            # point stdout at /dev/null so the interpreter's final flush
            # does not fail again.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return EXIT_FAILURE


# ---------------------------------------------------------------------------
# Options


def _service_url(text: str) -> str:
    try:
        parts = urllib.parse.urlsplit(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: {error}") from None
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise argparse.ArgumentTypeError(f"expected an http:// or https:// URL, got {text!r}")
    # A bare service address gets the lookup path; a URL with a path is
    # taken as the full prefix the serial is appended to.
    if parts.path in ("", "/") and not parts.query:
        return service.identity_url(text)
    return text


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


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


def _global_options(default: object) -> argparse.ArgumentParser:
    """A parent parser of the options that apply to every command.

    The top-level parser gets real defaults; the subcommands get SUPPRESS,
    so an option given before the command name is not reset by the
    subcommand's parser.
    """
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument(
        "--service-url", type=_service_url, default=default, metavar="URL",
        help="device-information service to ask, e.g. http://127.0.0.1:8080 "
        f"(the lookup path {service.IDENTITY_PATH} is added to a URL without a path)",
    )
    options.add_argument(
        "--timeout", type=_seconds, default=default, metavar="SECONDS",
        help="time-out of each lookup (default: the library's, 10 s)",
    )
    options.add_argument(
        "--devices", default=default, metavar="FILE",
        help="simulate the video devices listed in FILE (JSON list of {serial, os_id}) "
        f"instead of the real ones; also ${platform.SIMULATED_DEVICES_ENV}",
    )
    options.add_argument(
        "-v", "--verbose", action="count", default=0 if default is None else default,
        help="more log output: -v for each lookup, -vv for tracebacks",
    )
    return options


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, parents=[_global_options(None)],
        description="QUOR stereo cameras: the connected ones, and the models' specifications.",
        epilog="exit statuses: 0 success, 1 failure, 2 usage error, 3 no camera resolved / camera not found",
    )
    after_command = _global_options(argparse.SUPPRESS)
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    def command(name: str, handler: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        subparser = commands.add_parser(name, parents=[after_command], help=help, description=help)
        subparser.set_defaults(command=handler)
        return subparser

    def json_option(subparser: argparse.ArgumentParser) -> None:
        subparser.add_argument("--json", action="store_true", help="print JSON instead of a table")

    json_option(command("list", _list, "list the connected QUOR cameras"))
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
    serve.add_argument("--port", type=int, default=8080, help="port (default: %(default)s; 0 picks a free one)")
    serve.add_argument("--max-connections", type=int, default=service.DEFAULT_MAX_CONNECTIONS, metavar="N",
                       help="connections served at once; when full, a new one replaces the one that has waited "
                       "longest for its request (default: %(default)s, or fewer if the descriptor limit says so)")
    serve.add_argument("--request-timeout", type=_seconds, default=service.DEFAULT_REQUEST_TIMEOUT,
                       metavar="SECONDS", help="time a client has to send each request head, and to stay idle "
                       "between requests (default: %(default)s)")
    mirror = command("mirror", _mirror, "copy documents from a service into a folder that `serve` can serve")
    mirror.add_argument("serials", nargs="+", metavar="SERIAL")
    mirror.add_argument("--to", type=Path, required=True, metavar="DIR")
    command("demo", _demo, "list five simulated cameras through a local service")
    return parser


class _ReasonFormatter(logging.Formatter):
    """Ends a record that carries an exception with the exception's one-line
    reason instead of a traceback."""

    def format(self, record: logging.LogRecord) -> str:
        if not record.exc_info or record.exc_info[1] is None:
            return super().format(record)
        error = record.exc_info[1]
        plain = copy.copy(record)
        plain.exc_info = plain.exc_text = None
        return f"{super().format(plain)}: {_reason(error)}"


def _configure_logging(verbosity: int) -> None:
    level = {0: logging.WARNING, 1: logging.INFO}.get(verbosity, logging.DEBUG)
    handler = logging.StreamHandler(sys.stderr)
    formatter_type = logging.Formatter if level == logging.DEBUG else _ReasonFormatter
    handler.setFormatter(formatter_type("%(levelname)s %(name)s: %(message)s"))
    logging.basicConfig(level=level, handlers=[handler])


@contextlib.contextmanager
def _rebound(module: ModuleType, name: str, value: object) -> Iterator[None]:
    previous = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, previous)


def _fetcher(timeout: float | None) -> Callable[[str], dict[str, Any]]:
    fetch = device_lookup.fetch_camera_identity_json
    return fetch if timeout is None else functools.partial(fetch, timeout=timeout)


def _apply_global_options(parser: argparse.ArgumentParser, args: argparse.Namespace, run: contextlib.ExitStack) -> None:
    if args.service_url is not None:
        run.enter_context(_rebound(device_lookup, "_CAMERA_IDENTITY_URL", args.service_url))
    if args.timeout is not None:
        run.enter_context(_rebound(camera_identity, "fetch_camera_identity_json", _fetcher(args.timeout)))
    if args.devices is not None:
        try:
            platform.use_simulated_devices(args.devices)
        except (OSError, ValueError) as error:
            parser.error(f"--devices: {error}")
        run.callback(platform.use_simulated_devices, None)


# ---------------------------------------------------------------------------
# Output


def _reason(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}"


def _cell(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "no"
    return str(value)


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


def _print_json(document: object) -> None:
    print(json.dumps(document, indent=2, ensure_ascii=False))


# ---------------------------------------------------------------------------
# Cameras

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


def _list(args: argparse.Namespace) -> int:
    cameras = camera_identity.list_connected_quor_cameras()
    if args.json:
        _print_json([_camera_json(camera) for camera in cameras])
    elif cameras:
        print(_table(_CAMERA_HEADERS, [_camera_row(camera) for camera in cameras]))
    if not cameras:
        print(f"{PROG}: no connected QUOR camera resolved", file=sys.stderr)
        return EXIT_NO_CAMERA
    return EXIT_OK


def _show(args: argparse.Namespace) -> int:
    camera = camera_identity.get_connected_quor_camera_by_serial(args.serial)
    if camera is None:
        print(f"{PROG}: no connected QUOR camera with serial {args.serial!r} resolved", file=sys.stderr)
        return EXIT_NO_CAMERA
    spec = camera.spec
    if args.json:
        _print_json({
            **_camera_json(camera),
            "model": _model_of(spec),
            "modes": [dataclasses.asdict(mode) for mode in spec.modes],
            "controls": [dataclasses.asdict(control) for control in spec.controls],
        })
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
    if args.verbose == 0:
        # A server shows its requests unless asked for even more.
        logging.getLogger(service.__name__).setLevel(logging.INFO)
    try:
        server = service.DeviceInfoServer(
            args.documents, (args.host, args.port),
            max_connections=args.max_connections, request_timeout=args.request_timeout,
        )
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


def _write_atomically(path: Path, text: str) -> None:
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=path.parent, prefix=".", delete=False) as stream:
        stream.write(text)
    os.replace(stream.name, path)


def _mirror(args: argparse.Namespace) -> int:
    fetch = _fetcher(args.timeout)
    args.to.mkdir(parents=True, exist_ok=True)
    failed = False
    for serial in args.serials:
        name = service.document_name(serial)
        if name is None:
            print(f"{PROG} mirror: {serial!r} is not a serial number that can be stored", file=sys.stderr)
            failed = True
            continue
        try:
            document = fetch(serial)
        except (OSError, ValueError) as error:
            print(f"{PROG} mirror: {serial}: {_reason(error)}", file=sys.stderr)
            failed = True
            continue
        target = args.to / name
        _write_atomically(target, json.dumps(document, indent=2, ensure_ascii=False) + "\n")
        print(f"{serial} -> {target}")
    return EXIT_FAILURE if failed else EXIT_OK


# ---------------------------------------------------------------------------
# Demo


def _demo(args: argparse.Namespace) -> int:
    with contextlib.ExitStack() as demo:
        documents = demo.enter_context(resources.as_file(resources.files(__package__) / "demo"))
        server = demo.enter_context(_running(service.DeviceInfoServer(documents)))
        demo.enter_context(_rebound(device_lookup, "_CAMERA_IDENTITY_URL", server.identity_url))
        devices_file = documents / "devices.json"
        platform.use_simulated_devices(devices_file)
        demo.callback(platform.use_simulated_devices, None)
        device_count = len(platform.current_backend().list_cameras())

        print(f"Local device-information service: {server.url} (documents in {documents})")
        print(f"Simulated video devices: {device_count}, from {devices_file}")
        print("Looking each serial number up over HTTP with list_connected_quor_cameras():\n", flush=True)
        cameras = camera_identity.list_connected_quor_cameras()
    print()
    print(_table(_CAMERA_HEADERS, [_camera_row(camera) for camera in cameras]))
    print(
        f"\n{len(cameras)} of {device_count} devices resolved to a QUOR camera; "
        "the log records above say why the others were left out."
    )
    return EXIT_OK
